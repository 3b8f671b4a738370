/* Prometheus' text exposition format (version 0.0.4) of the exporter's
 * counters and of the delivery audit. */
#pragma once

#include "exporter/aggregate.h"
#include "exporter/audit.h"

#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

/* The `le` bounds of w4metrics_message_latency_seconds, ms (shown in
 * seconds), then +Inf. Each is a bound of the plug-in's buckets, so every
 * bucket of a record falls wholly under one of them and the exported counts
 * are exact. */
constexpr uint32_t W4_EXPORT_LE_MS[] = {
    1, 2, 3, 5, 10, 30, 100, 300, 1000, 2000, 3000, 10000, 30000, 60000};
constexpr int W4_EXPORT_LE_CNT =
    static_cast<int>(sizeof(W4_EXPORT_LE_MS) / sizeof(W4_EXPORT_LE_MS[0]));

/* True when every exported bound is a bound of the plug-in's buckets. */
constexpr bool w4_export_le_are_bounds() {
  for (uint32_t le : W4_EXPORT_LE_MS)
    if (histogram_bounds[histogram_bucket_search(le)] != le)
      return false;
  return true;
}
static_assert(w4_export_le_are_bounds(), "exported le bounds");

/* What the exporter shows besides the counters. */
struct w4_exposition_opts {
  bool gaps = true;     /* missing-record counters are meaningful */
  bool audit = true;    /* the audit's counters are meaningful */
  bool sharded = false; /* they are the shards' (w4_exposition_take_shard) */
};

/* The sample lines that the text holds whatever the series: the bad,
 * late and dropped records, the audit's dropped and open windows. */
uint64_t w4_exposition_fixed_lines(const w4_exposition_opts &opts);

/* One series as a scrape shows it. */
struct w4_series_sample {
  std::shared_ptr<const std::string> labels;
  uint64_t messages, bytes, latency_sum_ms, latency_count, records,
      empty_records, missing_records;
  bool has_window;
  uint64_t latest_min_ms, latest_max_ms;
  int64_t hist = -1; /* index of its histogram in the snapshot, or -1 */
};

/* One series' histogram: the cumulative counts at the exported bounds and
 * +Inf, and the sum of latencies. */
struct w4_hist_sample {
  uint64_t cumulative[W4_EXPORT_LE_CNT + 1];
  uint64_t sum_ms;
};

/* One (cluster, topic, group) of the audit as a scrape shows it. */
struct w4_audit_sample {
  w4_audit_key key;
  int32_t shard = -1; /* the shard that holds it, -1 when not sharded */
  bool has_totals;
  uint64_t totals[5]; /* messages, missing, duplicate, unconsumed, windows */
  bool has_lag;
  w4_audit_lag lag;
};

/* What one scrape shows, copied under the lock of the state so that the
 * text is made outside it: label texts are shared, not copied. */
struct w4_exposition_snapshot {
  w4_exposition_opts opts;
  std::vector<w4_series_sample> series;
  std::vector<w4_hist_sample> hists;
  std::vector<std::pair<std::shared_ptr<const std::string>, uint64_t>>
      clients; /* labels, sessions */
  std::vector<w4_audit_sample> audit;
  bool audit_shown = false;
  uint64_t bad_records = 0, dropped_series = 0, late_records = 0;
  /* The audit's windows: shard (or -1), dropped, open. */
  std::vector<std::tuple<int32_t, uint64_t, uint64_t>> windows;
};

/* Copies what a scrape shows into *snap: the series, and the audit's keys
 * that were given room (see w4_aggregate_audit_admit). Fills the label text
 * of new series. With the lock of agg and audit held. */
void w4_exposition_take(w4_aggregate *agg, const w4_audit *audit,
                        const w4_exposition_opts &opts,
                        w4_exposition_snapshot *snap);

/* Adds the audit of a shard, its keys labelled with the shard; after
 * w4_exposition_take, lock held. */
void w4_exposition_take_shard(const w4_audit &audit, int32_t shard,
                              const w4_aggregate &agg,
                              w4_exposition_snapshot *snap);

/* The whole text of one scrape from a snapshot, sorted by labels. Takes no
 * lock. */
std::string w4_exposition_render(w4_exposition_snapshot *snap);

/* Admits the audit's keys, takes a snapshot and renders it, for a caller
 * that owns the state. */
std::string w4_exposition(w4_aggregate *agg, const w4_audit *audit,
                          const w4_exposition_opts &opts);

/* Appends a label value, escaped (backslash, double quote, newline) and
 * with every byte that is not UTF-8 replaced by U+FFFD. */
void w4_label_value(std::string *out, const std::string &v);
