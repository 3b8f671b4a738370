/* The JSON of the exporter's page, and its embedded files. */
#include "exporter/page.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <tuple>
#include <vector>

/* The page's files, written into a generated source at build time. */
struct w4_page_embedded {
  const char *path;
  const unsigned char *data;
  size_t len;
};
extern const w4_page_embedded w4_page_embedded_files[];
extern const size_t w4_page_embedded_count;

void w4_page_json_string(std::string *out, const std::string &s) {
  static const char hex[] = "0123456789abcdef";
  out->push_back('"');
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out->append("\\n");
    } else if (c < 0x20 || c == 0x7f || c == '<' || c == '>' || c == '&') {
      out->append("\\u00");
      out->push_back(hex[c >> 4]);
      out->push_back(hex[c & 15]);
    } else if (c >= 0x80) {
      size_t n = w4_utf8_len(s, i);
      if (n == 0) {
        out->append("\\ufffd");
        i++;
        continue;
      }
      /* U+2028 and U+2029 end a line in older JavaScript. */
      if (n == 3 && c == 0xe2 && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
          (static_cast<unsigned char>(s[i + 2]) & 0xfe) == 0xa8)
        out->append(static_cast<unsigned char>(s[i + 2]) == 0xa8 ? "\\u2028"
                                                                 : "\\u2029");
      else
        out->append(s, i, n);
      i += n;
      continue;
    } else {
      out->push_back(static_cast<char>(c));
    }
    i++;
  }
  out->push_back('"');
}

/* Appends ,"name": and a string. */
static void w4_jstr(std::string *out, const char *name, const std::string &v) {
  out->append(",\"").append(name).append("\":");
  w4_page_json_string(out, v);
}

/* Appends ,"name": and an unsigned number. */
static void w4_juint(std::string *out, const char *name, uint64_t v) {
  char buf[96];
  snprintf(buf, sizeof(buf), ",\"%s\":%" PRIu64, name, v);
  out->append(buf);
}

/* Appends ,"name": and a signed number, or null when it is below zero. */
static void w4_jint_or_null(std::string *out, const char *name, int64_t v) {
  char buf[96];
  if (v < 0)
    snprintf(buf, sizeof(buf), ",\"%s\":null", name);
  else
    snprintf(buf, sizeof(buf), ",\"%s\":%" PRId64, name, v);
  out->append(buf);
}

/* Appends a number with up to three decimals, or null when it is not
 * finite. */
static void w4_jdouble_value(std::string *out, double v) {
  if (!std::isfinite(v)) {
    out->append("null");
    return;
  }
  char buf[64];
  snprintf(buf, sizeof(buf), "%.3f", v);
  /* 12.500 reads better as 12.5. */
  char *end = buf + strlen(buf);
  while (end > buf && end[-1] == '0')
    *--end = '\0';
  if (end > buf && end[-1] == '.')
    *--end = '\0';
  out->append(buf);
}

/* Appends ,"name": and a number as w4_jdouble_value. */
static void w4_jdouble(std::string *out, const char *name, double v) {
  out->append(",\"").append(name).append("\":");
  w4_jdouble_value(out, v);
}

/* Appends ,"name":true or false. */
static void w4_jbool(std::string *out, const char *name, bool v) {
  out->append(",\"").append(name).append(v ? "\":true" : "\":false");
}

/* An unsigned argument, or def when absent or not a number. */
static size_t w4_arg_size(const w4_page_args &args, const char *name,
                          size_t def) {
  auto it = args.find(name);
  if (it == args.end() || it->second.empty() ||
      it->second.find_first_not_of("0123456789") != std::string::npos)
    return def;
  return static_cast<size_t>(strtoull(it->second.c_str(), nullptr, 10));
}

/* The offset and limit of a page of results. */
static void w4_arg_page(const w4_page_args &args, size_t *offset,
                        size_t *limit) {
  *offset = w4_arg_size(args, "offset", 0);
  *limit = std::min(std::max<size_t>(w4_arg_size(args, "limit", 100), 1),
                    W4_PAGE_MAX_LIMIT);
}

