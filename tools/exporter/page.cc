/* The JSON of the exporter's page, and its embedded files. */
#include "exporter/page.h"

#include "exporter/json_writer.h"

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

/* Adds v to *c, saturating: a sum over many counters never wraps. */
static void w4_page_add(uint64_t *c, uint64_t v) {
  *c = *c > UINT64_MAX - v ? UINT64_MAX : *c + v;
}

/* A count as a signed number for w4_jw_key_int, saturating at INT64_MAX:
 * a count above it is not "nothing seen". */
static int64_t w4_page_i64(uint64_t v) {
  return v > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX
                                              : static_cast<int64_t>(v);
}

/* Adds one series to a sum. */
static void w4_page_sum_add(w4_page_sum *s, const w4_series &se) {
  w4_page_add(&s->messages, se.messages);
  w4_page_add(&s->latency_sum, se.latency_sum_ms);
  w4_page_add(&s->latency_count, se.latency_count);
  if (se.hist) {
    if (!s->hist)
      s->hist.reset(new w4_latency_hist());
    w4_latency_hist_merge(s->hist.get(), *se.hist);
  }

  s->partitions.push_back(se.partition);
}

/* The p99 latency of a sum, ms, from its histograms; null without any. */
static void w4_jp99(w4_json_writer *w, const w4_page_sum *s) {
  w4_jw_key(w, "latency_p99_ms");
  w4_jw_double(w, s && s->hist && s->hist->total
                      ? w4_latency_hist_quantile(*s->hist, 0.99)
                      : std::nan(""));
}

/* Writes "name": and an unsigned number. */
static void w4_jw_key_uint(w4_json_writer *w, const char *name, uint64_t v) {
  w4_jw_key(w, name);
  w4_jw_uint(w, v);
}

/* Writes "name": and a signed number, or null when it is below zero. */
static void w4_jw_key_int(w4_json_writer *w, const char *name, int64_t v) {
  w4_jw_key(w, name);
  w4_jw_int_or_null(w, v);
}

/* Writes "name": and a number as w4_jw_double. */
static void w4_jw_key_double(w4_json_writer *w, const char *name, double v) {
  w4_jw_key(w, name);
  w4_jw_double(w, v);
}

/* Writes "name": and a string, or null when there is none. */
static void w4_jw_key_string(w4_json_writer *w, const char *name,
                             const std::string *v) {
  w4_jw_key(w, name);
  if (v)
    w4_jw_string(w, *v);
  else
    w4_jw_null(w);
}

/* Writes "offset", "limit" and the opening of "rows" of a page of
 * results. */
static void w4_jw_page_head(w4_json_writer *w, size_t offset, size_t limit) {
  w4_jw_key_uint(w, "offset", offset);
  w4_jw_key_uint(w, "limit", limit);
  w4_jw_key(w, "rows");
  w4_jw_begin_array(w);
}

