/* The page's memory of the last hour, and of the latest records. */
#include "exporter/history.h"

#include <algorithm>
#include <climits>

void w4_history_init(w4_history *h, int64_t step_ms) {
  h->step_ms = std::max<int64_t>(step_ms, 1000);
}

std::string w4_history_client_key(uint32_t client_type,
                                  const std::string &client_id,
                                  const std::string &group_id,
                                  const std::string &cluster_id) {
  std::string key(1, client_type == W4_CLIENT_PRODUCER ? 'p' : 'c');
  for (const std::string *s : {&client_id, &group_id, &cluster_id}) {
    key.append(*s);
    key.push_back('\0'); /* no name holds it */
  }
  return key;
}

int64_t w4_history_rate_span(const w4_history &h) {
  return std::max<int64_t>(60000, 2 * h.window_ms);
}

double w4_history_stream_rate(const w4_history &h, const w4_stream_key &key,
                              int64_t wall_ms) {
  auto it = h.streams.find(key);
  if (it == h.streams.end())
    return 0;
  int64_t span = w4_history_rate_span(h);
  uint64_t n = 0;
  for (const auto &step : it->second.recent)
    if (step.first > wall_ms - span)
      n = n > UINT64_MAX - step.second ? UINT64_MAX : n + step.second;
  return static_cast<double>(n) * 1000.0 / static_cast<double>(span);
}

/* Adds v to a counter, saturating. */
static void w4_history_add(uint64_t *c, int64_t v) {
  if (v <= 0)
    return;
  uint64_t u = static_cast<uint64_t>(v);
  *c = *c > UINT64_MAX - u ? UINT64_MAX : *c + u;
}

/* Adds v to a counter, saturating. */
static void w4_history_count(uint64_t *c, uint64_t v) {
  *c = *c > UINT64_MAX - v ? UINT64_MAX : *c + v;
}

/* The step that holds wall_ms: the open one, or a new one when it is over
 * (or when there is none yet). */
static w4_history_step *w4_history_current(w4_history *h, int64_t wall_ms) {
  if (h->steps.empty() || wall_ms >= h->steps.back().start_ms + h->step_ms) {
    w4_history_step s;
    s.start_ms = wall_ms - wall_ms % h->step_ms;
    h->steps.push_back(s);
    size_t keep = static_cast<size_t>(
        std::min<int64_t>(W4_HISTORY_SPAN_MS / h->step_ms,
                          static_cast<int64_t>(W4_HISTORY_MAX_STEPS)));
    while (h->steps.size() > keep)
      h->steps.pop_front();
  }
  return &h->steps.back();
}

/* The name of the line a group's values go to. */
static const std::string &w4_history_line(w4_history *h,
                                          const std::string &group) {
  static const std::string other = W4_HISTORY_OTHER_GROUPS;
  if (h->groups_followed.count(group))
    return group;
  if (h->groups_followed.size() < W4_HISTORY_MAX_GROUPS)
    return *h->groups_followed.insert(group).first;
  return other;
}

void w4_history_note(w4_history *h, const w4_record &rec, int64_t wall_ms) {
  const monitoring_MonitoringMessage &m = rec.msg;
  bool producer = m.client_type == W4_CLIENT_PRODUCER;
  std::string group = producer ? std::string() : rec.group_id;

  w4_history_client &c = h->clients[w4_history_client_key(
      m.client_type, rec.client_id, rec.group_id, rec.cluster_id)];
  if (c.records == 0) {
    c.client_type = m.client_type;
    c.client_id = rec.client_id;
    c.group_id = rec.group_id;
    c.cluster_id = rec.cluster_id;
  }
  if (c.session_id != rec.session_id) {
    c.session_id = rec.session_id;
    c.sessions++;
  }
  c.records++;
  c.last_ms = wall_ms;
  w4_stream_seen &st = h->streams[w4_stream_key(rec.topic, producer, group)];
  st.last_ms = wall_ms;
  w4_partition_seen &ps =
      h->partitions[w4_partition_key(rec.topic, producer, group, m.partition)];
  ps.last_ms = wall_ms;

  w4_history_step *s = w4_history_current(h, wall_ms);
  if (m.record_kind != W4_RECORD_DATA || m.count <= 0)
    return;
  if (m.window_size >= h->window_ms) {
    h->window_ms = m.window_size;
    h->window_last_ms = wall_ms;
  }
  st.latency_max_ms = std::max(st.latency_max_ms, m.max_latency);
  ps.latency_max_ms = std::max(ps.latency_max_ms, m.max_latency);
  int64_t step_start = wall_ms - wall_ms % h->step_ms;
  if (st.recent.empty() || st.recent.back().first != step_start)
    st.recent.emplace_back(step_start, 0);
  w4_history_add(&st.recent.back().second, m.count);
  while (st.recent.front().first <= wall_ms - w4_history_rate_span(*h))
    st.recent.pop_front();
  if (producer) {
    w4_history_add(&s->produced, m.count);
    return;
  }
  w4_history_group_step &g = s->groups[w4_history_line(h, group)];
  w4_history_add(&g.consumed, m.count);
  w4_history_add(&g.latency_sum_ms, m.latency_sum);
  g.latency_max_ms = std::max(g.latency_max_ms, m.max_latency);
}

