/* The delivery audit of the monitoring topic. */
#include "exporter/audit.h"

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <set>

/* Adds v (not negative) to *sum, saturating instead of overflowing. */
static void w4_audit_sum_add(int64_t *sum, int64_t v) {
  *sum = *sum > INT64_MAX - v ? INT64_MAX : *sum + v;
}

/* a + b for values that are not negative, saturating. */
static int64_t w4_audit_plus(int64_t a, int64_t b) {
  return a > INT64_MAX - b ? INT64_MAX : a + b;
}

/* Adds v to a counter, saturating: a counter never goes down. */
static void w4_total_add(uint64_t *c, uint64_t v) {
  *c = *c > UINT64_MAX - v ? UINT64_MAX : *c + v;
}

/* Appends a field and a separator that no name holds. */
static void w4_audit_key_add(std::string *key, const std::string &s) {
  key->append(s);
  key->push_back('\0');
}

/* The key of a stream: cluster id, topic and partition. Made in a buffer
 * kept for the next record, since a key of a long name would otherwise be
 * an allocation per record. */
static const std::string &w4_audit_stream_key(const std::string &cluster,
                                              const std::string &topic,
                                              int32_t partition) {
  static thread_local std::string key;
  char num[16];
  int n = snprintf(num, sizeof(num), "%" PRId32, partition);
  key.clear();
  w4_audit_key_add(&key, cluster);
  w4_audit_key_add(&key, topic);
  key.append(num, static_cast<size_t>(n));
  return key;
}

/* The key of a client session (the same id may come from two clients),
 * made in a buffer kept for the next record like the stream's. */
static const std::string &w4_audit_session_key(const w4_record &rec) {
  static thread_local std::string key;
  key.clear();
  w4_audit_key_add(&key, rec.client_id);
  key.append(rec.session_id);
  return key;
}

/* Adds a window's buckets and counts (sane: indices in range) to *into. */
static void w4_audit_hist_add(w4_latency_hist *into,
                              const w4_audit_buckets &buckets) {
  for (const auto &b : buckets) {
    into->counts[b.first] = into->counts[b.first] > UINT64_MAX - b.second
                                ? UINT64_MAX
                                : into->counts[b.first] + b.second;
    w4_total_add(&into->total, b.second);
  }
}

/* The p99 of a window's buckets and counts, ms. */
static double w4_audit_window_p99(const w4_audit_buckets &buckets) {
  w4_latency_hist h;
  w4_audit_hist_add(&h, buckets);
  return w4_latency_hist_quantile(h, 0.99);
}

/* The entry of a stream's group in a map by cluster, topic and group,
 * added when missing. The key is made in a buffer kept for the next call:
 * a fresh one would copy its three names every time. */
template <typename T>
static T *w4_audit_keyed(std::map<w4_audit_key, T> *m, const w4_audit_stream &s,
                         const std::string &group) {
  static thread_local w4_audit_key key;
  std::get<0>(key).assign(s.cluster_id);
  std::get<1>(key).assign(s.topic);
  std::get<2>(key).assign(group);
  auto it = m->lower_bound(key);
  if (it == m->end() || it->first != key)
    it = m->emplace_hint(it, key, T());
  return &it->second;
}

/* The counters of a stream's group. */
static w4_audit_totals *w4_audit_totals_of(w4_audit *a,
                                           const w4_audit_stream &s,
                                           const std::string &group) {
  return w4_audit_keyed(&a->totals, s, group);
}

/* Widens one side's offsets of a window by a record's. */
static void w4_audit_offsets_add(w4_audit_offsets *o, const w4_audit_entry &e) {
  if (!e.has_offsets) {
    o->unknown = true;
    return;
  }
  o->min = std::min(o->min, e.min_offset);
  o->max = std::max(o->max, e.max_offset);
}

/* The offsets within which a group's missing messages of a window lie: the
 * producers' range, narrowed by what the group consumed at either end when
 * it read every offset of its own range (no gap of its own inside). Offsets
 * of a partition need not follow each other (transactions' control
 * records), so a group's range with fewer messages than offsets narrows
 * nothing. */