/* Average latency in ms, or NaN without messages. */
static double w4_avg(uint64_t sum, uint64_t count) {
  return count ? static_cast<double>(sum) / static_cast<double>(count) : NAN;
}

/* Counters of one stream or partition, added up over its series. */
struct w4_page_sum {
  uint64_t messages = 0;
  uint64_t latency_sum = 0;
  uint64_t latency_count = 0;
  /* The merged latency histograms of its series that have one; none while
   * no record carried one. */
  std::unique_ptr<w4_latency_hist> hist;

  /* Partitions of its series, repeated when several clients of a group
   * read one: counted only for the rows written out. */
  std::vector<int32_t> partitions;
};

/* The number of distinct partitions of a sum. */
static size_t w4_page_partition_count(const w4_page_sum &s) {
  std::vector<int32_t> p = s.partitions;
  std::sort(p.begin(), p.end());
  return static_cast<size_t>(std::unique(p.begin(), p.end()) - p.begin());
}

/* Adds one series to a sum. */
static void w4_page_sum_add(w4_page_sum *s, const w4_series &se) {
  s->messages += se.messages;
  s->latency_sum += se.latency_sum_ms;
  s->latency_count += se.latency_count;
  if (se.hist) {
    if (!s->hist)
      s->hist.reset(new w4_latency_hist());
    w4_latency_hist_merge(s->hist.get(), *se.hist);
  }

  s->partitions.push_back(se.partition);
}

/* The p99 latency of a sum, ms, from its histograms; null without any. */
static void w4_jp99(std::string *out, const w4_page_sum *s) {
  w4_jdouble(out, "latency_p99_ms",
             s && s->hist && s->hist->total
                 ? w4_latency_hist_quantile(*s->hist, 0.99)
                 : std::nan(""));
}

/* One row of the streams table, before it is written. */
struct w4_page_stream {
  std::string topic;
  bool has_group = false;
  std::string group;
  const w4_page_sum *produced = nullptr;
  const w4_page_sum *consumed = nullptr;
  const w4_audit_totals *totals = nullptr;
  const w4_audit_lag *lag = nullptr;
  const char *state = "";
  int rank = 0; /* rows with a problem come first */
};

/* The state of a row, and its rank in the table. */
static void w4_page_stream_state(const w4_page_view &v, w4_page_stream *r) {
  if (!v.audit_on) {
    r->state = "off";
    r->rank = 3;
  } else if (!r->has_group) {
    r->state = "no_group";
    r->rank = 4;
  } else if (!r->totals || r->totals->windows == 0) {
    r->state = "pending";
    r->rank = 2;
  } else if (r->totals->missing > 0) {
    r->state = "not_delivered";
    r->rank = 0;
  } else if (r->totals->duplicate > 0) {
    r->state = "duplicate";
    r->rank = 1;
  } else {
    r->state = "delivered";
    r->rank = 3;
  }
}

