/* Counters over decoded monitoring records, with sequence-gap detection. */
#include "exporter/aggregate.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>

/* Adds v to *c, saturating instead of wrapping: a counter never decreases. */
static void w4_counter_add(uint64_t *c, int64_t v) {
  if (v <= 0)
    return;
  uint64_t u = static_cast<uint64_t>(v);
  *c = *c > UINT64_MAX - u ? UINT64_MAX : *c + u;
}

/* Appends a field and the separator that no label value can hold alone. */
static void w4_key_add(std::string *key, const std::string &s) {
  key->append(s);
  key->push_back('\0');
}

/* Appends a number and the separator. */
static void w4_key_add_int(std::string *key, int64_t v) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%lld", static_cast<long long>(v));
  key->append(buf);
  key->push_back('\0');
}

/* The client part of every key: type, client id, group id. */
static std::string w4_client_key(const w4_record &rec) {
  std::string key;
  key.reserve(rec.client_id.size() + rec.group_id.size() + 8);
  w4_key_add_int(&key, rec.msg.client_type);
  w4_key_add(&key, rec.client_id);
  w4_key_add(&key, rec.group_id);
  return key;
}

/* Why the record's histogram cannot be the plug-in's, or none: both lists
 * of one length, indices ascending and in range, counts non-zero and adding
 * up to count, only in data records. */
static const char *w4_hist_insane(const w4_record &rec) {
  if (rec.hist_index.empty() && rec.hist_count.empty())
    return nullptr;
  if (rec.hist_index.size() != rec.hist_count.size())
    return "histogram indices and counts differ in number";
  if (rec.msg.record_kind != W4_RECORD_DATA)
    return "histogram in an empty-window record";
  uint64_t sum = 0;
  for (size_t i = 0; i < rec.hist_index.size(); i++) {
    if (rec.hist_index[i] >= static_cast<uint32_t>(HISTOGRAM_BUCKET_CNT))
      return "histogram bucket index out of range";
    if (i > 0 && rec.hist_index[i] <= rec.hist_index[i - 1])
      return "histogram bucket indices not ascending";
    uint64_t c = rec.hist_count[i];
    if (c == 0 || c > W4_RECORD_BUCKET_MAX)
      return "histogram bucket count zero or above 2^32-1";
    sum += c;
  }
  if (sum != static_cast<uint64_t>(rec.msg.count))
    return "histogram counts do not add up to count";
  return nullptr;
}

/* Why the record's offset range is one the plug-in cannot have sent, or
 * none: it writes both offsets or neither, never a negative one, never
 * min above max, and never in an empty-window record. */
static const char *w4_offsets_insane(const w4_record &rec) {
  if (!rec.has_min_offset && !rec.has_max_offset)
    return nullptr;
  if (rec.has_min_offset != rec.has_max_offset)
    return "only one of min_offset and max_offset";
  if (rec.msg.record_kind != W4_RECORD_DATA)
    return "offsets in an empty-window record";
  if (rec.min_offset < 0 || rec.max_offset < 0)
    return "negative offset";
  if (rec.min_offset > rec.max_offset)
    return "min_offset above max_offset";
  return nullptr;
}

/* Why a name of the record is longer than Kafka allows, or none. */
static const char *w4_names_insane(const w4_record &rec) {
  if (rec.topic.size() > W4_RECORD_TOPIC_MAX)
    return "topic longer than 249 bytes";
  for (const std::string *id :
       {&rec.client_id, &rec.group_id, &rec.cluster_id, &rec.session_id})
    if (id->size() > W4_RECORD_ID_MAX)
      return "client, group, cluster or session id longer than 511 bytes";
  return nullptr;
}

/* Why the record's numbers are out of the plug-in's range, or none (see
 * the bounds in aggregate.h). */
