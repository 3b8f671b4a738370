/* The audit's state as bytes, so that a restarted exporter goes on where it
 * was. The bytes come back from a topic that anyone allowed to write to it
 * may have written: every length and count is checked before it is used.
 *
 * Layout: "W4AUDIT" and a version byte, then varints (signed ones
 * zigzag-encoded) and length-prefixed strings, in the order written below.
 * Arrival times are saved as ages, since the monotonic clock starts anew. */
#include "exporter/audit.h"
#include "exporter/varint.h"

#include <algorithm>
#include <climits>
#include <cstring>

static const char W4_STATE_MAGIC[] = "W4AUDIT";
static const uint8_t W4_STATE_VERSION = 1;

/* Appends an unsigned varint. */
static void put_u64(std::string *out, uint64_t v) { w4_varint_put(out, v); }

/* Appends a signed varint, zigzag-encoded. */
static void put_i64(std::string *out, int64_t v) {
  put_u64(out,
          (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
}

/* The longest age a saved time may have: a year. */
static const int64_t W4_STATE_MAX_AGE_MS = INT64_C(366) * 86400000;

/* Appends the age of time t at now_ms, within what the loader takes: older
 * than a year is as old as a year (beyond every horizon), and a time after
 * now_ms has no age. Else a state holding something very old could not be
 * read back at all. */
static void put_age(std::string *out, int64_t now_ms, int64_t t) {
  put_i64(out, std::min(std::max<int64_t>(now_ms - t, 0), W4_STATE_MAX_AGE_MS));
}

/* Appends a length-prefixed string. */
static void put_str(std::string *out, const std::string &s) {
  put_u64(out, s.size());
  out->append(s);
}

/* Reads the bytes back; ok turns false at the first thing that does not
 * fit, and every later read then gives zeros. */
struct state_reader {
  const std::string *in;
  size_t pos;
  bool ok;
};

/* Reads an unsigned varint. */
static uint64_t get_u64(state_reader *r) {
  uint64_t v = 0;
  if (r->ok && w4_varint_get(r->in->data(), r->in->size(), &r->pos, &v))
    return v;
  r->ok = false;
  return 0;
}

/* Reads a signed varint. */
static int64_t get_i64(state_reader *r) {
  uint64_t u = get_u64(r);
  return static_cast<int64_t>((u >> 1) ^ (~(u & 1) + 1));
}

/* Reads a count of items, each at least one byte long: more than the bytes
 * left cannot be. */
static size_t get_count(state_reader *r) {
  uint64_t n = get_u64(r);
  if (n > r->in->size() - r->pos) {
    r->ok = false;
    return 0;
  }
  return static_cast<size_t>(n);
}

/* Reads a length-prefixed string. */
static std::string get_str(state_reader *r) {
  size_t n = get_count(r);
  if (!r->ok)
    return std::string();
  std::string s = r->in->substr(r->pos, n);
  r->pos += n;
  return s;
}

/* Reads a time saved as an age at the time of saving. */
static int64_t get_time(state_reader *r, int64_t now_ms) {
  int64_t age = get_i64(r);
  if (age < 0 || age > W4_STATE_MAX_AGE_MS)
    r->ok = false;
  return r->ok ? now_ms - age : now_ms;
}

/* Reads a window start or -1 (none). */
static int64_t get_start(state_reader *r) {
  int64_t v = get_i64(r);
  if (v < -1)
    r->ok = false;
  return v;
}

/* Writes buckets and counts. */
static void put_buckets(std::string *out, const w4_audit_buckets &b) {
  put_u64(out, b.size());
  for (const auto &kv : b) {
    put_u64(out, kv.first);
    put_u64(out, kv.second);
  }
}

/* Reads buckets and counts; an index out of range spoils the state. */
static w4_audit_buckets get_buckets(state_reader *r) {
  w4_audit_buckets b;
  size_t n = get_count(r);
  for (size_t i = 0; i < n && r->ok; i++) {
    uint64_t idx = get_u64(r);
    uint64_t cnt = get_u64(r);
    if (idx >= static_cast<uint64_t>(HISTOGRAM_BUCKET_CNT))
      r->ok = false;
    else
      b.emplace_back(static_cast<uint32_t>(idx), cnt);
  }
  return b;
}

/* Writes one side's offsets of a window. */
static void put_offsets(std::string *out, const w4_audit_offsets &o) {
  put_i64(out, o.min);
  put_i64(out, o.max);
  put_u64(out, o.unknown ? 1 : 0);
}

/* Reads one side's offsets of a window: empty (min INT64_MAX, max -1) or a
 * range of offsets that are not negative. */
static w4_audit_offsets get_offsets(state_reader *r) {
  w4_audit_offsets o;
  o.min = get_i64(r);
  o.max = get_i64(r);
  o.unknown = get_u64(r) != 0;
  bool empty = o.min == INT64_MAX && o.max == -1;
  if (!empty && (o.min < 0 || o.max < o.min))
    r->ok = false;
  return o;
}

/* Writes one window. */
static void put_window(std::string *out, const w4_audit_window &w,
                       int64_t now_ms) {
  put_i64(out, w.window);
  put_i64(out, w.window_size);
  put_i64(out, w.produced);
  put_offsets(out, w.produced_offsets);
  put_age(out, now_ms, w.first_ms);
  put_age(out, now_ms, w.last_ms);
  put_u64(out, w.consumed.size());
  for (const auto &kv : w.consumed) {
    const w4_audit_consumed &c = kv.second;
    put_str(out, kv.first);
    put_i64(out, c.messages);
    put_offsets(out, c.offsets);
    put_u64(out, (c.judged ? 1u : 0u) | (c.audited ? 2u : 0u));
    put_i64(out, c.counted_missing);
    put_i64(out, c.counted_duplicate);
    put_buckets(out, c.hist);
  }
}

/* Reads one window. */
static w4_audit_window get_window(state_reader *r, int64_t now_ms) {
  w4_audit_window w;
  w.window = get_i64(r);
  w.window_size = get_i64(r);
  w.produced = get_i64(r);
  w.produced_offsets = get_offsets(r);
  w.first_ms = get_time(r, now_ms);
  w.last_ms = get_time(r, now_ms);
  size_t n = get_count(r);
  for (size_t i = 0; i < n && r->ok; i++) {
    w4_audit_consumed &c = w.consumed[get_str(r)];
    c.messages = get_i64(r);
    c.offsets = get_offsets(r);
    uint64_t flags = get_u64(r);
    c.judged = flags & 1;
    c.audited = flags & 2;
    c.counted_missing = get_i64(r);
    c.counted_duplicate = get_i64(r);
    c.hist = get_buckets(r);
    if (c.messages < 0 || c.counted_missing < 0 || c.counted_duplicate < 0)
      r->ok = false;
  }
  if (w.window < 0 || w.window_size <= 0 || w.produced < 0)
    r->ok = false;
  return w;
}

/* Writes one group's place on a stream. */
static void put_member(std::string *out, const w4_audit_member &m,
                       int64_t now_ms) {
  put_i64(out, m.start);
  put_u64(out, (m.start_fixed ? 1u : 0u) | (m.stopped ? 2u : 0u));
  put_i64(out, m.progress);
  put_i64(out, m.passed);
  put_i64(out, m.floor);
  put_i64(out, m.next);
  put_i64(out, m.offset);
  put_age(out, now_ms, m.last_ms);
  put_u64(out, m.recent.size());
  for (const auto &kv : m.recent) {
    put_age(out, now_ms, kv.first);
    put_i64(out, kv.second);
  }
}

/* Reads one group's place on a stream. */
static void get_member(state_reader *r, w4_audit_member *m, int64_t now_ms) {
  m->start = get_start(r);
  uint64_t flags = get_u64(r);
  m->start_fixed = flags & 1;
  m->stopped = flags & 2;
  m->progress = get_start(r);
  m->passed = get_start(r);
  m->floor = get_start(r);
  m->next = get_start(r);
  m->offset = get_start(r);
  m->last_ms = get_time(r, now_ms);
  size_t n = get_count(r);
  for (size_t i = 0; i < n && r->ok; i++) {
    int64_t at = get_time(r, now_ms);
    m->recent.emplace_back(at, get_start(r));
  }
}

/* Writes one stream. */
static void put_stream(std::string *out, const std::string &key,
                       const w4_audit_stream &s, int64_t now_ms) {
  put_str(out, key);
  put_str(out, s.cluster_id);
  put_str(out, s.topic);
  put_i64(out, s.partition);
  put_i64(out, s.newest);
  put_i64(out, s.acked);
  put_i64(out, s.released);
  put_u64(out, s.produced ? 1 : 0);
  put_age(out, now_ms, s.last_ms);
  put_u64(out, s.windows.size());
  for (const auto &kv : s.windows)
    put_window(out, kv.second, now_ms);
  put_u64(out, s.members.size());
  for (const auto &kv : s.members) {
    put_str(out, kv.first);
    put_member(out, kv.second, now_ms);
  }
}

/* Reads one stream into the audit. */
static void get_stream(state_reader *r, w4_audit *a, int64_t now_ms) {
  w4_audit_stream &s = a->streams[get_str(r)];
  s.cluster_id = get_str(r);
  s.topic = get_str(r);
  s.partition = static_cast<int32_t>(get_i64(r));
  s.newest = get_start(r);
  s.acked = get_start(r);
  s.released = get_start(r);
  s.produced = get_u64(r) != 0;
  s.last_ms = get_time(r, now_ms);
  size_t n = get_count(r);
  for (size_t i = 0; i < n && r->ok; i++) {
    w4_audit_window w = get_window(r, now_ms);
    s.windows[std::make_pair(w.window, w.window_size)] = std::move(w);
  }
  n = get_count(r);
  for (size_t i = 0; i < n && r->ok; i++) {
    std::string group = get_str(r);
    get_member(r, &s.members[group], now_ms);
  }
}

/* Writes the counters of one group. */
static void put_totals(std::string *out, const w4_audit_key &k,
                       const w4_audit_totals &t) {
  put_str(out, std::get<0>(k));
  put_str(out, std::get<1>(k));
  put_str(out, std::get<2>(k));
  put_u64(out, t.messages);
  put_u64(out, t.missing);
  put_u64(out, t.duplicate);
  put_u64(out, t.unconsumed);
  put_u64(out, t.windows);
  w4_audit_buckets b;
  for (int i = 0; i < HISTOGRAM_BUCKET_CNT; i++)
    if (t.hist.counts[i])
      b.emplace_back(static_cast<uint32_t>(i), t.hist.counts[i]);
  put_buckets(out, b);
}

/* Adds v to a count, saturating. */
static void count_add(uint64_t *c, uint64_t v) {
  *c = *c > UINT64_MAX - v ? UINT64_MAX : *c + v;
}

/* Reads the counters of one group into the audit. */
static void get_totals(state_reader *r, w4_audit *a) {
  std::string cluster = get_str(r);
  std::string topic = get_str(r);
  std::string group = get_str(r);
  w4_audit_totals &t = a->totals[w4_audit_key(cluster, topic, group)];
  t.messages = get_u64(r);
  t.missing = get_u64(r);
  t.duplicate = get_u64(r);
  t.unconsumed = get_u64(r);
  t.windows = get_u64(r);
  /* Saturating, as the audit counts: the total of saturated buckets is
   * saturated too, never wrapped round to a small number. */
  for (const auto &b : get_buckets(r)) {
    count_add(&t.hist.counts[b.first], b.second);
    count_add(&t.hist.total, b.second);
  }
}

/* Writes a record that waits for its cluster. */
static void put_entry(std::string *out, const w4_audit_entry &e,
                      int64_t now_ms) {
  put_u64(out, e.producer ? 1 : 0);
  put_str(out, e.group_id);
  put_str(out, e.topic);
  put_i64(out, e.partition);
  put_i64(out, e.window);
  put_i64(out, e.window_size);
  put_i64(out, e.count);
  put_u64(out, e.has_offsets ? 1 : 0);
  put_i64(out, e.min_offset);
  put_i64(out, e.max_offset);
  put_buckets(out, e.hist);
  put_age(out, now_ms, e.now_ms);
}

/* Reads a record that waits for its cluster. */
static w4_audit_entry get_entry(state_reader *r, int64_t now_ms) {
  w4_audit_entry e;
  e.producer = get_u64(r) != 0;
  e.group_id = get_str(r);
  e.topic = get_str(r);
  e.partition = static_cast<int32_t>(get_i64(r));
  e.window = get_i64(r);
  e.window_size = get_i64(r);
  e.count = get_i64(r);
  e.has_offsets = get_u64(r) != 0;
  e.min_offset = get_i64(r);
  e.max_offset = get_i64(r);
  if (e.has_offsets && (e.min_offset < 0 || e.max_offset < e.min_offset))
    r->ok = false;
  if (e.window < 0 || e.window_size <= 0 || e.count <= 0)
    r->ok = false;
  e.hist = get_buckets(r);
  e.now_ms = get_time(r, now_ms);
  return e;
}

/* The keys of a hash map, sorted. */
template <typename M>
static std::vector<const std::string *> sorted_keys(const M &m) {
  std::vector<const std::string *> keys;
  keys.reserve(m.size());
  for (const auto &kv : m)
    keys.push_back(&kv.first);
  std::sort(keys.begin(), keys.end(),
            [](const std::string *x, const std::string *y) { return *x < *y; });
  return keys;
}

std::string w4_audit_save(const w4_audit &a, int64_t now_ms) {
  std::string out(W4_STATE_MAGIC, sizeof(W4_STATE_MAGIC) - 1);
  out.push_back(static_cast<char>(W4_STATE_VERSION));
  put_i64(&out, a.from_window);
  put_u64(&out, a.dropped_windows);
  put_u64(&out, a.late_records);
  /* In the order of the keys, so that equal states make equal bytes. */
  put_u64(&out, a.streams.size());
  for (const std::string *k : sorted_keys(a.streams))
    put_stream(&out, *k, a.streams.at(*k), now_ms);
  put_u64(&out, a.totals.size());
  for (const auto &kv : a.totals)
    put_totals(&out, kv.first, kv.second);
  put_u64(&out, a.sessions.size());
  for (const std::string *k : sorted_keys(a.sessions)) {
    const w4_audit_session &s = a.sessions.at(*k);
    put_str(&out, *k);
    put_str(&out, s.cluster_id);
    put_age(&out, now_ms, s.last_ms);
  }
  put_u64(&out, a.parked.size());
  for (const std::string *k : sorted_keys(a.parked)) {
    put_str(&out, *k);
    put_u64(&out, a.parked.at(*k).size());
    for (const w4_audit_entry &e : a.parked.at(*k))
      put_entry(&out, e, now_ms);
  }
  return out;
}

/* Reads every part of the state into *a, in the order written. */
static void get_state(state_reader *r, w4_audit *a, int64_t now_ms) {
  a->from_window = get_start(r);
  a->dropped_windows = get_u64(r);
  a->late_records = get_u64(r);
  size_t n = get_count(r);
  for (size_t i = 0; i < n && r->ok; i++)
    get_stream(r, a, now_ms);
  n = get_count(r);
  for (size_t i = 0; i < n && r->ok; i++)
    get_totals(r, a);
  n = get_count(r);
  for (size_t i = 0; i < n && r->ok; i++) {
    w4_audit_session &s = a->sessions[get_str(r)];
    s.cluster_id = get_str(r);
    s.last_ms = get_time(r, now_ms);
  }
  n = get_count(r);
  for (size_t i = 0; i < n && r->ok; i++) {
    std::vector<w4_audit_entry> &v = a->parked[get_str(r)];
    size_t k = get_count(r);
    if (k == 0) /* never saved: a session waits with a record or not at all */
      r->ok = false;
    for (size_t j = 0; j < k && r->ok; j++)
      v.push_back(get_entry(r, now_ms));
  }
}

bool w4_audit_load(w4_audit *a, const std::string &bytes, int64_t now_ms) {
  size_t magic = sizeof(W4_STATE_MAGIC) - 1;
  if (bytes.size() < magic + 1 || memcmp(bytes.data(), W4_STATE_MAGIC, magic) ||
      static_cast<uint8_t>(bytes[magic]) != W4_STATE_VERSION)
    return false;
  w4_audit loaded;
  loaded.settle_ms = a->settle_ms;
  loaded.max_age_ms = a->max_age_ms;
  loaded.horizon_ms = a->horizon_ms;
  state_reader r{&bytes, magic + 1, true};
  get_state(&r, &loaded, now_ms);
  if (!r.ok || r.pos != bytes.size())
    return false;
  *a = std::move(loaded);
  return true;
}
