/* Prometheus' text exposition format of the exporter's counters. */
#include "exporter/exposition.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <set>
#include <vector>

#define W4_PREFIX "w4metrics_"

void w4_label_value(std::string *out, const std::string &v) {
  for (size_t i = 0; i < v.size();) {
    unsigned char c = static_cast<unsigned char>(v[i]);
    if (c == '\\') {
      out->append("\\\\");
    } else if (c == '"') {
      out->append("\\\"");
    } else if (c == '\n') {
      out->append("\\n");
    } else if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else {
      size_t n = w4_utf8_len(v, i);
      if (n) {
        out->append(v, i, n);
        i += n;
        continue;
      }
      out->append("\xef\xbf\xbd");
    }
    i++;
  }
}

/* Appends name="value" with a leading comma unless first. */
static void w4_label(std::string *out, const char *name, const std::string &v,
                     bool first = false) {
  if (!first)
    out->push_back(',');
  out->append(name);
  out->append("=\"");
  w4_label_value(out, v);
  out->push_back('"');
}

/* The client labels shared by both kinds of series. */
static void w4_client_labels(std::string *out, uint32_t client_type,
                             const std::string &client_id,
                             const std::string &group_id,
                             const std::string &cluster_id) {
  w4_label(out, "client_type",
           client_type == W4_CLIENT_CONSUMER ? "consumer" : "producer", true);
  w4_label(out, "client_id", client_id);
  w4_label(out, "group_id", group_id);
  w4_label(out, "cluster_id", cluster_id);
}

/* Makes the label text of a series once. */
static const std::string &w4_series_labels(w4_series *s) {
  if (s->labels.empty()) {
    w4_client_labels(&s->labels, s->client_type, s->client_id, s->group_id,
                     s->cluster_id);
    w4_label(&s->labels, "topic", s->topic);
    if (s->partition >= 0)
      w4_label(&s->labels, "partition", std::to_string(s->partition));
  }
  return s->labels;
}

/* The # HELP and # TYPE lines of a family. */
static void w4_family(std::string *out, const char *name, const char *type,
                      const char *help) {
  out->append("# HELP " W4_PREFIX);
  out->append(name);
  out->push_back(' ');
  out->append(help);
  out->append("\n# TYPE " W4_PREFIX);
  out->append(name);
  out->push_back(' ');
  out->append(type);
  out->push_back('\n');
}

/* One sample: name{labels} value. */
static void w4_sample(std::string *out, const char *name,
                      const std::string &labels, const char *value) {
  out->append(W4_PREFIX);
  out->append(name);
  if (!labels.empty()) {
    out->push_back('{');
    out->append(labels);
    out->push_back('}');
  }
  out->push_back(' ');
  out->append(value);
  out->push_back('\n');
}

/* A sample of an unsigned count. */
static void w4_sample_u64(std::string *out, const char *name,
                          const std::string &labels, uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%" PRIu64, v);
  w4_sample(out, name, labels, buf);
}

/* A sample of milliseconds, shown in seconds without loss. */
static void w4_sample_ms(std::string *out, const char *name,
                         const std::string &labels, uint64_t ms) {
  char buf[40];
  snprintf(buf, sizeof(buf), "%" PRIu64 ".%03" PRIu64, ms / 1000, ms % 1000);
  w4_sample(out, name, labels, buf);
}

/* A counter family over every series, in label order. */
static void w4_series_family(std::string *out,
                             const std::vector<w4_series *> &all,
                             const char *name, const char *help,
                             uint64_t w4_series::*field) {
  w4_family(out, name, "counter", help);
  for (w4_series *s : all)
    w4_sample_u64(out, name, s->labels, s->*field);
}

/* The le label value of an exported bound: milliseconds in seconds, no
 * trailing zeros. */
static std::string w4_le_str(uint32_t ms) {
  char buf[32];
  if (ms % 1000 == 0)
    snprintf(buf, sizeof(buf), "%" PRIu32, ms / 1000);
  else {
    int n = snprintf(buf, sizeof(buf), "%" PRIu32 ".%03" PRIu32, ms / 1000,
                     ms % 1000);
    while (n > 0 && buf[n - 1] == '0')
      buf[--n] = '\0';
  }
  return buf;
}

/* The latency histogram family: for every series whose records carried
 * histograms, its cumulative buckets at the fixed bounds, sum and count. */