static void
w4_audit_missing_ranges(const w4_audit_window &w, const w4_audit_consumed &c,
                        std::vector<std::pair<int64_t, int64_t>> *out) {
  const w4_audit_offsets &p = w.produced_offsets;
  const w4_audit_offsets &q = c.offsets;
  if (!w4_audit_offsets_known(p))
    return;
  bool whole = c.messages > 0 && w4_audit_offsets_known(q) &&
               q.max - q.min == c.messages - 1 && q.min >= p.min &&
               q.max <= p.max;
  if (whole && q.min > p.min)
    out->emplace_back(p.min, q.min - 1);
  if (whole && q.max < p.max)
    out->emplace_back(q.max + 1, p.max);
  if (out->empty())
    out->emplace_back(p.min, p.max);
}

/* Appends the row of a judgement that counted missing or duplicate
 * messages, with the offsets where they lie when the records told them:
 * the duplicates' are those of the record that brought them (e), or the
 * group's in the window. */
static void w4_audit_row_add(std::vector<w4_audit_row> *rows,
                             const w4_audit_stream &s, const w4_audit_window &w,
                             const std::string &group,
                             const w4_audit_consumed &c, uint64_t missing,
                             uint64_t duplicate, const w4_audit_entry *e) {
  if (!rows || (missing == 0 && duplicate == 0))
    return;
  rows->push_back(
      w4_audit_row{s.cluster_id,
                   s.topic,
                   s.partition,
                   w.window,
                   w.window_size,
                   group,
                   w.produced,
                   c.messages,
                   missing,
                   duplicate,
                   {},
                   c.hist.empty() ? -1 : w4_audit_window_p99(c.hist)});
  std::vector<std::pair<int64_t, int64_t>> *ranges = &rows->back().ranges;
  if (missing > 0)
    w4_audit_missing_ranges(w, c, ranges);
  else if (e && e->has_offsets)
    ranges->emplace_back(e->min_offset, e->max_offset);
  else if (w4_audit_offsets_known(c.offsets))
    ranges->emplace_back(c.offsets.min, c.offsets.max);
}

/* Counts into the group's totals *t what a judged window's new produced or
 * consumed messages change: the shortfall or excess beyond what its
 * judgement counted so far. A counter never goes down, so a shortfall made
 * good later stays counted. */
static void w4_audit_recount(w4_audit_totals *t, const w4_audit_stream &s,
                             const w4_audit_window &w, const std::string &group,
                             w4_audit_consumed *c, const w4_audit_entry *e,
                             std::vector<w4_audit_row> *rows) {
  int64_t missing = std::max<int64_t>(w.produced - c->messages, 0);
  int64_t duplicate = std::max<int64_t>(c->messages - w.produced, 0);
  uint64_t more_missing = 0, more_duplicate = 0;
  if (missing > c->counted_missing) {
    more_missing = static_cast<uint64_t>(missing - c->counted_missing);
    c->counted_missing = missing;
  }
  if (duplicate > c->counted_duplicate) {
    more_duplicate = static_cast<uint64_t>(duplicate - c->counted_duplicate);
    c->counted_duplicate = duplicate;
  }
  w4_total_add(&t->missing, more_missing);
  w4_total_add(&t->duplicate, more_duplicate);
  w4_audit_row_add(rows, s, w, group, *c, more_missing, more_duplicate, e);
}

/* A group consumed messages of a window that was forgotten after it had
 * been judged for it: a replay, counted as duplicate. */