std::string w4_page_streams_json(const w4_page_view &v,
                                 const w4_page_args &args) {
  auto q = args.find("q");
  std::string filter = q == args.end() ? std::string() : q->second;
  std::map<std::string, w4_page_sum> produced;
  std::map<std::pair<std::string, std::string>, w4_page_sum> consumed;
  for (const auto &kv : v.agg->series) {
    const w4_series &se = *kv.second;
    if (!filter.empty() && se.topic.find(filter) == std::string::npos)
      continue;
    if (se.client_type == 1)
      w4_page_sum_add(&produced[se.topic], se);
    else
      w4_page_sum_add(&consumed[std::make_pair(se.topic, se.group_id)], se);
  }
  /* The audit's counters of a topic and group over every cluster. */
  std::map<std::pair<std::string, std::string>, w4_audit_totals> audit_totals;
  std::map<std::pair<std::string, std::string>, w4_audit_lag> audit_lag;
  for (const auto &kv : v.audit->totals) {
    w4_audit_totals &t = audit_totals[std::make_pair(std::get<1>(kv.first),
                                                     std::get<2>(kv.first))];
    t.messages += kv.second.messages;
    t.missing += kv.second.missing;
    t.duplicate += kv.second.duplicate;
    t.unconsumed += kv.second.unconsumed;
    t.windows += kv.second.windows;
  }
  for (const auto &kv : v.audit->lag) {
    w4_audit_lag &l =
        audit_lag[std::make_pair(std::get<1>(kv.first), std::get<2>(kv.first))];
    l.pending += kv.second.pending;
    l.lag_ms = std::max(l.lag_ms, kv.second.lag_ms);
    l.open += kv.second.open;
  }
  std::vector<w4_page_stream> rows;
  std::set<std::string> topics_with_group;
  for (const auto &kv : consumed) {
    w4_page_stream r;
    r.topic = kv.first.first;
    r.has_group = true;
    r.group = kv.first.second;
    r.consumed = &kv.second;
    auto p = produced.find(r.topic);
    r.produced = p == produced.end() ? nullptr : &p->second;
    auto t = audit_totals.find(kv.first);
    r.totals = t == audit_totals.end() ? nullptr : &t->second;
    auto l = audit_lag.find(kv.first);
    r.lag = l == audit_lag.end() ? nullptr : &l->second;
    topics_with_group.insert(r.topic);
    rows.push_back(r);
  }
  for (const auto &kv : produced) {
    if (topics_with_group.count(kv.first))
      continue;
    w4_page_stream r;
    r.topic = kv.first;
    r.produced = &kv.second;
    rows.push_back(r);
  }
  std::map<std::string, int> counts;
  for (w4_page_stream &r : rows) {
    w4_page_stream_state(v, &r);
    counts[r.state]++;
  }
  std::sort(rows.begin(), rows.end(),
            [](const w4_page_stream &x, const w4_page_stream &y) {
              return std::tie(x.rank, x.topic, x.has_group, x.group) <
                     std::tie(y.rank, y.topic, y.has_group, y.group);
            });

  size_t offset, limit;
  w4_arg_page(args, &offset, &limit);
  std::string out = "{\"now\":" + std::to_string(v.wall_ms);
  w4_jbool(&out, "audit", v.audit_on);
  w4_jbool(&out, "gaps", v.gaps_on);
  w4_juint(&out, "settle_ms", static_cast<uint64_t>(v.settle_ms));
  w4_juint(&out, "rate_span_ms",
           static_cast<uint64_t>(w4_history_rate_span(*v.history)));
  w4_juint(&out, "records", v.agg->decoded_records);
  w4_juint(&out, "bad_records", v.agg->bad_records);
  w4_juint(&out, "missing_records", w4_aggregate_missing(*v.agg));
  w4_juint(&out, "open_windows", v.audit->open_windows);
  w4_juint(&out, "total", rows.size());
  w4_juint(&out, "offset", offset);
  w4_juint(&out, "limit", limit);
  out.append(",\"states\":{");
  bool first = true;
  for (const auto &kv : counts) {
    if (!first)
      out.push_back(',');
    first = false;
    w4_page_json_string(&out, kv.first);
    out.append(":" + std::to_string(kv.second));
  }
  out.append("},\"rows\":[");
  for (size_t i = offset; i < rows.size() && i < offset + limit; i++) {
    const w4_page_stream &r = rows[i];
    if (i > offset)
      out.push_back(',');
    out.append("{\"topic\":");
    w4_page_json_string(&out, r.topic);
    out.append(",\"group\":");
    if (r.has_group)
      w4_page_json_string(&out, r.group);
    else
      out.append("null");
    w4_jstr(&out, "state", r.state);
    w4_juint(&out, "produced", r.produced ? r.produced->messages : 0);
    bool audited = v.audit_on && r.has_group;
    const w4_page_sum *lat = r.has_group ? r.consumed : r.produced;
    if (r.has_group)
      w4_juint(&out, "consumed", r.consumed->messages);
    else
      out.append(",\"consumed\":null");
    w4_jint_or_null(&out, "audited",
                    !audited   ? -1
                    : r.totals ? static_cast<int64_t>(r.totals->messages)
                               : 0);
    w4_jint_or_null(&out, "missing",
                    !audited   ? -1
                    : r.totals ? static_cast<int64_t>(r.totals->missing)
                               : 0);
    w4_jint_or_null(&out, "duplicate",
                    !audited   ? -1
                    : r.totals ? static_cast<int64_t>(r.totals->duplicate)
                               : 0);
    w4_juint(&out, "open_windows",
             r.lag ? static_cast<uint64_t>(r.lag->open) : 0);
    w4_jint_or_null(&out, "pending",
                    !audited ? -1
                    : r.lag  ? static_cast<int64_t>(r.lag->pending)
                             : 0);
    w4_jint_or_null(&out, "unconsumed",
                    !audited   ? -1
                    : r.totals ? static_cast<int64_t>(r.totals->unconsumed)
                               : 0);
    w4_jdouble(&out, "lag_s",
               !audited ? std::nan("")
               : r.lag  ? static_cast<double>(r.lag->lag_ms) / 1000.0
                        : 0.0);
    w4_jdouble(&out, "produced_per_s",
               w4_history_stream_rate(
                   *v.history, w4_stream_key(r.topic, true, ""), v.wall_ms));
    if (r.has_group)
      w4_jdouble(&out, "consumed_per_s",
                 w4_history_stream_rate(*v.history,
                                        w4_stream_key(r.topic, false, r.group),
                                        v.wall_ms));
    else
      out.append(",\"consumed_per_s\":null");
    w4_jdouble(&out, "latency_avg_ms",
               w4_avg(lat->latency_sum, lat->latency_count));
    auto seen =
        v.history->streams.find(w4_stream_key(r.topic, !r.has_group, r.group));
    bool found = seen != v.history->streams.end();
    w4_jint_or_null(&out, "latency_max_ms",
                    found ? seen->second.latency_max_ms : -1);
    w4_jp99(&out, lat);
    w4_juint(&out, "partitions", w4_page_partition_count(*lat));
    w4_jint_or_null(&out, "last_ms", found ? seen->second.last_ms : -1);
    out.push_back('}');
  }
  out.append("]}");
  return out;
}