static void w4_expose_histograms(std::string *out,
                                 const std::vector<w4_series *> &all) {
  static const std::vector<std::string> le_strs = [] {
    std::vector<std::string> v;
    for (uint32_t ms : W4_EXPORT_LE_MS)
      v.push_back(w4_le_str(ms));
    v.push_back("+Inf");
    return v;
  }();
  w4_family(out, "message_latency_seconds", "histogram",
            "Latency of the counted messages whose records carry a "
            "histogram, seconds.");
  std::string labels;
  for (w4_series *s : all) {
    if (!s->hist)
      continue;
    uint64_t cumulative = 0;
    int bucket = 0;
    for (int i = 0; i <= W4_EXPORT_LE_CNT; i++) {
      if (i < W4_EXPORT_LE_CNT)
        for (; bucket < HISTOGRAM_BUCKET_CNT &&
               histogram_bounds[bucket] <= W4_EXPORT_LE_MS[i];
             bucket++)
          cumulative += s->hist->counts[bucket];
      else
        cumulative = s->hist->total;
      labels = s->labels;
      labels.append(",le=\"");
      labels.append(le_strs[static_cast<size_t>(i)]);
      labels.push_back('"');
      w4_sample_u64(out, "message_latency_seconds_bucket", labels, cumulative);
    }
    w4_sample_ms(out, "message_latency_seconds_sum", s->labels, s->hist_sum_ms);
    w4_sample_u64(out, "message_latency_seconds_count", s->labels,
                  s->hist->total);
  }
}

/* The families of the per-series counters and gauges. */
static void w4_expose_series(std::string *out, w4_aggregate *agg,
                             const w4_exposition_opts &opts) {
  std::vector<w4_series *> all;
  all.reserve(agg->series.size());
  for (auto &kv : agg->series) {
    w4_series_labels(kv.second.get());
    all.push_back(kv.second.get());
  }
  std::sort(all.begin(), all.end(), [](const w4_series *a, const w4_series *b) {
    return a->labels < b->labels;
  });
  w4_series_family(out, all, "messages_total",
                   "Messages counted by monitored clients: acknowledged by "
                   "producers, consumed by consumers.",
                   &w4_series::messages);
  w4_series_family(out, all, "bytes_total",
                   "Bytes (value plus key) of the counted messages.",
                   &w4_series::bytes);
  w4_family(out, "latency_seconds", "summary",
            "Latency of the counted messages: production to acknowledgement "
            "for producers, message timestamp to consumption for consumers.");
  for (w4_series *s : all) {
    w4_sample_ms(out, "latency_seconds_sum", s->labels, s->latency_sum_ms);
    w4_sample_u64(out, "latency_seconds_count", s->labels, s->latency_count);
  }
  w4_expose_histograms(out, all);
  w4_family(out, "window_latency_min_seconds", "gauge",
            "Smallest latency in the latest window reported.");
  for (w4_series *s : all)
    if (s->latest_window >= 0)
      w4_sample_ms(out, "window_latency_min_seconds", s->labels,
                   static_cast<uint64_t>(s->latest_min_ms));
  w4_family(out, "window_latency_max_seconds", "gauge",
            "Largest latency in the latest window reported.");
  for (w4_series *s : all)
    if (s->latest_window >= 0)
      w4_sample_ms(out, "window_latency_max_seconds", s->labels,
                   static_cast<uint64_t>(s->latest_max_ms));
  w4_series_family(out, all, "records_total",
                   "Monitoring records read, data and empty-window.",
                   &w4_series::records);
  w4_series_family(out, all, "empty_window_records_total",
                   "Empty-window records read.", &w4_series::empty_records);
  if (opts.gaps)
    w4_series_family(out, all, "missing_records_total",
                     "Monitoring records missing from their sequence.",
                     &w4_series::missing_records);
}

/* The sessions family, one series per client. */
static void w4_expose_clients(std::string *out, w4_aggregate *agg) {
  std::vector<w4_client_series *> all;
  for (auto &kv : agg->clients) {
    w4_client_series *c = kv.second.get();
    if (c->labels.empty())
      w4_client_labels(&c->labels, c->client_type, c->client_id, c->group_id,
                       c->cluster_id);
    all.push_back(c);
  }
  std::sort(all.begin(), all.end(),
            [](const w4_client_series *a, const w4_client_series *b) {
              return a->labels < b->labels;
            });
  w4_family(out, "sessions_total", "counter",
            "Monitoring sessions seen per client.");
  for (w4_client_series *c : all)
    w4_sample_u64(out, "sessions_total", c->labels, c->sessions);
}

/* The audit families, per cluster, topic and consumer group that has room
 * in shown. */
