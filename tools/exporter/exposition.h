/* Prometheus' text exposition format (version 0.0.4) of the exporter's
 * counters and of the delivery audit. */
#pragma once

#include "exporter/aggregate.h"
#include "exporter/audit.h"

#include <string>

/* What the exporter shows besides the counters. */
struct w4_exposition_opts {
  bool gaps = true;  /* missing-record counters are meaningful */
  bool audit = true; /* the audit's counters are meaningful */
};

/* The whole text of one scrape. Fills the label text of new series. */
std::string w4_exposition(w4_aggregate *agg, const w4_audit *audit,
                          const w4_exposition_opts &opts);

/* Appends a label value, escaped (backslash, double quote, newline) and
 * with every byte that is not UTF-8 replaced by U+FFFD. */
void w4_label_value(std::string *out, const std::string &v);
