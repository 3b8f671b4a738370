/* The delivery audit of the monitoring topic. */
#include "exporter/audit.h"

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <ctime>
#include <tuple>

/* The key of a record's window. Windows of different lengths do not
 * compare: clients must share their publish interval to be audited. */
static std::string w4_audit_key(const w4_record &rec) {
  char buf[96];
  int n = snprintf(buf, sizeof(buf), "|%" PRId32 "|%" PRId64 "|%" PRId64,
                   rec.msg.partition, rec.msg.window, rec.msg.window_size);
  std::string key = rec.topic;
  key.push_back('\0'); /* no topic name holds it */
  key.append(buf, static_cast<size_t>(n));
  return key;
}

/* Adds v (not negative) to *sum, saturating instead of overflowing. */
static void w4_audit_sum_add(int64_t *sum, int64_t v) {
  *sum = *sum > INT64_MAX - v ? INT64_MAX : *sum + v;
}

void w4_audit_add(w4_audit *a, const w4_record &rec, int64_t now_ms) {
  const monitoring_MonitoringMessage &m = rec.msg;
  if (m.record_kind != 0 || m.count <= 0)
    return;
  auto ins = a->windows.emplace(w4_audit_key(rec), w4_audit_window());
  w4_audit_window *w = &ins.first->second;
  if (ins.second) {
    w->topic = rec.topic;
    w->partition = m.partition;
    w->window = m.window;
    w->window_size = m.window_size;
    w->first_ms = now_ms;
  }
  w->last_ms = now_ms;
  if (m.client_type == 1) {
    w4_audit_sum_add(&w->produced, m.count);
  } else {
    w4_audit_consumed *c = &w->consumed[rec.group_id];
    w4_audit_sum_add(&c->messages, m.count);
    for (size_t i = 0; i < rec.hist_index.size(); i++)
      c->hist.emplace_back(rec.hist_index[i], rec.hist_count[i]);
    a->groups[rec.topic].insert(rec.group_id);
  }
}

/* Adds v to a counter, saturating: a counter never goes down. */
static void w4_total_add(uint64_t *c, uint64_t v) {
  *c = *c > UINT64_MAX - v ? UINT64_MAX : *c + v;
}

/* Adds a window's buckets and counts (sane: indices in range) to *into. */
static void
w4_audit_hist_add(w4_latency_hist *into,
                  const std::vector<std::pair<uint32_t, uint64_t>> &buckets) {
  for (const auto &b : buckets) {
    into->counts[b.first] = into->counts[b.first] > UINT64_MAX - b.second
                                ? UINT64_MAX
                                : into->counts[b.first] + b.second;
    into->total = into->total > UINT64_MAX - b.second ? UINT64_MAX
                                                      : into->total + b.second;
  }
}

/* The p99 of a window's buckets and counts, ms. */
static double
w4_audit_window_p99(const std::vector<std::pair<uint32_t, uint64_t>> &buckets) {
  w4_latency_hist h;
  w4_audit_hist_add(&h, buckets);
  return w4_latency_hist_quantile(h, 0.99);
}

/* Adds a settled window to the counters of every group audited for its
 * topic. */
static void w4_audit_settle(w4_audit *a, const w4_audit_window &w,
                            std::vector<w4_audit_row> *rows) {
  auto g = a->groups.find(w.topic);
  if (g == a->groups.end())
    return; /* no group has consumed from the topic yet */
  for (const std::string &group : g->second) {
    auto c = w.consumed.find(group);
    int64_t consumed = c == w.consumed.end() ? 0 : c->second.messages;
    bool hist = c != w.consumed.end() && !c->second.hist.empty();
    w4_audit_totals *t = &a->totals[std::make_pair(w.topic, group)];
    if (hist)
      w4_audit_hist_add(&t->hist, c->second.hist);
    w4_total_add(&t->messages, static_cast<uint64_t>(w.produced));
    t->windows++;
    if (w.produced > consumed)
      w4_total_add(&t->missing, static_cast<uint64_t>(w.produced - consumed));
    else
      w4_total_add(&t->duplicate, static_cast<uint64_t>(consumed - w.produced));
    if (rows && consumed != w.produced)
      rows->push_back(w4_audit_row{
          w.topic, w.partition, w.window, w.window_size, group, w.produced,
          consumed, hist ? w4_audit_window_p99(c->second.hist) : -1});
  }
}