static void w4_audit_replay(w4_audit *a, const w4_audit_stream &s,
                            const w4_audit_entry &e,
                            std::vector<w4_audit_row> *rows) {
  w4_total_add(&w4_audit_totals_of(a, s, e.group_id)->duplicate,
               static_cast<uint64_t>(e.count));
  if (!rows)
    return;
  rows->push_back(w4_audit_row{s.cluster_id,
                               s.topic,
                               s.partition,
                               e.window,
                               e.window_size,
                               e.group_id,
                               0,
                               e.count,
                               0,
                               static_cast<uint64_t>(e.count),
                               {},
                               -1});
  if (e.has_offsets)
    rows->back().ranges.emplace_back(e.min_offset, e.max_offset);
}

/* Takes a consumer's record of a window that the stream has forgotten. */
static void w4_audit_add_forgotten(w4_audit *a, w4_audit_stream *s,
                                   const w4_audit_entry &e,
                                   std::vector<w4_audit_row> *rows) {
  auto m = s->members.find(e.group_id);
  if (e.producer || m == s->members.end() || !m->second.start_fixed ||
      e.window < m->second.start || e.window <= m->second.floor) {
    w4_total_add(&a->late_records, 1);
    return;
  }
  m->second.last_ms = e.now_ms;
  w4_audit_replay(a, *s, e, rows);
}

/* Notes a group's consumption in a window: its member, start and
 * progress. False when the window is not audited for the group. */
static bool w4_audit_member_note(w4_audit_stream *s, const w4_audit_entry &e) {
  w4_audit_member *m = &s->members[e.group_id];
  m->last_ms = e.now_ms;
  if (m->stopped) { /* it resumes: audited again after what it gave up */
    m->stopped = false;
    m->start = -1;
    m->start_fixed = false;
  }
  if (e.window <= m->floor)
    return false;
  if (m->start < 0 || (!m->start_fixed && e.window < m->start))
    m->start = m->next = e.window;
  if (m->start_fixed && e.window < m->start)
    return false;
  if (e.has_offsets)
    m->offset = std::max(m->offset, e.max_offset);
  if (e.window > m->progress) {
    m->progress = e.window;
    m->recent.emplace_back(e.now_ms, e.window);
  }
  return true;
}

/* Takes one record of a known cluster into its stream. */
static void w4_audit_add_entry(w4_audit *a, const std::string &cluster,
                               const w4_audit_entry &e,
                               std::vector<w4_audit_row> *rows) {
  if (e.window < a->from_window)
    return;
  w4_audit_stream *s =
      &a->streams[w4_audit_stream_key(cluster, e.topic, e.partition)];
  if (s->topic.empty()) {
    s->cluster_id = cluster;
    s->topic = e.topic;
    s->partition = e.partition;
  }
  s->last_ms = e.now_ms;
  if (e.window <= s->released) {
    w4_audit_add_forgotten(a, s, e, rows);
    return;
  }
  if (!e.producer && !w4_audit_member_note(s, e))
    return;
  auto ins = s->windows.try_emplace(std::make_pair(e.window, e.window_size));
  w4_audit_window *w = &ins.first->second;
  if (ins.second) {
    w->window = e.window;
    w->window_size = e.window_size;
    w->first_ms = e.now_ms;
    /* A window that comes late, below what a group has judged so far. */
    for (auto &kv : s->members)
      kv.second.next = std::min(kv.second.next, e.window);
  }
  w->last_ms = e.now_ms;
  if (e.producer) {
    s->produced = true;
    s->newest = std::max(s->newest, e.window);
    if (e.has_offsets)
      s->acked = std::max(s->acked, e.max_offset);
    w4_audit_sum_add(&w->produced, e.count);
    w4_audit_offsets_add(&w->produced_offsets, e);
    for (auto &kv : w->consumed)
      if (kv.second.audited) {
        w4_audit_totals *t = w4_audit_totals_of(a, *s, kv.first);
        w4_total_add(&t->messages, static_cast<uint64_t>(e.count));
        w4_audit_recount(t, *s, *w, kv.first, &kv.second, nullptr, rows);
      }
    return;
  }
  w4_audit_consumed *c = &w->consumed[e.group_id];
  w4_audit_sum_add(&c->messages, e.count);
  w4_audit_offsets_add(&c->offsets, e);
  if (c->audited)
    w4_audit_recount(w4_audit_totals_of(a, *s, e.group_id), *s, *w, e.group_id,
                     c, &e, rows);
  else if (!c->judged)
    c->hist.insert(c->hist.end(), e.hist.begin(), e.hist.end());
}