static const char *w4_numbers_insane(const monitoring_MonitoringMessage &m) {
  if (m.sequence < 0 || m.sequence > W4_RECORD_SEQUENCE_MAX)
    return "sequence out of range";
  if (m.window < 0 || m.timestamp < 0)
    return "negative window or timestamp";
  if (m.window_size < 1 || m.window_size > W4_RECORD_WINDOW_SIZE_MAX)
    return "window_size outside 1 to 86400000 ms";
  if (m.window - m.timestamp > W4_RECORD_AHEAD_MAX_MS)
    return "window more than a day after the record's timestamp";
  if (m.count < 0 || m.aggregate_bytes < 0 || m.latency_sum < 0 ||
      m.min_latency < 0 || m.max_latency < 0)
    return "negative count, bytes or latency";
  if (m.count > W4_RECORD_COUNT_MAX ||
      m.aggregate_bytes > W4_RECORD_BYTES_MAX ||
      m.latency_sum > W4_RECORD_LATENCY_SUM_MAX ||
      m.min_latency > W4_RECORD_LATENCY_MAX ||
      m.max_latency > W4_RECORD_LATENCY_MAX)
    return "count, bytes or latency too large";
  if (m.record_kind == W4_RECORD_DATA && m.count > 0 &&
      m.min_latency > m.max_latency)
    return "min_latency above max_latency";
  return nullptr;
}

bool w4_record_sane(const w4_record &rec, std::string *err) {
  const monitoring_MonitoringMessage &m = rec.msg;
  const char *why = nullptr;
  if (m.client_type != W4_CLIENT_CONSUMER &&
      m.client_type != W4_CLIENT_PRODUCER)
    why = "client_type is neither 0 nor 1";
  else if (m.record_kind != W4_RECORD_DATA &&
           m.record_kind != W4_RECORD_EMPTY_WINDOW)
    why = "unknown record_kind";
  else if ((why = w4_numbers_insane(m)) || (why = w4_names_insane(rec)))
    ; /* why says it */
  else if (m.partition < -1)
    why = "negative partition";
  else if (m.record_kind == W4_RECORD_EMPTY_WINDOW &&
           (m.count != 0 || m.window != 0))
    why = "empty-window record with a count or window";
  else if (!(why = w4_hist_insane(rec)))
    why = w4_offsets_insane(rec);
  if (why)
    *err = why;
  return why == nullptr;
}

bool w4_record_timely(const w4_record &rec, int64_t wall_ms, std::string *err) {
  if (rec.msg.timestamp - wall_ms <= W4_RECORD_AHEAD_MAX_MS)
    return true;
  *err = "timestamp more than a day ahead of the exporter's clock";
  return false;
}

uint64_t w4_series_lines(const w4_aggregate &agg, const w4_series &s) {
  /* messages, bytes, latency sum and count, records, empty records, the
   * window's two latency gauges; missing records with gaps. */
  uint64_t n = agg.gaps ? 9 : 8;
  return s.hist ? n + W4_HIST_LINES : n;
}

/* Whether n more sample lines fit under the limit; takes them if so. */
static bool w4_lines_take(w4_aggregate *agg, uint64_t n) {
  if (agg->max_lines < agg->fixed_lines ||
      agg->lines + n > agg->max_lines - agg->fixed_lines)
    return false;
  agg->lines += n;
  return true;
}

/* Finds or creates the client of a new series, taking its line; null when
 * there is no room. */
static w4_client_series *w4_client_get(w4_aggregate *agg, const w4_record &rec,
                                       const std::string &client_key) {
  std::string ckey = client_key;
  w4_key_add(&ckey, rec.cluster_id);
  auto it = agg->clients.find(ckey);
  if (it != agg->clients.end())
    return it->second.get();
  if (!w4_lines_take(agg, W4_CLIENT_LINES))
    return nullptr;
  std::unique_ptr<w4_client_series> &c = agg->clients[ckey];
  c.reset(new w4_client_series());
  c->client_type = rec.msg.client_type;
  c->client_id = rec.client_id;
  c->group_id = rec.group_id;
  c->cluster_id = rec.cluster_id;
  return c.get();
}

