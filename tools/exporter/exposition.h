/* Prometheus' text exposition format (version 0.0.4) of the exporter's
 * counters and of the delivery audit. */
#pragma once

#include "exporter/aggregate.h"
#include "exporter/audit.h"

#include <string>

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
  bool gaps = true;  /* missing-record counters are meaningful */
  bool audit = true; /* the audit's counters are meaningful */
};

/* The sample lines that the text holds whatever the series: the bad,
 * late and dropped records, the audit's dropped and open windows. */
uint64_t w4_exposition_fixed_lines(const w4_exposition_opts &opts);

/* The whole text of one scrape: the series, and the audit's keys that have
 * room (see w4_aggregate_audit_admit, called here too). Fills the label
 * text of new series. */
std::string w4_exposition(w4_aggregate *agg, const w4_audit *audit,
                          const w4_exposition_opts &opts);

/* Appends a label value, escaped (backslash, double quote, newline) and
 * with every byte that is not UTF-8 replaced by U+FFFD. */
void w4_label_value(std::string *out, const std::string &v);