/* Closes the rows and the document; its text. */
static std::string w4_jw_page_end(w4_json_writer *w) {
  w4_jw_end_array(w);
  w4_jw_end_object(w);
  return std::move(w->out);
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

/* The audit's counters and gauges of each topic and group, over every
 * cluster: the page's rows are by topic and group. */
static void w4_page_audit_by_topic(
    const w4_audit &a,
    std::map<std::pair<std::string, std::string>, w4_audit_totals> *totals,
    std::map<std::pair<std::string, std::string>, w4_audit_lag> *lag) {
  for (const auto &kv : a.totals) {
    w4_audit_totals &t =
        (*totals)[std::make_pair(std::get<1>(kv.first), std::get<2>(kv.first))];
    w4_page_add(&t.messages, kv.second.messages);
    w4_page_add(&t.missing, kv.second.missing);
    w4_page_add(&t.duplicate, kv.second.duplicate);
    w4_page_add(&t.unconsumed, kv.second.unconsumed);
    w4_page_add(&t.windows, kv.second.windows);
  }
  for (const auto &kv : a.lag) {
    w4_audit_lag &l =
        (*lag)[std::make_pair(std::get<1>(kv.first), std::get<2>(kv.first))];
    w4_page_add(&l.pending, kv.second.pending);
    l.lag_ms = std::max(l.lag_ms, kv.second.lag_ms);
    if (kv.second.lag_messages >= 0)
      l.lag_messages =
          std::max<int64_t>(l.lag_messages, 0) + kv.second.lag_messages;
    l.open = l.open > INT64_MAX - kv.second.open ? INT64_MAX
                                                 : l.open + kv.second.open;
  }
}

/* Writes one row of the streams table. */
static void w4_page_stream_row(w4_json_writer *w, const w4_page_view &v,
                               const w4_page_stream &r) {
  w4_jw_begin_object(w);
  w4_jw_key_string(w, "topic", &r.topic);
  w4_jw_key_string(w, "group", r.has_group ? &r.group : nullptr);
  w4_jw_key(w, "state");
  w4_jw_string(w, r.state);
  w4_jw_key_uint(w, "produced", r.produced ? r.produced->messages : 0);
  bool audited = v.audit_on && r.has_group;
  const w4_page_sum *lat = r.has_group ? r.consumed : r.produced;
  w4_jw_key(w, "consumed");
  if (r.has_group)
    w4_jw_uint(w, r.consumed->messages);
  else
    w4_jw_null(w);
  w4_jw_key_int(w, "audited",
                !audited   ? -1
                : r.totals ? w4_page_i64(r.totals->messages)
                           : 0);
  w4_jw_key_int(w, "missing",
                !audited   ? -1
                : r.totals ? w4_page_i64(r.totals->missing)
                           : 0);
  w4_jw_key_int(w, "duplicate",
                !audited   ? -1
                : r.totals ? w4_page_i64(r.totals->duplicate)
                           : 0);
  w4_jw_key_uint(w, "open_windows",
                 r.lag ? static_cast<uint64_t>(r.lag->open) : 0);
  w4_jw_key_int(w, "pending",
                !audited ? -1
                : r.lag  ? w4_page_i64(r.lag->pending)
                         : 0);
  w4_jw_key_int(w, "unconsumed",
                !audited   ? -1
                : r.totals ? w4_page_i64(r.totals->unconsumed)
                           : 0);
  w4_jw_key_int(w, "lag_messages",
                !audited || !r.lag ? -1 : r.lag->lag_messages);
  w4_jw_key_double(w, "lag_s",
                   !audited ? std::nan("")
                   : r.lag  ? static_cast<double>(r.lag->lag_ms) / 1000.0
                            : 0.0);
  w4_jw_key_double(w, "produced_per_s",
                   w4_history_stream_rate(*v.history,
                                          w4_stream_key(r.topic, true, ""),
                                          v.wall_ms));
  w4_jw_key_double(
      w, "consumed_per_s",
      r.has_group
          ? w4_history_stream_rate(
                *v.history, w4_stream_key(r.topic, false, r.group), v.wall_ms)
          : std::nan(""));
  w4_jw_key_double(w, "latency_avg_ms",
                   w4_avg(lat->latency_sum, lat->latency_count));
  auto seen =
      v.history->streams.find(w4_stream_key(r.topic, !r.has_group, r.group));
  bool found = seen != v.history->streams.end();
  w4_jw_key_int(w, "latency_max_ms", found ? seen->second.latency_max_ms : -1);
  w4_jp99(w, lat);
  w4_jw_key_uint(w, "partitions", w4_page_partition_count(*lat));
  w4_jw_key_int(w, "last_ms", found ? seen->second.last_ms : -1);
  w4_jw_end_object(w);
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
    if (se.client_type == W4_CLIENT_PRODUCER)
      w4_page_sum_add(&produced[se.topic], se);
    else
      w4_page_sum_add(&consumed[std::make_pair(se.topic, se.group_id)], se);
  }
  std::map<std::pair<std::string, std::string>, w4_audit_totals> audit_totals;
  std::map<std::pair<std::string, std::string>, w4_audit_lag> audit_lag;
  w4_page_audit_by_topic(*v.audit, &audit_totals, &audit_lag);
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
  w4_json_writer w;
  w4_jw_begin_object(&w);
  w4_jw_key_int(&w, "now", v.wall_ms);
  w4_jw_key(&w, "audit");
  w4_jw_bool(&w, v.audit_on);
  w4_jw_key(&w, "gaps");
  w4_jw_bool(&w, v.gaps_on);
  w4_jw_key_uint(&w, "settle_ms", static_cast<uint64_t>(v.settle_ms));
  w4_jw_key_uint(&w, "rate_span_ms",
                 static_cast<uint64_t>(w4_history_rate_span(*v.history)));
  w4_jw_key_uint(&w, "records", v.agg->decoded_records);
  w4_jw_key_uint(&w, "bad_records", v.agg->bad_records);
  w4_jw_key_uint(&w, "missing_records", w4_aggregate_missing(*v.agg));
  w4_jw_key_uint(&w, "open_windows", v.audit->open_windows);
  w4_jw_key_uint(&w, "total", rows.size());
  w4_jw_key_uint(&w, "offset", offset);
  w4_jw_key_uint(&w, "limit", limit);
  w4_jw_key(&w, "states");
  w4_jw_begin_object(&w);
  for (const auto &kv : counts)
    w4_jw_key_uint(&w, kv.first.c_str(), static_cast<uint64_t>(kv.second));
  w4_jw_end_object(&w);
  w4_jw_key(&w, "rows");
  w4_jw_begin_array(&w);
  for (size_t i = offset; i < rows.size() && i < offset + limit; i++)
    w4_page_stream_row(&w, v, rows[i]);
  return w4_jw_page_end(&w);
}