/* Finds or creates the label set of a record; null when a new one has no
 * room under the limit of lines. */
static w4_series *w4_series_get(w4_aggregate *agg, const w4_record &rec,
                                const std::string &client_key) {
  int32_t partition = agg->by_topic ? -1 : rec.msg.partition;
  std::string key = client_key;
  w4_key_add(&key, rec.cluster_id);
  w4_key_add(&key, rec.topic);
  w4_key_add_int(&key, partition);
  auto it = agg->series.find(key);
  if (it != agg->series.end())
    return it->second.get();
  w4_series probe;
  uint64_t need = w4_series_lines(*agg, probe);
  if (!w4_lines_take(agg, need))
    return nullptr;
  w4_client_series *c = w4_client_get(agg, rec, client_key);
  if (!c) {
    agg->lines -= need;
    return nullptr;
  }
  std::unique_ptr<w4_series> &s = agg->series[key];
  s.reset(new w4_series());
  s->client_type = rec.msg.client_type;
  s->client_id = rec.client_id;
  s->group_id = rec.group_id;
  s->cluster_id = rec.cluster_id;
  s->topic = rec.topic;
  s->partition = partition;
  s->client = c;
  c->nseries++;
  return s.get();
}

/* Counts the record's session once per client label set; a client made
 * again after it expired counts the session again. */
static void w4_session_note(w4_aggregate *agg, const w4_record &rec,
                            const std::string &client_key, w4_series *s,
                            int64_t now_ms) {
  std::string skey = client_key;
  w4_key_add(&skey, rec.session_id);
  auto ins = agg->sessions.emplace(skey, now_ms);
  if (!ins.second)
    ins.first->second = now_ms;
  if (ins.second || s->client->sessions == 0)
    s->client->sessions++;
}

/* Moves base over the numbers that are already in pending. */
static void w4_stream_absorb(w4_stream *st) {
  while (!st->pending.empty() && st->pending.begin()->first <= st->base) {
    if (st->pending.begin()->first == st->base)
      st->base++;
    st->pending.erase(st->pending.begin());
  }
}

/* Takes one sequence number into its stream. */
static void w4_stream_add(w4_aggregate *agg, w4_stream *st, int64_t seq,
                          int64_t now_ms) {
  if (st->closed || (st->started && seq < st->base)) {
    agg->late_records++;
    return;
  }
  if (st->started && seq == st->base) {
    st->base++;
    w4_stream_absorb(st);
    return;
  }
  if (!st->pending.emplace(seq, now_ms).second)
    agg->late_records++; /* the same number twice */
}

/* Whether a new stream of rec is taken up where another reader left it. */
static bool w4_aggregate_resumed(const w4_aggregate *agg, const w4_record &rec,
                                 int64_t now_ms) {
  for (const w4_resumed &r : agg->resumed)
    if (now_ms < r.until_ms && r.tps(rec.topic, rec.msg.partition))
      return true;
  return false;
}

/* Tracks the record's sequence number in its client session and
 * topic-partition. */