std::string w4_page_partitions_json(const w4_page_view &v,
                                    const w4_page_args &args) {
  auto t = args.find("topic");
  std::string topic = t == args.end() ? std::string() : t->second;
  auto g = args.find("group");
  bool has_group = g != args.end();
  std::string group = has_group ? g->second : std::string();
  std::map<int32_t, w4_page_sum> produced, consumed;
  for (const auto &kv : v.agg->series) {
    const w4_series &se = *kv.second;
    if (se.topic != topic)
      continue;
    if (se.client_type == 1)
      w4_page_sum_add(&produced[se.partition], se);
    else if (has_group && se.group_id == group)
      w4_page_sum_add(&consumed[se.partition], se);
  }
  std::vector<int32_t> parts;
  for (const auto &kv : produced)
    parts.push_back(kv.first);
  for (const auto &kv : consumed)
    if (!produced.count(kv.first))
      parts.push_back(kv.first);
  std::sort(parts.begin(), parts.end());

  size_t offset, limit;
  w4_arg_page(args, &offset, &limit);
  std::string out = "{\"topic\":";
  w4_page_json_string(&out, topic);
  out.append(",\"group\":");
  if (has_group)
    w4_page_json_string(&out, group);
  else
    out.append("null");
  w4_juint(&out, "total", parts.size());
  w4_juint(&out, "offset", offset);
  w4_juint(&out, "limit", limit);
  out.append(",\"rows\":[");
  static const w4_page_sum none;
  for (size_t i = offset; i < parts.size() && i < offset + limit; i++) {
    int32_t p = parts[i];
    auto pi = produced.find(p);
    auto ci = consumed.find(p);
    const w4_page_sum &ps = pi == produced.end() ? none : pi->second;
    const w4_page_sum &cs = ci == consumed.end() ? none : ci->second;
    const w4_page_sum &lat = has_group ? cs : ps;
    if (i > offset)
      out.push_back(',');
    out.append("{\"partition\":");
    out.append(p < 0 ? "null" : std::to_string(p));
    w4_juint(&out, "produced", ps.messages);
    if (has_group)
      w4_juint(&out, "consumed", cs.messages);
    else
      out.append(",\"consumed\":null");
    int64_t missing = -1, duplicate = -1;
    if (has_group && v.audit_on) {
      auto a = v.history->partition_audit.find(
          w4_partition_key(topic, false, group, p));
      bool found = a != v.history->partition_audit.end();
      missing = found ? static_cast<int64_t>(a->second.missing) : 0;
      duplicate = found ? static_cast<int64_t>(a->second.duplicate) : 0;
    }
    w4_jint_or_null(&out, "missing", missing);
    w4_jint_or_null(&out, "duplicate", duplicate);
    w4_jdouble(&out, "latency_avg_ms",
               w4_avg(lat.latency_sum, lat.latency_count));
    auto seen = v.history->partitions.find(
        w4_partition_key(topic, !has_group, group, p));
    bool found = seen != v.history->partitions.end();
    w4_jint_or_null(&out, "latency_max_ms",
                    found ? seen->second.latency_max_ms : -1);
    w4_jp99(&out, &lat);
    w4_jint_or_null(&out, "last_ms", found ? seen->second.last_ms : -1);
    out.push_back('}');
  }
  out.append("]}");
  return out;
}