/* The offsets of a partition's latest findings, each with the command
 * that reads them again: "ranges":[{"first":..,"last":..,"missing":true,
 * "read_again":"kcat ..."}]. */
static void w4_page_ranges(w4_json_writer *w, const std::string &topic,
                           int32_t partition, const w4_partition_audit *pa) {
  w4_jw_key(w, "ranges");
  w4_jw_begin_array(w);
  for (size_t i = 0; pa && i < pa->ranges.size(); i++) {
    const w4_history_range &r = pa->ranges[i];
    w4_audit_row row{};
    row.topic = topic;
    row.partition = partition;
    w4_jw_begin_object(w);
    w4_jw_key_int(w, "first", r.first);
    w4_jw_key_int(w, "last", r.last);
    w4_jw_key(w, "missing");
    w4_jw_bool(w, r.missing);
    w4_jw_key(w, "read_again");
    w4_jw_string(w, w4_audit_read_again(row, std::make_pair(r.first, r.last)));
    w4_jw_end_object(w);
  }
  w4_jw_end_array(w);
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
    if (se.client_type == W4_CLIENT_PRODUCER)
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
  w4_json_writer w;
  w4_jw_begin_object(&w);
  w4_jw_key_string(&w, "topic", &topic);
  w4_jw_key_string(&w, "group", has_group ? &group : nullptr);
  w4_jw_key_uint(&w, "total", parts.size());
  w4_jw_page_head(&w, offset, limit);
  static const w4_page_sum none;
  for (size_t i = offset; i < parts.size() && i < offset + limit; i++) {
    int32_t p = parts[i];
    auto pi = produced.find(p);
    auto ci = consumed.find(p);
    const w4_page_sum &ps = pi == produced.end() ? none : pi->second;
    const w4_page_sum &cs = ci == consumed.end() ? none : ci->second;
    const w4_page_sum &lat = has_group ? cs : ps;
    w4_jw_begin_object(&w);
    w4_jw_key_int(&w, "partition", p);
    w4_jw_key_uint(&w, "produced", ps.messages);
    w4_jw_key(&w, "consumed");
    if (has_group)
      w4_jw_uint(&w, cs.messages);
    else
      w4_jw_null(&w);
    int64_t missing = -1, duplicate = -1;
    const w4_partition_audit *pa = nullptr;
    if (has_group && v.audit_on) {
      auto a = v.history->partition_audit.find(
          w4_partition_key(topic, false, group, p));
      pa = a != v.history->partition_audit.end() ? &a->second : nullptr;
      missing = pa ? w4_page_i64(pa->missing) : 0;
      duplicate = pa ? w4_page_i64(pa->duplicate) : 0;
    }
    w4_jw_key_int(&w, "missing", missing);
    w4_jw_key_int(&w, "duplicate", duplicate);
    w4_page_ranges(&w, topic, p, pa);
    w4_jw_key_double(&w, "latency_avg_ms",
                     w4_avg(lat.latency_sum, lat.latency_count));
    auto seen = v.history->partitions.find(
        w4_partition_key(topic, !has_group, group, p));
    bool found = seen != v.history->partitions.end();
    w4_jw_key_int(&w, "latency_max_ms",
                  found ? seen->second.latency_max_ms : -1);
    w4_jp99(&w, &lat);
    w4_jw_key_int(&w, "last_ms", found ? seen->second.last_ms : -1);
    w4_jw_end_object(&w);
  }
  return w4_jw_page_end(&w);
}