/* What the audit takes of a record that arrived at now_ms. */
static w4_audit_entry w4_audit_entry_of(const w4_record &rec, int64_t now_ms) {
  w4_audit_entry e;
  e.producer = rec.msg.client_type == W4_CLIENT_PRODUCER;
  e.group_id = rec.group_id;
  e.topic = rec.topic;
  e.partition = rec.msg.partition;
  e.window = rec.msg.window;
  e.window_size = rec.msg.window_size;
  e.count = rec.msg.count;
  e.has_offsets = rec.has_min_offset && rec.has_max_offset;
  e.min_offset = rec.min_offset;
  e.max_offset = rec.max_offset;
  for (size_t i = 0; i < rec.hist_index.size(); i++)
    e.hist.emplace_back(rec.hist_index[i], rec.hist_count[i]);
  e.now_ms = now_ms;
  return e;
}

void w4_audit_add(w4_audit *a, const w4_record &rec, int64_t now_ms,
                  std::vector<w4_audit_row> *rows) {
  const std::string &skey = w4_audit_session_key(rec);
  w4_audit_session *sess = &a->sessions[skey];
  sess->last_ms = now_ms;
  if (!rec.cluster_id.empty() && sess->cluster_id.empty()) {
    /* The session names its cluster: what waited for it goes there. */
    sess->cluster_id = rec.cluster_id;
    auto p = a->parked.find(skey);
    if (p != a->parked.end()) {
      std::vector<w4_audit_entry> waiting;
      waiting.swap(p->second);
      a->parked.erase(p);
      for (const w4_audit_entry &e : waiting)
        w4_audit_add_entry(a, rec.cluster_id, e, rows);
    }
  }
  const monitoring_MonitoringMessage &m = rec.msg;
  if (m.record_kind != W4_RECORD_DATA || m.count <= 0)
    return;
  const std::string &cluster =
      rec.cluster_id.empty() ? sess->cluster_id : rec.cluster_id;
  if (cluster.empty())
    a->parked[skey].push_back(w4_audit_entry_of(rec, now_ms));
  else
    w4_audit_add_entry(a, cluster, w4_audit_entry_of(rec, now_ms), rows);
}

/* The cluster of a parked record whose session never named one: the only
 * cluster with a topic of that name, else none. */
static std::string w4_audit_guess_cluster(const w4_audit &a,
                                          const std::string &topic) {
  std::string found;
  bool one = false;
  for (const auto &kv : a.streams) {
    if (kv.second.topic != topic || kv.second.cluster_id.empty())
      continue;
    if (one && kv.second.cluster_id != found)
      return std::string();
    found = kv.second.cluster_id;
    one = true;
  }
  return found;
}

/* Takes the parked records that waited settle_ms for their cluster (all of
 * them when force) in the order they arrived, ties by session: the order
 * of the hash map would differ after a restart, and the first record of a
 * window sets when it opened. */
static void w4_audit_unpark(w4_audit *a, int64_t now_ms, bool force,
                            std::vector<w4_audit_row> *rows) {
  std::vector<std::string> due;
  for (const auto &kv : a->parked)
    if (force || now_ms - kv.second.front().now_ms >= a->settle_ms)
      due.push_back(kv.first);
  std::sort(due.begin(), due.end());
  std::vector<w4_audit_entry> waiting;
  for (const std::string &key : due) {
    auto it = a->parked.find(key);
    waiting.insert(waiting.end(), std::make_move_iterator(it->second.begin()),
                   std::make_move_iterator(it->second.end()));
    a->parked.erase(it);
  }
  std::stable_sort(waiting.begin(), waiting.end(),
                   [](const w4_audit_entry &x, const w4_audit_entry &y) {
                     return x.now_ms < y.now_ms;
                   });
  for (const w4_audit_entry &e : waiting)
    w4_audit_add_entry(a, w4_audit_guess_cluster(*a, e.topic), e, rows);
}