static void w4_gap_note(w4_aggregate *agg, const w4_record &rec,
                        const std::string &client_key, w4_series *s,
                        int64_t now_ms) {
  std::string tp = client_key;
  w4_key_add(&tp, rec.topic);
  w4_key_add_int(&tp, rec.msg.partition);
  std::string skey = tp;
  w4_key_add(&skey, rec.session_id);

  auto fins = agg->followed.emplace(tp, w4_followed());
  w4_followed *f = &fins.first->second;
  if (fins.second) {
    f->topic = rec.topic;
    f->partition = rec.msg.partition;
  }
  f->last_ms = now_ms;
  if (rec.msg.timestamp < f->first_ts) {
    f->first_ts = rec.msg.timestamp;
    f->first_session = rec.session_id;
  }

  auto ins = agg->streams.emplace(skey, w4_stream());
  w4_stream *st = &ins.first->second;
  if (ins.second) {
    st->opened_ms = now_ms;
    st->session_id = rec.session_id;
    st->resumed = w4_aggregate_resumed(agg, rec, now_ms);
    /* A session that follows an earlier one of its topic-partition starts
     * at 0; otherwise the reading may have begun in the middle of it, and
     * the lowest number seen while its first records come in is the
     * start. */
    if ((f->first_session != rec.session_id && !st->resumed) ||
        rec.msg.sequence == 0) {
      st->started = true;
      st->base = 0;
    }
  }
  st->tp = f;
  st->series = s;
  st->last_ms = now_ms;
  if (rec.msg.final)
    st->final_seen = true;
  w4_stream_add(agg, st, rec.msg.sequence, now_ms);
}

/* Merges a record's histogram into its series, when the series has one or
 * room for its lines. */
static void w4_series_hist_add(w4_aggregate *agg, w4_series *s,
                               const w4_record &rec) {
  if (!s->hist) {
    if (!w4_lines_take(agg, W4_HIST_LINES)) {
      agg->dropped_series++;
      return;
    }
    s->hist.reset(new w4_latency_hist());
  }
  w4_latency_hist_add(s->hist.get(), rec);
  w4_counter_add(&s->hist_sum_ms, rec.msg.latency_sum);
}

bool w4_aggregate_add(w4_aggregate *agg, const w4_record &rec, int64_t now_ms) {
  const monitoring_MonitoringMessage &m = rec.msg;
  std::string client_key = w4_client_key(rec);
  w4_series *s = w4_series_get(agg, rec, client_key);
  agg->decoded_records++;
  if (!s) {
    agg->dropped_series++;
    return false;
  }
  s->last_ms = now_ms;
  s->records++;
  if (m.record_kind == W4_RECORD_EMPTY_WINDOW) {
    s->empty_records++;
  } else {
    w4_counter_add(&s->messages, m.count);
    w4_counter_add(&s->bytes, m.aggregate_bytes);
    w4_counter_add(&s->latency_sum_ms, m.latency_sum);
    w4_counter_add(&s->latency_count, m.count);
    if (!rec.hist_index.empty())
      w4_series_hist_add(agg, s, rec);
    if (m.count > 0 && m.window > s->latest_window) {
      s->latest_window = m.window;
      s->latest_min_ms = m.min_latency;
      s->latest_max_ms = m.max_latency;
    } else if (m.count > 0 && m.window == s->latest_window) {
      if (m.min_latency < s->latest_min_ms)
        s->latest_min_ms = m.min_latency;
      if (m.max_latency > s->latest_max_ms)
        s->latest_max_ms = m.max_latency;
    }
  }
  w4_session_note(agg, rec, client_key, s, now_ms);
  if (agg->gaps)
    w4_gap_note(agg, rec, client_key, s, now_ms);
  return true;
}

/* Counts the numbers between base and the first pending one as missing. */
static void w4_stream_skip_hole(w4_stream *st) {
  int64_t next = st->pending.begin()->first;
  w4_counter_add(&st->series->missing_records, next - st->base);
  st->base = next;
  w4_stream_absorb(st);
}

/* Settles what is due in one stream; force settles everything. */
static void w4_stream_settle(const w4_aggregate *agg, w4_stream *st,
                             int64_t now_ms, bool force) {
  if (!st->started && (force || now_ms - st->opened_ms >= agg->settle_ms)) {
    st->started = true;
    bool follows =
        st->tp && st->tp->first_session != st->session_id && !st->resumed;
    if (st->resumed && !st->pending.empty())
      st->pending.erase(st->pending.begin(), std::prev(st->pending.end()));
    st->base = follows || st->pending.empty() ? 0 : st->pending.begin()->first;
    w4_stream_absorb(st);
  }
  /* A hole is settled once the record just above it has waited settle_ms:
   * records of a stream reach the monitoring topic's partitions within
   * that much of each other. */
  while (st->started && !st->pending.empty() &&
         (force || now_ms - st->pending.begin()->second >= agg->settle_ms))
    w4_stream_skip_hole(st);
  if (st->final_seen && st->pending.empty())
    st->closed = true;
}

