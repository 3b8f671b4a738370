/* Decoding and printing of monitoring records, shared by the tools. */
#pragma once

#include "monitoring.pb.h"
#include "monitoring/histogram.h"
#include "monitoring/offsets.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/* Values of a record's client_type. */
constexpr uint32_t W4_CLIENT_CONSUMER = 0;
constexpr uint32_t W4_CLIENT_PRODUCER = 1;

/* Values of a record's record_kind: the aggregate of one window of traffic,
 * or a record that says a topic-partition had none. */
constexpr uint32_t W4_RECORD_DATA = 0;
constexpr uint32_t W4_RECORD_EMPTY_WINDOW = 2;

/* One decoded monitoring record: the numeric fields in the generated message,
 * the string fields copied out. Absent strings are empty, as in proto3; the
 * has_* flags tell an absent string from an empty one. */
struct w4_record {
  monitoring_MonitoringMessage msg; /* callback slots cleared after decoding */
  std::string client_id;
  std::string group_id;
  std::string session_id;
  std::string topic;
  std::string cluster_id;
  bool has_group_id = false; /* set, so that a copy never reads garbage */
  bool has_cluster_id = false;
  /* The latency histogram as it came (fields 25 and 26, at most
   * HISTOGRAM_BUCKET_CNT values each; more fails the decoding): bucket
   * indices and their counts. Empty when the record has none. w4_record_sane
   * checks that they make a histogram of count messages. */
  std::vector<uint32_t> hist_index;
  std::vector<uint64_t> hist_count;
  /* The window's offset range (fields 27 and 28) as it came, each with
   * whether it was present: a present 0 is an offset. The plug-in writes
   * both or neither; w4_record_sane checks that. */
  int64_t min_offset = 0;
  int64_t max_offset = 0;
  bool has_min_offset = false;
  bool has_max_offset = false;
};

/* A dense latency histogram: one record's, or several merged. */
struct w4_latency_hist {
  uint64_t counts[HISTOGRAM_BUCKET_CNT] = {};
  uint64_t total = 0;
};

/* Adds the (sane) histogram of rec to *h; nothing when it has none. */
void w4_latency_hist_add(w4_latency_hist *h, const w4_record &rec);

/* Adds the counts of from to *into. */
void w4_latency_hist_merge(w4_latency_hist *into, const w4_latency_hist &from);

/* Estimate of the q-quantile (0 < q <= 1) in ms: the bucket that holds the
 * message of rank ceil(q * total), interpolated linearly between the
 * bucket's smallest and largest latency. In the overflow bucket the
 * estimate is that bucket's smallest latency, HISTOGRAM_CLAMP_MS. -1 when
 * the histogram is empty. */
double w4_latency_hist_quantile(const w4_latency_hist &h, double q);

/* The smallest latency of bucket i, ms. */
uint64_t w4_hist_bucket_low(int i);

/* Decodes a framed record value (0x7F, then the message). On failure returns
 * false with a reason in *err, and *rec holds nothing of use. */
bool w4_record_decode(const void *value, size_t len, w4_record *rec,
                      std::string *err);

/* p50 and p99 estimates (ms) from rec's histogram, kept within its
 * min_latency and max_latency; false when it has none. */
bool w4_record_percentiles(const w4_record &rec, double *p50, double *p99);

/* One JSON object, every field by its schema name, no trailing newline.
 * With a histogram also "latency_histogram": [{"le_ms": bound, "count": n},
 * ...] for the non-empty buckets in ascending order, the overflow bucket
 * with "le_ms": null, and the estimates "p50_ms" and "p99_ms". Then
 * "min_offset" and "max_offset", each only when present. */
std::string w4_record_json(const w4_record &rec);

/* One readable line, no trailing newline. */
std::string w4_record_line(const w4_record &rec);

/* Appends s to out as a JSON string literal, quotes included. */
void w4_json_string(std::string *out, const std::string &s);

/* Length of the valid UTF-8 sequence that starts at s[i], 0 when the byte
 * there does not start one (ASCII bytes included). */
size_t w4_utf8_len(const std::string &s, size_t i);

/* "HH:MM:SS.mmm" of a millisecond time in local time. */
std::string w4_clock_str(int64_t ms);