static void w4_expose_audit(std::string *out, const w4_audit &a,
                            const std::set<w4_audit_key> &shown) {
  std::vector<std::pair<std::string, const w4_audit_totals *>> all;
  for (const auto &kv : a.show_saved ? a.saved_totals : a.totals) {
    if (!shown.count(kv.first))
      continue;
    std::string labels;
    w4_label(&labels, "cluster_id", std::get<0>(kv.first), true);
    w4_label(&labels, "topic", std::get<1>(kv.first));
    w4_label(&labels, "group_id", std::get<2>(kv.first));
    all.emplace_back(labels, &kv.second);
  }
  struct family {
    const char *name;
    const char *help;
    uint64_t w4_audit_totals::*field;
  };
  static const family families[] = {
      {"audit_messages_total",
       "Messages acknowledged by producers in the windows judged for the "
       "group.",
       &w4_audit_totals::messages},
      {"audit_missing_messages_total",
       "Messages acknowledged by producers but not consumed by the group, in "
       "judged windows it has moved past.",
       &w4_audit_totals::missing},
      {"audit_duplicate_messages_total",
       "Messages consumed by the group beyond those acknowledged, in judged "
       "windows.",
       &w4_audit_totals::duplicate},
      {"audit_unconsumed_messages_total",
       "Messages the group had not consumed when it stopped consuming the "
       "partition for the horizon (not a loss).",
       &w4_audit_totals::unconsumed},
      {"audit_windows_total", "Windows judged for the group.",
       &w4_audit_totals::windows},
  };
  for (const family &f : families) {
    w4_family(out, f.name, "counter", f.help);
    for (const auto &row : all)
      w4_sample_u64(out, f.name, row.first, row.second->*f.field);
  }
  std::vector<std::pair<std::string, const w4_audit_lag *>> lag;
  for (const auto &kv : a.lag) {
    if (!shown.count(kv.first))
      continue;
    std::string labels;
    w4_label(&labels, "cluster_id", std::get<0>(kv.first), true);
    w4_label(&labels, "topic", std::get<1>(kv.first));
    w4_label(&labels, "group_id", std::get<2>(kv.first));
    lag.emplace_back(labels, &kv.second);
  }
  w4_family(out, "audit_pending_messages", "gauge",
            "Messages acknowledged by producers that the group has not "
            "consumed yet, in windows not judged.");
  for (const auto &row : lag)
    w4_sample_u64(out, "audit_pending_messages", row.first,
                  row.second->pending);
  w4_family(out, "audit_lag_seconds", "gauge",
            "How far the group's consumption is behind the newest window "
            "with acknowledged messages, largest over its partitions.");
  for (const auto &row : lag)
    w4_sample_ms(out, "audit_lag_seconds", row.first,
                 static_cast<uint64_t>(row.second->lag_ms));
  w4_family(out, "audit_lag_messages", "gauge",
            "Highest offset acknowledged by producers minus the highest the "
            "group consumed, summed over its partitions where the records "
            "carry offsets.");
  for (const auto &row : lag)
    if (row.second->lag_messages >= 0)
      w4_sample_u64(out, "audit_lag_messages", row.first,
                    static_cast<uint64_t>(row.second->lag_messages));
  w4_family(out, "audit_dropped_windows_total", "counter",
            "Windows forgotten before every group had judged them.");
  w4_sample_u64(out, "audit_dropped_windows_total", "", a.dropped_windows);
  w4_family(out, "audit_open_windows", "gauge",
            "Windows that some group has not judged yet.");
  w4_sample_u64(out, "audit_open_windows", "", a.open_windows);
}

uint64_t w4_exposition_fixed_lines(const w4_exposition_opts &opts) {
  return 2 + (opts.gaps ? 1 : 0) + (opts.audit ? 2 : 0);
}

std::string w4_exposition(w4_aggregate *agg, const w4_audit *audit,
                          const w4_exposition_opts &opts) {
  std::string out;
  out.reserve(4096 + agg->series.size() * 1600);
  w4_expose_series(&out, agg, opts);
  w4_expose_clients(&out, agg);
  w4_family(&out, "bad_records_total", "counter",
            "Values on the monitoring topic that are not monitoring records.");
  w4_sample_u64(&out, "bad_records_total", "", agg->bad_records);
  w4_family(&out, "dropped_series_total", "counter",
            "Records that found no room for a series of theirs (or its "
            "histogram), by reason: max_series, the limit of sample lines.");
  w4_sample_u64(&out, "dropped_series_total", "reason=\"max_series\"",
                agg->dropped_series);
  if (opts.gaps) {
    w4_family(&out, "late_records_total", "counter",
              "Records whose sequence number was already accounted for "
              "(duplicates, or later than the wait for a missing record).");
    w4_sample_u64(&out, "late_records_total", "", agg->late_records);
  }
  if (audit && opts.audit) {
    w4_aggregate_audit_admit(agg, *audit);
    w4_expose_audit(&out, *audit, agg->audit_shown);
  }
  return out;
}