/* Removes the series without a record for expire_ms, and a client with
 * its last series, giving their lines back. Their streams went before:
 * a stream's latest record is never later than its series'. */
static void w4_aggregate_expire(w4_aggregate *agg, int64_t now_ms) {
  bool client_gone = false;
  for (auto it = agg->series.begin(); it != agg->series.end();) {
    w4_series *s = it->second.get();
    if (now_ms - s->last_ms < agg->expire_ms) {
      ++it;
      continue;
    }
    agg->lines -= w4_series_lines(*agg, *s);
    if (--s->client->nseries == 0) {
      agg->lines -= W4_CLIENT_LINES;
      client_gone = true;
    }
    it = agg->series.erase(it);
  }
  for (auto it = agg->clients.begin(); client_gone && it != agg->clients.end();)
    if (it->second->nseries == 0)
      it = agg->clients.erase(it);
    else
      ++it;
}

void w4_aggregate_tick(w4_aggregate *agg, int64_t now_ms) {
  /* Tracking state goes no later than the series it counts into. */
  int64_t idle_ms = std::min(agg->max_age_ms, agg->expire_ms);
  for (auto it = agg->streams.begin(); it != agg->streams.end();) {
    w4_stream *st = &it->second;
    bool idle = now_ms - st->last_ms >= idle_ms;
    w4_stream_settle(agg, st, now_ms, idle);
    if (idle)
      it = agg->streams.erase(it);
    else
      ++it;
  }
  /* Streams point at their topic-partition: it outlives them, since a
   * stream's last arrival is never later than its topic-partition's. */
  for (auto it = agg->followed.begin(); it != agg->followed.end();)
    if (now_ms - it->second.last_ms >= idle_ms)
      it = agg->followed.erase(it);
    else
      ++it;
  for (auto it = agg->sessions.begin(); it != agg->sessions.end();)
    if (now_ms - it->second >= idle_ms)
      it = agg->sessions.erase(it);
    else
      ++it;
  w4_aggregate_expire(agg, now_ms);
}

void w4_aggregate_finish(w4_aggregate *agg) {
  for (auto &kv : agg->streams)
    w4_stream_settle(agg, &kv.second, 0, true);
}

uint64_t w4_aggregate_missing(const w4_aggregate &agg) {
  uint64_t n = 0;
  for (const auto &kv : agg.series)
    n = n > UINT64_MAX - kv.second->missing_records
            ? UINT64_MAX
            : n + kv.second->missing_records;
  return n;
}

/* Whether the audit holds the key: counters, gauges, or shown saved
 * counters. */
static bool w4_audit_holds(const w4_audit &a, const w4_audit_key &k) {
  return a.totals.count(k) || a.lag.count(k) ||
         (a.show_saved && a.saved_totals.count(k));
}

/* Admits the keys of one map of the audit while there is room. */
template <typename T>
static void w4_audit_admit_map(w4_aggregate *agg,
                               const std::map<w4_audit_key, T> &m) {
  for (const auto &kv : m)
    if (!agg->audit_shown.count(kv.first) && w4_lines_take(agg, W4_AUDIT_LINES))
      agg->audit_shown.insert(kv.first);
}

void w4_aggregate_audit_admit(w4_aggregate *agg, const w4_audit &audit) {
  w4_aggregate_audit_admit_all(agg, {&audit});
}

