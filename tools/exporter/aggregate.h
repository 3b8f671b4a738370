/* Counters over decoded monitoring records: per client and topic-partition
 * (or topic), with sequence-gap detection per client session and
 * topic-partition. The exporter feeds it from its poll loop; tests and the
 * benchmark feed it decoded records and a clock of their own. */
#pragma once

#include "w4record.h"

#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

/* One label set and its counters. partition is -1 when partitions are
 * aggregated away. */
struct w4_series {
  uint32_t client_type = W4_CLIENT_CONSUMER;
  std::string client_id;
  std::string group_id;
  std::string cluster_id;
  std::string topic;
  int32_t partition = -1;
  std::string labels; /* the label text, made once by the exposition */

  uint64_t messages = 0;
  uint64_t bytes = 0;
  uint64_t latency_sum_ms = 0;
  uint64_t latency_count = 0;
  uint64_t records = 0;
  uint64_t empty_records = 0;
  uint64_t missing_records = 0;

  /* Minimum and maximum latency of the latest window seen (the largest
   * window start; records of that window from several partitions merge). */
  int64_t latest_window = -1;
  int64_t latest_min_ms = 0;
  int64_t latest_max_ms = 0;

  /* The latencies of the records that carry a histogram, merged, and the
   * sum of their latency_sum: the exported histogram (its count is
   * hist->total). None while no record of the series had one, so that
   * series without histograms cost nothing more. */
  std::unique_ptr<w4_latency_hist> hist;
  uint64_t hist_sum_ms = 0;
};

/* Sessions seen per client label set (no topic, no partition). */
struct w4_client_series {
  uint32_t client_type = W4_CLIENT_CONSUMER;
  std::string client_id;
  std::string group_id;
  std::string cluster_id;
  std::string labels;
  uint64_t sessions = 0;
};

/* A client topic-partition: its earliest session seen, by the time of the
 * record, and the arrival of its latest record. */
struct w4_followed {
  int64_t last_ms = 0;
  int64_t first_ts = INT64_MAX;
  std::string first_session;
};

/* Sequence tracking of one client session and topic-partition. Every
 * sequence number below base is accounted for (seen or counted missing);
 * pending holds the numbers seen above a hole, with their arrival times. */
struct w4_stream {
  w4_series *series = nullptr; /* where missing records are counted */
  w4_followed *tp = nullptr;   /* its client topic-partition */
  std::string session_id;
  int64_t base = 0;
  bool started = false; /* false while the first numbers are still coming */
  bool closed = false;  /* final record seen and nothing pending: done */
  bool final_seen = false;
  int64_t opened_ms = 0;
  int64_t last_ms = 0;
  std::map<int64_t, int64_t> pending; /* sequence -> arrival time */
};

struct w4_aggregate {
  bool by_topic = false;        /* aggregate partitions away */
  bool gaps = true;             /* count missing records */
  int64_t settle_ms = 60000;    /* how long a hole may wait for its record */
  int64_t max_age_ms = 3600000; /* idle tracking state is forgotten after */

  std::unordered_map<std::string, std::unique_ptr<w4_series>> series;
  std::unordered_map<std::string, std::unique_ptr<w4_client_series>> clients;
  std::unordered_map<std::string, w4_stream> streams;
  /* Client topic-partitions followed across sessions: a session that is
   * not the earliest seen of its topic-partition must start at 0. */
  std::unordered_map<std::string, w4_followed> followed;
  /* Sessions already counted, by last arrival. */
  std::unordered_map<std::string, int64_t> sessions;

  uint64_t bad_records = 0;
  uint64_t late_records = 0; /* sequence already accounted for */
  uint64_t decoded_records = 0;
};

/* Checks the values of a decoded record that the counters rely on; false
 * with a reason when a value cannot come from the plug-in (negative counts,
 * unknown record kind, ...). */
bool w4_record_sane(const w4_record &rec, std::string *err);

/* Adds one sane record that arrived at now_ms (monotonic clock). */
void w4_aggregate_add(w4_aggregate *agg, const w4_record &rec, int64_t now_ms);

/* Settles holes whose records did not come within settle_ms, starts streams
 * whose first numbers are in and forgets idle state. Call it now and then
 * (the exporter does twice a second). */
void w4_aggregate_tick(w4_aggregate *agg, int64_t now_ms);

/* Settles every hole and stream now, as if no more record could come (the
 * end of a bounded read). */
void w4_aggregate_finish(w4_aggregate *agg);

/* Sum of missing records over every series. */
uint64_t w4_aggregate_missing(const w4_aggregate &agg);

/* The merged latency histogram of a consumer group's series (client_type
 * consumer, that group_id; one topic when topic is given), since the
 * exporter started. */
w4_latency_hist w4_aggregate_group_hist(const w4_aggregate &agg,
                                        const std::string &group_id,
                                        const std::string *topic = nullptr);

/* The group's p99 consumer latency in ms, estimated from that merged
 * histogram (see w4_latency_hist_quantile); -1 when none of its records
 * carried a histogram. */
double w4_aggregate_group_p99(const w4_aggregate &agg,
                              const std::string &group_id,
                              const std::string *topic = nullptr);