/* Sorts the rows appended since from by window, topic, partition and
 * group, for a table that reads in order. */
static void w4_audit_rows_sort(std::vector<w4_audit_row> *rows, size_t from) {
  if (!rows)
    return;
  std::sort(rows->begin() + static_cast<std::ptrdiff_t>(from), rows->end(),
            [](const w4_audit_row &x, const w4_audit_row &y) {
              return std::tie(x.window, x.topic, x.partition, x.group_id) <
                     std::tie(y.window, y.topic, y.partition, y.group_id);
            });
}

void w4_audit_tick(w4_audit *a, int64_t now_ms,
                   std::vector<w4_audit_row> *rows) {
  size_t from = rows ? rows->size() : 0;
  for (auto it = a->windows.begin(); it != a->windows.end();) {
    const w4_audit_window &w = it->second;
    if (now_ms - w.last_ms >= a->settle_ms) {
      w4_audit_settle(a, w, rows);
    } else if (now_ms - w.first_ms >= a->max_age_ms) {
      a->dropped_windows++;
    } else {
      ++it;
      continue;
    }
    it = a->windows.erase(it);
  }
  w4_audit_rows_sort(rows, from);
}

void w4_audit_finish(w4_audit *a, std::vector<w4_audit_row> *rows) {
  size_t from = rows ? rows->size() : 0;
  for (const auto &kv : a->windows)
    w4_audit_settle(a, kv.second, rows);
  a->windows.clear();
  w4_audit_rows_sort(rows, from);
}

w4_audit_totals w4_audit_sum(const w4_audit &a) {
  w4_audit_totals sum;
  for (const auto &kv : a.totals) {
    sum.messages += kv.second.messages;
    sum.missing += kv.second.missing;
    sum.duplicate += kv.second.duplicate;
    sum.windows += kv.second.windows;
    w4_latency_hist_merge(&sum.hist, kv.second.hist);
  }
  return sum;
}

double w4_audit_totals_p99(const w4_audit_totals &t) {
  return w4_latency_hist_quantile(t.hist, 0.99);
}

std::string w4_audit_p99_str(double p99_ms) {
  char buf[48];
  if (p99_ms < 0)
    snprintf(buf, sizeof(buf), "p99 -");
  else
    snprintf(buf, sizeof(buf), "p99 %.1f ms", p99_ms);
  return buf;
}

std::string w4_audit_table_head(void) {
  char buf[256];
  snprintf(buf, sizeof(buf),
           "%-24s %-10s %-24s %6s %-20s %10s %10s %10s %10s\n", "window",
           "length", "topic", "part", "group", "produced", "consumed",
           "difference", "p99 ms");
  return buf;
}

std::string w4_audit_table_line(const w4_audit_row &r) {
  time_t secs = static_cast<time_t>(r.window / 1000);
  struct tm tm;
  char when[48];
  gmtime_r(&secs, &tm);
  size_t n = strftime(when, sizeof(when), "%Y-%m-%dT%H:%M:%S", &tm);
  snprintf(when + n, sizeof(when) - n, ".%03dZ",
           static_cast<int>(r.window % 1000));
  char len[24];
  snprintf(len, sizeof(len), "%" PRId64 "ms", r.window_size);
  std::string group = r.group_id.empty() ? "-" : r.group_id;
  char p99[32];
  if (r.p99_ms < 0)
    snprintf(p99, sizeof(p99), "-");
  else
    snprintf(p99, sizeof(p99), "%.1f", r.p99_ms);
  char buf[1024];
  snprintf(buf, sizeof(buf),
           "%-24s %-10s %-24s %6" PRId32 " %-20s %10" PRId64 " %10" PRId64
           " %+10" PRId64 " %10s\n",
           when, len, r.topic.c_str(), r.partition, group.c_str(), r.produced,
           r.consumed, r.consumed - r.produced, p99);
  return buf;
}

void w4_audit_table_print(const std::vector<w4_audit_row> &rows,
                          bool *head_printed) {
  if (rows.empty())
    return;
  std::string out;
  if (!*head_printed)
    out = w4_audit_table_head();
  *head_printed = true;
  for (const w4_audit_row &r : rows)
    out += w4_audit_table_line(r);
  fwrite(out.data(), 1, out.size(), stdout);
  fflush(stdout);
}