/* Whether a window is audited for a member: within its audited range. */
static bool w4_audit_applies(const w4_audit_member &m,
                             const w4_audit_window &w) {
  return !m.stopped && m.start >= 0 && w.window >= m.start &&
         w.window > m.floor;
}

/* Judges one window for one group: counted in its totals, or left out when
 * it is the group's first window and the group did not consume all of it
 * (it started in its middle). */
static void w4_audit_judge(w4_audit *a, const w4_audit_stream &s,
                           w4_audit_window *w, const std::string &group,
                           w4_audit_consumed *c, w4_audit_member *m,
                           std::vector<w4_audit_row> *rows) {
  c->judged = true;
  if (!m->start_fixed && w->window == m->start) {
    m->start_fixed = true;
    if (c->messages < w->produced) {
      m->start = m->next = w4_audit_plus(w->window, 1);
      return;
    }
  }
  c->audited = true;
  w4_audit_totals *t = w4_audit_totals_of(a, s, group);
  w4_total_add(&t->messages, static_cast<uint64_t>(w->produced));
  w4_total_add(&t->windows, 1);
  w4_audit_hist_add(&t->hist, c->hist);
  w4_audit_recount(t, s, *w, group, c, nullptr, rows);
  c->hist.clear();
  c->hist.shrink_to_fit();
}

/* Whether a window can be judged for a group now. */
static bool w4_audit_due(const w4_audit &a, const w4_audit_window &w,
                         const w4_audit_consumed *c, const w4_audit_member &m,
                         int64_t now_ms, bool finish) {
  if (!finish && now_ms - w.last_ms < a.settle_ms)
    return false; /* records for it may still come */
  int64_t consumed = c ? c->messages : 0;
  if (consumed >= w.produced)
    return true;
  /* Exact: the group has consumed beyond the window's highest acknowledged
   * offset, so it has read past every message of it. */
  if (w4_audit_offsets_known(w.produced_offsets) &&
      m.offset > w.produced_offsets.max)
    return true;
  int64_t passed = finish ? m.progress : m.passed;
  return passed >=
         w4_audit_plus(w4_audit_plus(w.window, w.window_size), a.settle_ms);
}

/* Moves a member's settled progress on: records that arrived settle_ms ago
 * have been joined by anything of theirs that was still on its way. */
static void w4_audit_member_pass(w4_audit_member *m, int64_t now_ms,
                                 int64_t settle_ms, bool finish) {
  size_t n = 0;
  while (n < m->recent.size() &&
         (finish || now_ms - m->recent[n].first >= settle_ms)) {
    m->passed = std::max(m->passed, m->recent[n].second);
    n++;
  }
  m->recent.erase(m->recent.begin(),
                  m->recent.begin() + static_cast<std::ptrdiff_t>(n));
}

/* A group idle on the partition for the horizon stops being audited there:
 * what it had pending is counted as unconsumed, and the windows so far are
 * given up for it. */
static void w4_audit_member_stop(w4_audit *a, w4_audit_stream *s,
                                 const std::string &group, w4_audit_member *m) {
  uint64_t unconsumed = 0;
  for (auto &kv : s->windows) {
    w4_audit_window &w = kv.second;
    if (!w4_audit_applies(*m, w))
      continue;
    w4_audit_consumed *c = &w.consumed[group];
    if (c->judged)
      continue;
    c->judged = true;
    unconsumed +=
        static_cast<uint64_t>(std::max<int64_t>(w.produced - c->messages, 0));
  }
  w4_total_add(&w4_audit_totals_of(a, *s, group)->unconsumed, unconsumed);
  m->floor = std::max(
      m->floor, s->windows.empty()
                    ? s->newest
                    : std::max(s->newest, s->windows.rbegin()->first.first));
  m->stopped = true;
  m->recent.clear();
}

