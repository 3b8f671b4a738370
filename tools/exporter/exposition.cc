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

/* Makes the label text of a series once; lock held. */
static void w4_series_labels(w4_series *s) {
  if (s->labels)
    return;
  std::string text;
  w4_client_labels(&text, s->client_type, s->client_id, s->group_id,
                   s->cluster_id);
  w4_label(&text, "topic", s->topic);
  if (s->partition >= 0)
    w4_label(&text, "partition", std::to_string(s->partition));
  s->labels = std::make_shared<const std::string>(std::move(text));
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
                             const std::vector<w4_series_sample> &all,
                             const char *name, const char *help,
                             uint64_t w4_series_sample::*field) {
  w4_family(out, name, "counter", help);
  for (const w4_series_sample &s : all)
    w4_sample_u64(out, name, *s.labels, s.*field);
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

/* The cumulative counts of a series' histogram at the exported bounds;
 * lock held. */
static w4_hist_sample w4_hist_take(const w4_series &s) {
  w4_hist_sample h;
  uint64_t cumulative = 0;
  int bucket = 0;
  for (int i = 0; i < W4_EXPORT_LE_CNT; i++) {
    for (; bucket < HISTOGRAM_BUCKET_CNT &&
           histogram_bounds[bucket] <= W4_EXPORT_LE_MS[i];
         bucket++)
      cumulative += s.hist->counts[bucket];
    h.cumulative[i] = cumulative;
  }
  h.cumulative[W4_EXPORT_LE_CNT] = s.hist->total;
  h.sum_ms = s.hist_sum_ms;
  return h;
}

/* The latency histogram family: for every series whose records carried
 * histograms, its cumulative buckets at the fixed bounds, sum and count. */
static void w4_expose_histograms(std::string *out,
                                 const w4_exposition_snapshot &snap) {
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
  for (const w4_series_sample &s : snap.series) {
    if (s.hist < 0)
      continue;
    const w4_hist_sample &h = snap.hists[static_cast<size_t>(s.hist)];
    for (int i = 0; i <= W4_EXPORT_LE_CNT; i++) {
      labels = *s.labels;
      labels.append(",le=\"");
      labels.append(le_strs[static_cast<size_t>(i)]);
      labels.push_back('"');
      w4_sample_u64(out, "message_latency_seconds_bucket", labels,
                    h.cumulative[i]);
    }
    w4_sample_ms(out, "message_latency_seconds_sum", *s.labels, h.sum_ms);
    w4_sample_u64(out, "message_latency_seconds_count", *s.labels,
                  h.cumulative[W4_EXPORT_LE_CNT]);
  }
}

/* The families of the per-series counters and gauges. */
static void w4_expose_series(std::string *out,
                             const w4_exposition_snapshot &snap) {
  const std::vector<w4_series_sample> &all = snap.series;
  w4_series_family(out, all, "messages_total",
                   "Messages counted by monitored clients: acknowledged by "
                   "producers, consumed by consumers.",
                   &w4_series_sample::messages);
  w4_series_family(out, all, "bytes_total",
                   "Bytes (value plus key) of the counted messages.",
                   &w4_series_sample::bytes);
  w4_family(out, "latency_seconds", "summary",
            "Latency of the counted messages: production to acknowledgement "
            "for producers, message timestamp to consumption for consumers.");
  for (const w4_series_sample &s : all) {
    w4_sample_ms(out, "latency_seconds_sum", *s.labels, s.latency_sum_ms);
    w4_sample_u64(out, "latency_seconds_count", *s.labels, s.latency_count);
  }
  w4_expose_histograms(out, snap);
  w4_family(out, "window_latency_min_seconds", "gauge",
            "Smallest latency in the latest window reported.");
  for (const w4_series_sample &s : all)
    if (s.has_window)
      w4_sample_ms(out, "window_latency_min_seconds", *s.labels,
                   s.latest_min_ms);
  w4_family(out, "window_latency_max_seconds", "gauge",
            "Largest latency in the latest window reported.");
  for (const w4_series_sample &s : all)
    if (s.has_window)
      w4_sample_ms(out, "window_latency_max_seconds", *s.labels,
                   s.latest_max_ms);
  w4_series_family(out, all, "records_total",
                   "Monitoring records read, data and empty-window.",
                   &w4_series_sample::records);
  w4_series_family(out, all, "empty_window_records_total",
                   "Empty-window records read.",
                   &w4_series_sample::empty_records);
  if (snap.opts.gaps)
    w4_series_family(out, all, "missing_records_total",
                     "Monitoring records missing from their sequence.",
                     &w4_series_sample::missing_records);
}

/* The sessions family, one series per client. */
static void w4_expose_clients(std::string *out,
                              const w4_exposition_snapshot &snap) {
  w4_family(out, "sessions_total", "counter",
            "Monitoring sessions seen per client.");
  for (const auto &c : snap.clients)
    w4_sample_u64(out, "sessions_total", *c.first, c.second);
}

/* The label text of an audit key, and of its shard when sharded. */
static std::string w4_audit_labels(const w4_audit_key &key, int32_t shard) {
  std::string labels;
  w4_label(&labels, "cluster_id", std::get<0>(key), true);
  w4_label(&labels, "topic", std::get<1>(key));
  w4_label(&labels, "group_id", std::get<2>(key));
  if (shard >= 0)
    w4_label(&labels, "shard", std::to_string(shard));
  return labels;
}

/* The shard label alone, or nothing. */
static std::string w4_shard_label(int32_t shard) {
  std::string labels;
  if (shard >= 0)
    w4_label(&labels, "shard", std::to_string(shard), true);
  return labels;
}

/* The audit families, per cluster, topic and consumer group that has room
 * in /metrics. */
static void w4_expose_audit(std::string *out,
                            const w4_exposition_snapshot &snap) {
  std::vector<std::string> labels;
  labels.reserve(snap.audit.size());
  for (const w4_audit_sample &row : snap.audit)
    labels.push_back(w4_audit_labels(row.key, row.shard));
  struct family {
    const char *name;
    const char *help;
  };
  static const family families[] = {
      {"audit_messages_total",
       "Messages acknowledged by producers in the windows judged for the "
       "group."},
      {"audit_missing_messages_total",
       "Messages acknowledged by producers but not consumed by the group, in "
       "judged windows it has moved past."},
      {"audit_duplicate_messages_total",
       "Messages consumed by the group beyond those acknowledged, in judged "
       "windows."},
      {"audit_unconsumed_messages_total",
       "Messages the group had not consumed when it stopped consuming the "
       "partition for the horizon (not a loss)."},
      {"audit_windows_total", "Windows judged for the group."},
  };
  static_assert(sizeof(families) / sizeof(families[0]) ==
                    sizeof(w4_audit_sample::totals) / sizeof(uint64_t),
                "a family per total");
  for (size_t f = 0; f < sizeof(families) / sizeof(families[0]); f++) {
    w4_family(out, families[f].name, "counter", families[f].help);
    for (size_t i = 0; i < snap.audit.size(); i++)
      if (snap.audit[i].has_totals)
        w4_sample_u64(out, families[f].name, labels[i],
                      snap.audit[i].totals[f]);
  }
  w4_family(out, "audit_pending_messages", "gauge",
            "Messages acknowledged by producers that the group has not "
            "consumed yet, in windows not judged.");
  for (size_t i = 0; i < snap.audit.size(); i++)
    if (snap.audit[i].has_lag)
      w4_sample_u64(out, "audit_pending_messages", labels[i],
                    snap.audit[i].lag.pending);
  w4_family(out, "audit_lag_seconds", "gauge",
            "How far the group's consumption is behind the newest window "
            "with acknowledged messages, largest over its partitions.");
  for (size_t i = 0; i < snap.audit.size(); i++)
    if (snap.audit[i].has_lag)
      w4_sample_ms(out, "audit_lag_seconds", labels[i],
                   static_cast<uint64_t>(snap.audit[i].lag.lag_ms));
  w4_family(out, "audit_lag_messages", "gauge",
            "Highest offset acknowledged by producers minus the highest the "
            "group consumed, summed over its partitions where the records "
            "carry offsets.");
  for (size_t i = 0; i < snap.audit.size(); i++)
    if (snap.audit[i].has_lag && snap.audit[i].lag.lag_messages >= 0)
      w4_sample_u64(out, "audit_lag_messages", labels[i],
                    static_cast<uint64_t>(snap.audit[i].lag.lag_messages));
  w4_family(out, "audit_dropped_windows_total", "counter",
            "Windows forgotten before every group had judged them.");
  for (const auto &w : snap.windows)
    w4_sample_u64(out, "audit_dropped_windows_total",
                  w4_shard_label(std::get<0>(w)), std::get<1>(w));
  w4_family(out, "audit_open_windows", "gauge",
            "Windows that some group has not judged yet.");
  for (const auto &w : snap.windows)
    w4_sample_u64(out, "audit_open_windows", w4_shard_label(std::get<0>(w)),
                  std::get<2>(w));
}

uint64_t w4_exposition_fixed_lines(const w4_exposition_opts &opts) {
  return 2 + (opts.gaps ? 1 : 0) + (opts.audit ? 2 : 0);
}

/* A series' counters as a scrape shows them; lock held. */
static void w4_series_take(w4_series *s, w4_exposition_snapshot *snap) {
  w4_series_labels(s);
  w4_series_sample v;
  v.labels = s->labels;
  v.messages = s->messages;
  v.bytes = s->bytes;
  v.latency_sum_ms = s->latency_sum_ms;
  v.latency_count = s->latency_count;
  v.records = s->records;
  v.empty_records = s->empty_records;
  v.missing_records = s->missing_records;
  v.has_window = s->latest_window >= 0;
  v.latest_min_ms = static_cast<uint64_t>(s->latest_min_ms);
  v.latest_max_ms = static_cast<uint64_t>(s->latest_max_ms);
  if (s->hist) {
    v.hist = static_cast<int64_t>(snap->hists.size());
    snap->hists.push_back(w4_hist_take(*s));
  }
  snap->series.push_back(std::move(v));
}

/* The clients' sessions as a scrape shows them; lock held. */
static void w4_clients_take(w4_aggregate *agg, w4_exposition_snapshot *snap) {
  snap->clients.reserve(agg->clients.size());
  for (auto &kv : agg->clients) {
    w4_client_series *c = kv.second.get();
    if (!c->labels) {
      std::string text;
      w4_client_labels(&text, c->client_type, c->client_id, c->group_id,
                       c->cluster_id);
      c->labels = std::make_shared<const std::string>(std::move(text));
    }
    snap->clients.emplace_back(c->labels, c->sessions);
  }
}

/* The audit's keys that have room, as a scrape shows them; lock held. A key
 * with a gauge but no counters yet shows the gauges only. */
static void w4_audit_take(const w4_audit &a, int32_t shard,
                          const std::set<w4_audit_key> &shown,
                          w4_exposition_snapshot *snap) {
  const std::map<w4_audit_key, w4_audit_totals> &totals =
      a.show_saved ? a.saved_totals : a.totals;
  for (const w4_audit_key &key : shown) {
    auto t = totals.find(key);
    auto l = a.lag.find(key);
    if (t == totals.end() && l == a.lag.end())
      continue;
    w4_audit_sample v;
    v.key = key;
    v.shard = shard;
    v.has_totals = t != totals.end();
    if (v.has_totals) {
      const w4_audit_totals &tt = t->second;
      uint64_t values[] = {tt.messages, tt.missing, tt.duplicate, tt.unconsumed,
                           tt.windows};
      std::copy(values, values + 5, v.totals);
    }
    v.has_lag = l != a.lag.end();
    if (v.has_lag)
      v.lag = l->second;
    snap->audit.push_back(std::move(v));
  }
  snap->windows.emplace_back(shard, a.dropped_windows, a.open_windows);
}

void w4_exposition_take(w4_aggregate *agg, const w4_audit *audit,
                        const w4_exposition_opts &opts,
                        w4_exposition_snapshot *snap) {
  snap->opts = opts;
  snap->series.reserve(agg->series.size());
  for (auto &kv : agg->series)
    w4_series_take(kv.second.get(), snap);
  w4_clients_take(agg, snap);
  snap->bad_records = agg->bad_records;
  snap->dropped_series = agg->dropped_series;
  snap->late_records = agg->late_records;
  snap->audit_shown = audit && opts.audit;
  if (snap->audit_shown && !opts.sharded)
    w4_audit_take(*audit, -1, agg->audit_shown, snap);
}

void w4_exposition_take_shard(const w4_audit &audit, int32_t shard,
                              const w4_aggregate &agg,
                              w4_exposition_snapshot *snap) {
  w4_audit_take(audit, shard, agg.audit_shown, snap);
}

std::string w4_exposition_render(w4_exposition_snapshot *snap) {
  std::sort(snap->series.begin(), snap->series.end(),
            [](const w4_series_sample &a, const w4_series_sample &b) {
              return *a.labels < *b.labels;
            });
  std::sort(
      snap->clients.begin(), snap->clients.end(),
      [](const std::pair<std::shared_ptr<const std::string>, uint64_t> &a,
         const std::pair<std::shared_ptr<const std::string>, uint64_t> &b) {
        return *a.first < *b.first;
      });
  std::sort(snap->audit.begin(), snap->audit.end(),
            [](const w4_audit_sample &a, const w4_audit_sample &b) {
              return std::tie(a.key, a.shard) < std::tie(b.key, b.shard);
            });
  std::string out;
  out.reserve(4096 + snap->series.size() * 1600);
  w4_expose_series(&out, *snap);
  w4_expose_clients(&out, *snap);
  w4_family(&out, "bad_records_total", "counter",
            "Values on the monitoring topic that are not monitoring records.");
  w4_sample_u64(&out, "bad_records_total", "", snap->bad_records);
  w4_family(&out, "dropped_series_total", "counter",
            "Records that found no room for a series of theirs (or its "
            "histogram), by reason: max_series, the limit of sample lines.");
  w4_sample_u64(&out, "dropped_series_total", "reason=\"max_series\"",
                snap->dropped_series);
  if (snap->opts.gaps) {
    w4_family(&out, "late_records_total", "counter",
              "Records whose sequence number was already accounted for "
              "(duplicates, or later than the wait for a missing record).");
    w4_sample_u64(&out, "late_records_total", "", snap->late_records);
  }
  if (snap->audit_shown)
    w4_expose_audit(&out, *snap);
  return out;
}

std::string w4_exposition(w4_aggregate *agg, const w4_audit *audit,
                          const w4_exposition_opts &opts) {
  w4_exposition_snapshot snap;
  if (audit && opts.audit)
    w4_aggregate_audit_admit(agg, *audit);
  w4_exposition_take(agg, audit, opts, &snap);
  return w4_exposition_render(&snap);
}