std::string w4_page_clients_json(const w4_page_view &v,
                                 const w4_page_args &args) {
  /* Missing monitoring records and topic-partitions, per client. */
  std::map<std::string, std::pair<uint64_t, uint64_t>> per_client;
  for (const auto &kv : v.agg->series) {
    const w4_series &se = *kv.second;
    auto &pc = per_client[w4_history_client_key(se.client_type, se.client_id,
                                                se.group_id, se.cluster_id)];
    pc.first += se.missing_records;
    pc.second++;
  }
  std::vector<const std::pair<const std::string, w4_history_client> *> rows;
  for (const auto &kv : v.history->clients)
    rows.push_back(&kv);
  /* Producers first, then by client id and group. */
  std::sort(rows.begin(), rows.end(), [](const auto *x, const auto *y) {
    return std::make_tuple(1 - x->second.client_type, x->second.client_id,
                           x->first) <
           std::make_tuple(1 - y->second.client_type, y->second.client_id,
                           y->first);
  });
  size_t offset, limit;
  w4_arg_page(args, &offset, &limit);
  std::string out = "{\"total\":" + std::to_string(rows.size());
  w4_juint(&out, "offset", offset);
  w4_juint(&out, "limit", limit);
  out.append(",\"rows\":[");
  for (size_t i = offset; i < rows.size() && i < offset + limit; i++) {
    const w4_history_client &c = rows[i]->second;
    auto pc = per_client.find(rows[i]->first);
    if (i > offset)
      out.push_back(',');
    out.append(c.client_type == 1 ? "{\"type\":\"producer\""
                                  : "{\"type\":\"consumer\"");
    w4_jstr(&out, "client_id", c.client_id);
    out.append(",\"group\":");
    if (c.client_type == 1)
      out.append("null");
    else
      w4_page_json_string(&out, c.group_id);
    w4_jstr(&out, "cluster_id", c.cluster_id);
    w4_jstr(&out, "session", c.session_id);
    w4_juint(&out, "sessions", c.sessions);
    w4_juint(&out, "records", c.records);
    w4_jint_or_null(&out, "missing_records",
                    !v.gaps_on ? -1
                    : pc == per_client.end()
                        ? 0
                        : static_cast<int64_t>(pc->second.first));
    w4_juint(&out, "partitions",
             pc == per_client.end() ? 0 : pc->second.second);
    w4_jint_or_null(&out, "last_ms", c.last_ms);
    out.push_back('}');
  }
  out.append("]}");
  return out;
}