/* Whether every group audited on a window has judged it. */
static bool w4_audit_window_done(const w4_audit_stream &s,
                                 const w4_audit_window &w) {
  for (const auto &kv : s.members) {
    if (!w4_audit_applies(kv.second, w))
      continue;
    auto c = w.consumed.find(kv.first);
    if (c == w.consumed.end() || !c->second.judged)
      return false;
  }
  return true;
}

/* Forgets the oldest windows once their first record is max_age_ms old:
 * until then a group that starts late, or a replay, still finds them. One
 * that some group has not judged by then counts its pending messages as
 * unconsumed. A stream that no producer's record has come for keeps its
 * windows only while records for them may come. Windows go in order, so
 * that a record for a window at or below `released` is known to be for a
 * forgotten one. */
static void w4_audit_release(w4_audit *a, w4_audit_stream *s, int64_t now_ms) {
  while (!s->windows.empty()) {
    auto it = s->windows.begin();
    w4_audit_window &w = it->second;
    bool old = now_ms - w.first_ms >= a->max_age_ms;
    bool unaudited = !s->produced && now_ms - w.last_ms >= 2 * a->settle_ms;
    if (!old && !unaudited)
      return;
    if (s->produced && !w4_audit_window_done(*s, w)) {
      w4_total_add(&a->dropped_windows, 1);
      for (auto &kv : s->members) {
        if (!w4_audit_applies(kv.second, w))
          continue;
        auto c = w.consumed.find(kv.first);
        if (c != w.consumed.end() && c->second.judged)
          continue;
        int64_t got = c == w.consumed.end() ? 0 : c->second.messages;
        w4_total_add(
            &w4_audit_totals_of(a, *s, kv.first)->unconsumed,
            static_cast<uint64_t>(std::max<int64_t>(w.produced - got, 0)));
      }
    }
    s->released = std::max(s->released, w.window);
    s->windows.erase(it);
  }
}

/* The first window that a member may not have judged yet: below it every
 * window is judged for it, or not audited for it. */
static w4_audit_windows::iterator
w4_audit_member_first(w4_audit_stream *s, const w4_audit_member &m) {
  int64_t from = std::max(std::max(m.start, m.next), w4_audit_plus(m.floor, 1));
  return s->windows.lower_bound(std::make_pair(from, INT64_MIN));
}

/* Judges a member's windows that are due, from its first unjudged one, and
 * moves that on past the windows judged in a row. */
static void w4_audit_member_judge(w4_audit *a, w4_audit_stream *s,
                                  const std::string &group, w4_audit_member *m,
                                  int64_t now_ms, bool finish,
                                  std::vector<w4_audit_row> *rows) {
  bool in_row = true;
  for (auto it = w4_audit_member_first(s, *m); it != s->windows.end(); ++it) {
    w4_audit_window *w = &it->second;
    if (!w4_audit_applies(*m, *w))
      continue;
    auto c = w->consumed.find(group);
    w4_audit_consumed *cp = c == w->consumed.end() ? nullptr : &c->second;
    if (!(cp && cp->judged) && w4_audit_due(*a, *w, cp, *m, now_ms, finish)) {
      cp = cp ? cp : &w->consumed[group];
      w4_audit_judge(a, *s, w, group, cp, m, rows);
    }
    in_row = in_row && cp && cp->judged;
    if (in_row)
      m->next = w->window; /* windows of other lengths may share it */
  }
}

/* Judges what is due in one stream. A stream that no producer's record has
 * come for is not audited: its producers do not run the plug-in. */