std::string w4_page_clients_json(const w4_page_view &v,
                                 const w4_page_args &args) {
  /* Missing monitoring records and topic-partitions, per client. */
  std::map<std::string, std::pair<uint64_t, uint64_t>> per_client;
  for (const auto &kv : v.agg->series) {
    const w4_series &se = *kv.second;
    auto &pc = per_client[w4_history_client_key(se.client_type, se.client_id,
                                                se.group_id, se.cluster_id)];
    w4_page_add(&pc.first, se.missing_records);
    pc.second++;
  }
  std::vector<const std::pair<const std::string, w4_history_client> *> rows;
  for (const auto &kv : v.history->clients)
    rows.push_back(&kv);
  /* Producers first, then by client id and group. */
  std::sort(rows.begin(), rows.end(), [](const auto *x, const auto *y) {
    return std::make_tuple(x->second.client_type != W4_CLIENT_PRODUCER,
                           x->second.client_id, x->first) <
           std::make_tuple(y->second.client_type != W4_CLIENT_PRODUCER,
                           y->second.client_id, y->first);
  });
  size_t offset, limit;
  w4_arg_page(args, &offset, &limit);
  w4_json_writer w;
  w4_jw_begin_object(&w);
  w4_jw_key_uint(&w, "total", rows.size());
  w4_jw_page_head(&w, offset, limit);
  for (size_t i = offset; i < rows.size() && i < offset + limit; i++) {
    const w4_history_client &c = rows[i]->second;
    auto pc = per_client.find(rows[i]->first);
    bool producer = c.client_type == W4_CLIENT_PRODUCER;
    w4_jw_begin_object(&w);
    w4_jw_key(&w, "type");
    w4_jw_string(&w, producer ? "producer" : "consumer");
    w4_jw_key_string(&w, "client_id", &c.client_id);
    w4_jw_key_string(&w, "group", producer ? nullptr : &c.group_id);
    w4_jw_key_string(&w, "cluster_id", &c.cluster_id);
    w4_jw_key_string(&w, "session", &c.session_id);
    w4_jw_key_uint(&w, "sessions", c.sessions);
    w4_jw_key_uint(&w, "records", c.records);
    w4_jw_key_int(&w, "missing_records",
                  !v.gaps_on               ? -1
                  : pc == per_client.end() ? 0
                                           : w4_page_i64(pc->second.first));
    w4_jw_key_uint(&w, "partitions",
                   pc == per_client.end() ? 0 : pc->second.second);
    w4_jw_key_int(&w, "last_ms", c.last_ms);
    w4_jw_end_object(&w);
  }
  return w4_jw_page_end(&w);
}