void w4_aggregate_audit_admit_all(w4_aggregate *agg,
                                  const std::vector<const w4_audit *> &audits) {
  for (auto it = agg->audit_shown.begin(); it != agg->audit_shown.end();)
    if (std::any_of(audits.begin(), audits.end(), [&it](const w4_audit *a) {
          return w4_audit_holds(*a, *it);
        })) {
      ++it;
    } else {
      agg->lines -= W4_AUDIT_LINES;
      it = agg->audit_shown.erase(it);
    }
  for (const w4_audit *a : audits) {
    if (a->show_saved)
      w4_audit_admit_map(agg, a->saved_totals);
    w4_audit_admit_map(agg, a->totals);
    w4_audit_admit_map(agg, a->lag);
  }
}

void w4_aggregate_forget(
    w4_aggregate *agg,
    const std::function<bool(const std::string &, int32_t)> &gone) {
  for (auto it = agg->streams.begin(); it != agg->streams.end();)
    if (it->second.tp && gone(it->second.tp->topic, it->second.tp->partition))
      it = agg->streams.erase(it);
    else
      ++it;
  for (auto it = agg->followed.begin(); it != agg->followed.end();)
    if (gone(it->second.topic, it->second.partition))
      it = agg->followed.erase(it);
    else
      ++it;
}

void w4_aggregate_resume(
    w4_aggregate *agg, int64_t now_ms,
    const std::function<bool(const std::string &, int32_t)> &tps) {
  agg->resumed.erase(std::remove_if(agg->resumed.begin(), agg->resumed.end(),
                                    [now_ms](const w4_resumed &r) {
                                      return r.until_ms <= now_ms;
                                    }),
                     agg->resumed.end());
  agg->resumed.push_back({tps, now_ms + agg->settle_ms});
}

bool w4_parse_duration(const char *text, int64_t *ms) {
  static const struct {
    const char *unit;
    int64_t ms;
  } units[] = {{"y", 31536000000}, {"w", 604800000}, {"d", 86400000},
               {"h", 3600000},     {"m", 60000},     {"s", 1000},
               {"ms", 1}};
  const char *p = text;
  int64_t total = 0;
  size_t next = 0; /* units go from the largest down, each once */
  bool plain = true;
  while (*p) {
    if (*p < '0' || *p > '9')
      return false;
    int64_t n = 0;
    for (; *p >= '0' && *p <= '9'; p++)
      if ((n = n * 10 + (*p - '0')) > units[0].ms)
        return false;
    if (!*p && plain) { /* a bare number: milliseconds */
      total = n;
      break;
    }
    plain = false;
    size_t u = next;
    /* "m" must not take the "m" of "ms". */
    while (u < sizeof(units) / sizeof(units[0]) &&
           !(strncmp(p, units[u].unit, strlen(units[u].unit)) == 0 &&
             !(units[u].unit[0] == 'm' && !units[u].unit[1] && p[1] == 's')))
      u++;
    if (u == sizeof(units) / sizeof(units[0]) ||
        n > (units[0].ms - total) / units[u].ms)
      return false;
    total += n * units[u].ms;
    p += strlen(units[u].unit);
    next = u + 1;
  }
  if (total < 1 || total > units[0].ms)
    return false;
  *ms = total;
  return true;
}

w4_latency_hist w4_aggregate_group_hist(const w4_aggregate &agg,
                                        const std::string &group_id,
                                        const std::string *topic) {
  w4_latency_hist h;
  for (const auto &kv : agg.series) {
    const w4_series &s = *kv.second;
    if (s.hist && s.client_type == W4_CLIENT_CONSUMER &&
        s.group_id == group_id && (!topic || s.topic == *topic))
      w4_latency_hist_merge(&h, *s.hist);
  }
  return h;
}

double w4_aggregate_group_p99(const w4_aggregate &agg,
                              const std::string &group_id,
                              const std::string *topic) {
  return w4_latency_hist_quantile(w4_aggregate_group_hist(agg, group_id, topic),
                                  0.99);
}