static void w4_audit_stream_judge(w4_audit *a, w4_audit_stream *s,
                                  int64_t now_ms, bool finish,
                                  std::vector<w4_audit_row> *rows) {
  for (auto &mkv : s->members) {
    w4_audit_member *m = &mkv.second;
    w4_audit_member_pass(m, now_ms, a->settle_ms, finish);
    if (!finish && !m->stopped && now_ms - m->last_ms >= a->horizon_ms)
      w4_audit_member_stop(a, s, mkv.first, m);
  }
  if (!s->produced)
    return;
  for (auto &mkv : s->members)
    if (!mkv.second.stopped && mkv.second.start >= 0)
      w4_audit_member_judge(a, s, mkv.first, &mkv.second, now_ms, finish, rows);
}

/* Adds a stream's pending messages, lag and open windows to the gauges. */
static void w4_audit_stream_lag(w4_audit *a, w4_audit_stream *sp) {
  const w4_audit_stream &s = *sp;
  if (!s.produced)
    return;
  std::set<std::pair<int64_t, int64_t>> open;
  for (const auto &mkv : s.members) {
    const w4_audit_member &m = mkv.second;
    if (m.stopped || m.start < 0)
      continue;
    w4_audit_lag *l = w4_audit_keyed(&a->lag, s, mkv.first);
    for (auto it = w4_audit_member_first(sp, m); it != sp->windows.end();
         ++it) {
      const w4_audit_window &w = it->second;
      if (!w4_audit_applies(m, w))
        continue;
      auto c = w.consumed.find(mkv.first);
      if (c != w.consumed.end() && c->second.judged)
        continue;
      int64_t got = c == w.consumed.end() ? 0 : c->second.messages;
      w4_total_add(&l->pending, static_cast<uint64_t>(
                                    std::max<int64_t>(w.produced - got, 0)));
      l->open++;
      open.insert(it->first);
    }
    l->lag_ms =
        std::max(l->lag_ms, std::max<int64_t>(s.newest - m.progress, 0));
    if (s.acked >= 0 && m.offset >= 0)
      l->lag_messages = std::max<int64_t>(l->lag_messages, 0) +
                        std::max<int64_t>(s.acked - m.offset, 0);
  }
  a->open_windows += open.size();
}

/* Forgets the stopped groups and the streams that nothing refers to any
 * more after the horizon. */
static bool w4_audit_stream_idle(const w4_audit &a, w4_audit_stream *s,
                                 int64_t now_ms) {
  for (auto it = s->members.begin(); it != s->members.end();)
    if (it->second.stopped && now_ms - it->second.last_ms >= 2 * a.horizon_ms)
      it = s->members.erase(it);
    else
      ++it;
  return s->windows.empty() && s->members.empty() &&
         now_ms - s->last_ms >= a.horizon_ms;
}

/* The sorted rows appended since from, for a table that reads in order. */
static void w4_audit_rows_sort(std::vector<w4_audit_row> *rows, size_t from) {
  if (!rows)
    return;
  std::sort(rows->begin() + static_cast<std::ptrdiff_t>(from), rows->end(),
            [](const w4_audit_row &x, const w4_audit_row &y) {
              return std::tie(x.window, x.cluster_id, x.topic, x.partition,
                              x.group_id) < std::tie(y.window, y.cluster_id,
                                                     y.topic, y.partition,
                                                     y.group_id);
            });
}

/* One pass over every stream: judgements, stops, forgetting and gauges. */
static void w4_audit_pass(w4_audit *a, int64_t now_ms, bool finish,
                          std::vector<w4_audit_row> *rows) {
  size_t from = rows ? rows->size() : 0;
  w4_audit_unpark(a, now_ms, finish, rows);
  a->lag.clear();
  a->open_windows = 0;
  for (auto it = a->streams.begin(); it != a->streams.end();) {
    w4_audit_stream *s = &it->second;
    w4_audit_stream_judge(a, s, now_ms, finish, rows);
    if (!finish)
      w4_audit_release(a, s, now_ms);
    w4_audit_stream_lag(a, s);
    if (!finish && w4_audit_stream_idle(*a, s, now_ms))
      it = a->streams.erase(it);
    else
      ++it;
  }
  for (auto it = a->sessions.begin(); it != a->sessions.end();)
    if (!finish && now_ms - it->second.last_ms >= a->horizon_ms)
      it = a->sessions.erase(it);
    else
      ++it;
  w4_audit_rows_sort(rows, from);
}