/* Writes the lines of one group of the history: per finished step its
 * messages per second and latency over the last k steps (secs long), and
 * the missing messages found in the step. */
static void w4_page_history_group(w4_json_writer *w, const w4_history &h,
                                  const std::string &g, size_t n, size_t k,
                                  double secs) {
  std::vector<w4_history_group_step> line(n);
  for (size_t i = 0; i < n; i++) {
    auto it = h.steps[i].groups.find(g);
    if (it != h.steps[i].groups.end())
      line[i] = it->second;
  }
  std::vector<double> consumed(n), avg(n);
  std::vector<int64_t> max(n);
  for (size_t i = 0; i < n; i++) {
    uint64_t count = 0, lat = 0;
    int64_t top = -1;
    for (size_t j = i + 1 > k ? i + 1 - k : 0; j <= i; j++) {
      w4_page_add(&count, line[j].consumed);
      w4_page_add(&lat, line[j].latency_sum_ms);
      top = std::max(top, line[j].latency_max_ms);
    }
    consumed[i] = static_cast<double>(count) / secs;
    avg[i] = w4_avg(lat, count);
    max[i] = top;
  }
  w4_jw_begin_object(w);
  w4_jw_key_string(w, "group", &g);
  w4_jw_key(w, "other");
  w4_jw_bool(w, g == W4_HISTORY_OTHER_GROUPS && !h.groups_followed.count(g));
  w4_jw_key(w, "consumed_per_s");
  w4_jw_begin_array(w);
  for (double x : consumed)
    w4_jw_double(w, x);
  w4_jw_end_array(w);
  w4_jw_key(w, "missing");
  w4_jw_begin_array(w);
  for (const w4_history_group_step &st : line)
    w4_jw_uint(w, st.missing);
  w4_jw_end_array(w);
  w4_jw_key(w, "latency_avg_ms");
  w4_jw_begin_array(w);
  for (double x : avg)
    w4_jw_double(w, x);
  w4_jw_end_array(w);
  w4_jw_key(w, "latency_max_ms");
  w4_jw_begin_array(w);
  for (int64_t x : max)
    w4_jw_int_or_null(w, x);
  w4_jw_end_array(w);
  w4_jw_end_object(w);
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

  w4_json_writer w;
  w4_jw_begin_object(&w);
  w4_jw_key_int(&w, "step_ms", h.step_ms);
  w4_jw_key_uint(&w, "rate_steps", k);
  w4_jw_key(&w, "t");
  w4_jw_begin_array(&w);
  for (size_t i = 0; i < n; i++)
    w4_jw_int_or_null(&w, h.steps[i].start_ms);
  w4_jw_end_array(&w);
  w4_jw_key(&w, "produced_per_s");
  w4_jw_begin_array(&w);
  for (size_t i = 0; i < n; i++) {
    uint64_t sum = 0;
    for (size_t j = i + 1 > k ? i + 1 - k : 0; j <= i; j++)
      w4_page_add(&sum, h.steps[j].produced);
    w4_jw_double(&w, static_cast<double>(sum) / secs);
  }
  w4_jw_end_array(&w);
  /* Named groups in order, the line of the other groups last. */
  std::vector<std::string> order;
  for (const std::string &g : groups)
    if (g != W4_HISTORY_OTHER_GROUPS || h.groups_followed.count(g))
      order.push_back(g);
  if (groups.count(W4_HISTORY_OTHER_GROUPS) &&
      !h.groups_followed.count(W4_HISTORY_OTHER_GROUPS))
    order.push_back(W4_HISTORY_OTHER_GROUPS);
  w4_jw_key(&w, "groups");
  w4_jw_begin_array(&w);
  for (const std::string &g : order)
    w4_page_history_group(&w, h, g, n, k, secs);
  w4_jw_end_array(&w);
  w4_jw_end_object(&w);
  return std::move(w.out);
}

bool w4_page_api_known(const std::string &path) {
  return path == "/api/streams" || path == "/api/partitions" ||
         path == "/api/clients" || path == "/api/history";
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