std::string w4_page_history_json(const w4_page_view &v) {
  const w4_history &h = *v.history;
  /* The open step is still filling: only finished ones are drawn. */
  size_t n = h.steps.empty() ? 0 : h.steps.size() - 1;
  int64_t span = std::max(h.step_ms, h.window_ms);
  size_t k = static_cast<size_t>((span + h.step_ms - 1) / h.step_ms);
  double secs = static_cast<double>(k * h.step_ms) / 1000.0;
  std::set<std::string> groups;
  for (size_t i = 0; i < n; i++)
    for (const auto &kv : h.steps[i].groups)
      groups.insert(kv.first);

  std::string out = "{\"step_ms\":" + std::to_string(h.step_ms);
  w4_juint(&out, "rate_steps", k);
  out.append(",\"t\":[");
  for (size_t i = 0; i < n; i++)
    out.append((i ? "," : "") + std::to_string(h.steps[i].start_ms));
  out.append("],\"produced_per_s\":[");
  for (size_t i = 0; i < n; i++) {
    uint64_t sum = 0;
    for (size_t j = i + 1 > k ? i + 1 - k : 0; j <= i; j++)
      sum += h.steps[j].produced;
    if (i)
      out.push_back(',');
    w4_jdouble_value(&out, static_cast<double>(sum) / secs);
  }
  out.append("],\"groups\":[");
  bool first_group = true;
  /* Named groups in order, the line of the other groups last. */
  std::vector<std::string> order;
  for (const std::string &g : groups)
    if (g != W4_HISTORY_OTHER_GROUPS || h.groups_followed.count(g))
      order.push_back(g);
  if (groups.count(W4_HISTORY_OTHER_GROUPS) &&
      !h.groups_followed.count(W4_HISTORY_OTHER_GROUPS))
    order.push_back(W4_HISTORY_OTHER_GROUPS);
  for (const std::string &g : order) {
    std::vector<w4_history_group_step> line(n);
    for (size_t i = 0; i < n; i++) {
      auto it = h.steps[i].groups.find(g);
      if (it != h.steps[i].groups.end())
        line[i] = it->second;
    }
    std::string consumed, missing, avg, max;
    for (size_t i = 0; i < n; i++) {
      uint64_t count = 0, lat = 0;
      int64_t top = -1;
      for (size_t j = i + 1 > k ? i + 1 - k : 0; j <= i; j++) {
        count += line[j].consumed;
        lat += line[j].latency_sum_ms;
        top = std::max(top, line[j].latency_max_ms);
      }
      const char *sep = i ? "," : "";
      consumed.append(sep);
      w4_jdouble_value(&consumed, static_cast<double>(count) / secs);
      missing.append(sep + std::to_string(line[i].missing));
      avg.append(sep);
      w4_jdouble_value(&avg, w4_avg(lat, count));
      max.append(sep);
      max.append(top < 0 ? "null" : std::to_string(top));
    }
    if (!first_group)
      out.push_back(',');
    first_group = false;
    out.append("{\"group\":");
    w4_page_json_string(&out, g);
    w4_jbool(&out, "other",
             g == W4_HISTORY_OTHER_GROUPS && !h.groups_followed.count(g));
    out.append(",\"consumed_per_s\":[" + consumed + "],\"missing\":[" +
               missing + "],\"latency_avg_ms\":[" + avg +
               "],\"latency_max_ms\":[" + max + "]}");
  }
  out.append("]}");
  return out;
}

bool w4_page_api(const w4_page_view &v, const std::string &path,
                 const w4_page_args &args, std::string *body) {
  if (path == "/api/streams")
    *body = w4_page_streams_json(v, args);
  else if (path == "/api/partitions")
    *body = w4_page_partitions_json(v, args);
  else if (path == "/api/clients")
    *body = w4_page_clients_json(v, args);
  else if (path == "/api/history")
    *body = w4_page_history_json(v);
  else
    return false;
  return true;
}

/* The content type of a file by its name's ending. */
static const char *w4_page_type(const std::string &path) {
  auto ends = [&](const char *suffix) {
    size_t n = strlen(suffix);
    return path.size() >= n && path.compare(path.size() - n, n, suffix) == 0;
  };
  if (ends(".js"))
    return "text/javascript; charset=utf-8";
  if (ends(".css"))
    return "text/css; charset=utf-8";
  return "text/html; charset=utf-8";
}

bool w4_page_asset(const std::string &path, const unsigned char **data,
                   size_t *len, const char **content_type) {
  for (size_t i = 0; i < w4_page_embedded_count; i++) {
    const w4_page_embedded &f = w4_page_embedded_files[i];
    if (path == f.path) {
      *data = f.data;
      *len = f.len;
      *content_type = w4_page_type(path == "/" ? "index.html" : path);
      return true;
    }
  }
  return false;
}