void w4_history_audit_rows(w4_history *h,
                           const std::vector<w4_audit_row> &rows) {
  for (const w4_audit_row &r : rows) {
    w4_partition_key key(r.topic, false, r.group_id, r.partition);
    if (!h->partitions.count(key))
      continue; /* its series is gone, or never had room */
    w4_partition_audit &a = h->partition_audit[key];
    w4_history_count(&a.missing, r.missing);
    w4_history_count(&a.duplicate, r.duplicate);
    for (const auto &range : r.ranges) {
      a.ranges.push_back(
          w4_history_range{range.first, range.second, r.missing > 0});
      if (a.ranges.size() > W4_HISTORY_MAX_RANGES)
        a.ranges.pop_front();
    }
  }
}

void w4_history_tick(w4_history *h, const w4_audit &audit, int64_t wall_ms) {
  w4_history_step *s = w4_history_current(h, wall_ms);
  std::map<std::string, uint64_t> missing;
  for (const auto &kv : audit.totals)
    w4_history_count(&missing[std::get<2>(kv.first)], kv.second.missing);
  /* A group whose audit counters expired starts again from 0. */
  for (auto it = h->missing_seen.begin(); it != h->missing_seen.end();)
    if (missing.count(it->first))
      ++it;
    else
      it = h->missing_seen.erase(it);
  for (const auto &kv : missing) {
    uint64_t &seen = h->missing_seen[kv.first];
    if (kv.second > seen)
      s->groups[w4_history_line(h, kv.first)].missing += kv.second - seen;
    seen = kv.second;
  }
}

/* Removes the entries of a map by key whose last_ms is expire_ms old;
 * whether any went. */
template <typename M>
static bool w4_history_expire_map(M *m, int64_t wall_ms, int64_t expire_ms) {
  bool gone = false;
  for (auto it = m->begin(); it != m->end();)
    if (wall_ms - it->second.last_ms >= expire_ms) {
      it = m->erase(it);
      gone = true;
    } else {
      ++it;
    }
  return gone;
}

void w4_history_expire(w4_history *h, int64_t wall_ms, int64_t expire_ms) {
  /* The longest window goes with its records: the next ones set it. */
  if (wall_ms - h->window_last_ms >= expire_ms)
    h->window_ms = 0;
  w4_history_expire_map(&h->clients, wall_ms, expire_ms);
  bool streams_gone = w4_history_expire_map(&h->streams, wall_ms, expire_ms);
  if (w4_history_expire_map(&h->partitions, wall_ms, expire_ms)) {
    for (auto it = h->partition_audit.begin(); it != h->partition_audit.end();)
      if (h->partitions.count(it->first))
        ++it;
      else
        it = h->partition_audit.erase(it);
  }
  if (!streams_gone)
    return;
  std::set<std::string> live;
  for (const auto &kv : h->streams)
    if (!std::get<1>(kv.first))
      live.insert(std::get<2>(kv.first));
  for (auto it = h->groups_followed.begin(); it != h->groups_followed.end();)
    if (live.count(*it))
      ++it;
    else
      it = h->groups_followed.erase(it);
}