void w4_audit_tick(w4_audit *a, int64_t now_ms,
                   std::vector<w4_audit_row> *rows) {
  w4_audit_pass(a, now_ms, false, rows);
}

void w4_audit_finish(w4_audit *a, std::vector<w4_audit_row> *rows) {
  w4_audit_pass(a, 0, true, rows);
}

w4_audit_totals w4_audit_sum(const w4_audit &a) {
  w4_audit_totals sum;
  for (const auto &kv : a.totals) {
    w4_total_add(&sum.messages, kv.second.messages);
    w4_total_add(&sum.missing, kv.second.missing);
    w4_total_add(&sum.duplicate, kv.second.duplicate);
    w4_total_add(&sum.unconsumed, kv.second.unconsumed);
    w4_total_add(&sum.windows, kv.second.windows);
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

/* Appends s for a POSIX shell: as it is when it holds only characters that
 * need no quoting (every valid topic name does), else in single quotes. */
static void w4_audit_shell_word(std::string *out, const std::string &s) {
  bool plain =
      !s.empty() &&
      s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOP"
                          "QRSTUVWXYZ0123456789._-") == std::string::npos;
  if (plain) {
    out->append(s);
    return;
  }
  out->push_back('\'');
  for (char c : s)
    out->append(c == '\'' ? "'\\''" : std::string(1, c));
  out->push_back('\'');
}

std::string w4_audit_read_again(const w4_audit_row &row,
                                const std::pair<int64_t, int64_t> &range) {
  std::string out = "kcat -C -b BROKERS -t ";
  w4_audit_shell_word(&out, row.topic);
  char buf[96];
  snprintf(buf, sizeof(buf), " -p %" PRId32 " -o %" PRId64 " -c %" PRId64,
           row.partition, range.first,
           w4_audit_plus(range.second - range.first, 1));
  out.append(buf);
  return out;
}

/* The lines under a row that say where its messages lie, and how to read
 * them again. */
static std::string w4_audit_table_ranges(const w4_audit_row &r) {
  std::string out;
  for (const auto &range : r.ranges) {
    char buf[96];
    snprintf(buf, sizeof(buf), "    %s at offsets %" PRId64 "-%" PRId64 ": ",
             r.missing > 0 ? "missing" : "duplicate", range.first,
             range.second);
    out.append(buf);
    out.append(w4_audit_read_again(r, range));
    out.push_back('\n');
  }
  return out;
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
    out += w4_audit_table_line(r) + w4_audit_table_ranges(r);
  fwrite(out.data(), 1, out.size(), stdout);
  fflush(stdout);
}

void w4_audit_expire(w4_audit *a, int64_t now_ms, int64_t expire_ms) {
  static thread_local w4_audit_key key;
  for (const auto &skv : a->streams) {
    const w4_audit_stream &s = skv.second;
    std::get<0>(key).assign(s.cluster_id);
    std::get<1>(key).assign(s.topic);
    for (const auto &mkv : s.members) {
      const w4_audit_member &m = mkv.second;
      std::get<2>(key).assign(mkv.first);
      auto it = a->last_seen.find(key);
      if (it == a->last_seen.end())
        it = a->last_seen.emplace(key, m.last_ms).first;
      it->second = std::max(it->second, m.stopped ? m.last_ms : now_ms);
    }
  }
  for (const auto &kv : a->totals)
    a->last_seen.emplace(kv.first, now_ms);
  for (auto it = a->last_seen.begin(); it != a->last_seen.end();) {
    if (now_ms - it->second < expire_ms) {
      ++it;
      continue;
    }
    a->totals.erase(it->first);
    a->saved_totals.erase(it->first);
    a->lag.erase(it->first);
    it = a->last_seen.erase(it);
  }
}
