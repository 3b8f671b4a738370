/* The delivery audit: per topic, partition and window, the messages that
 * producers had acknowledged against the messages that each consumer group
 * consumed, settled once the window has been quiet for a while. */
#pragma once

#include "w4record.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

/* What one consumer group consumed in an open window: its messages and,
 * from its records that carry a histogram, their buckets and counts as they
 * came (usually one record), merged when the window settles. */
struct w4_audit_consumed {
  int64_t messages = 0;
  std::vector<std::pair<uint32_t, uint64_t>> hist;
};

/* One open window of one topic-partition. */
struct w4_audit_window {
  std::string topic;
  int32_t partition = 0;
  int64_t window = 0;
  int64_t window_size = 0;
  int64_t produced = 0;
  std::map<std::string, w4_audit_consumed> consumed; /* by consumer group */
  int64_t first_ms = 0; /* arrival of its first record */
  int64_t last_ms = 0;  /* arrival of its latest record */
};

/* A settled window of one group whose consumption differs from what was
 * produced. */
struct w4_audit_row {
  std::string topic;
  int32_t partition;
  int64_t window;
  int64_t window_size;
  std::string group_id;
  int64_t produced;
  int64_t consumed;
  /* The group's p99 latency in the window, ms, estimated from its records'
   * histograms; -1 when they carried none. */
  double p99_ms;
};

/* The audit counters of one topic and consumer group. */
struct w4_audit_totals {
  uint64_t messages = 0;  /* produced in the settled windows */
  uint64_t missing = 0;   /* produced, not consumed by the group */
  uint64_t duplicate = 0; /* consumed more often than produced */
  uint64_t windows = 0;   /* settled windows */
  /* The group's consumer latencies over the settled windows, from the
   * records that carry histograms (empty when none did). */
  w4_latency_hist hist;
};

/* The group's p99 latency over its settled windows, ms, estimated from the
 * merged histograms (see w4_latency_hist_quantile); -1 without histograms.
 * For the table's total lines and the exporter's pages. */
double w4_audit_totals_p99(const w4_audit_totals &t);

/* "p99 <n> ms" (or "p99 -" without histograms) for the total lines. */
std::string w4_audit_p99_str(double p99_ms);

struct w4_audit {
  int64_t settle_ms = 60000;
  int64_t max_age_ms = 3600000;
  /* Key: topic, partition, window and window size. */
  std::unordered_map<std::string, w4_audit_window> windows;
  /* Groups audited per topic: those that have consumed from it. */
  std::unordered_map<std::string, std::set<std::string>> groups;
  /* By (topic, group). */
  std::map<std::pair<std::string, std::string>, w4_audit_totals> totals;
  uint64_t dropped_windows = 0; /* unsettled, older than max_age_ms */
};

/* Takes one sane record that arrived at now_ms into the audit; only data
 * records count. */
void w4_audit_add(w4_audit *a, const w4_record &rec, int64_t now_ms);

/* Settles the windows that have been quiet for settle_ms and drops those
 * that are still open after max_age_ms. Rows of settled windows with a
 * shortfall or excess are appended to *rows when given. */
void w4_audit_tick(w4_audit *a, int64_t now_ms,
                   std::vector<w4_audit_row> *rows);

/* Settles every open window now (the end of a bounded read). */
void w4_audit_finish(w4_audit *a, std::vector<w4_audit_row> *rows);

/* Sums over every topic and group. */
w4_audit_totals w4_audit_sum(const w4_audit &a);

/* The heading and one line of the plain table of rows, newline-ended. */
std::string w4_audit_table_head(void);
std::string w4_audit_table_line(const w4_audit_row &row);

/* Prints rows to stdout; the table's heading goes first once, before the
 * first rows (*head_printed remembers it). */
void w4_audit_table_print(const std::vector<w4_audit_row> &rows,
                          bool *head_printed);
