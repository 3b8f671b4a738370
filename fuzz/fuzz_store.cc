/* Fuzz target: the aggregation store and record production.
 *
 * An arbitrary sequence of messages (topic, partition, timestamp, size,
 * latency) is accounted into a hand-built instance, with publish passes in
 * between and one at the end. The pass is run piece by piece as the
 * background thread runs it, so that every record can be taken from the
 * record buffer right after it was produced and decoded with nanopb and the
 * generated table. Each record must hold exactly what was fed in for its
 * window, with its topic-partition's sequence number and recent-window
 * range, kept here by a model of its own. Every input runs four times, with
 * the histogram setting and the offsets setting each off and on: with the
 * histogram on, every data record also carries the latency histogram of its
 * window, bucketed by the layout's bounds; with the offsets on, every data
 * record that counted a message with an offset (>= 0) carries the lowest
 * and highest of them, both present, and no other record has either. Before
 * each pass the map's chains are checked, at whatever size it has grown to.
 *
 * The private producer is real, towards an unreachable loopback address;
 * its queue is purged after every input. The cluster id is preset so that
 * nothing asks an intercepted client for it. */
#include "interceptors/w4ic.h"
#include "monitoring/histogram_encode.h"
#include "monitoring/offsets_encode.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <map>
#include <pb_decode.h>
#include <string>
#include <vector>

namespace {

const char *const topics[] = {"t", "orders", "orders.eu", "", "x\x7f\x80y"};
const int32_t intervals[] = {1, 7, 1000, 15000, 86400000};

rd_kafka_t *mon_rk;
rd_kafka_topic_t *mon_rkt;

[[noreturn]] void fail(const char *what, long a, long b) {
  fprintf(stderr, "fuzz_store: %s (%ld, %ld)\n", what, a, b);
  abort();
}

void expect_eq(const char *what, int64_t want, int64_t got) {
  if (want != got)
    fail(what, static_cast<long>(want), static_cast<long>(got));
}

/* The model of one window's bucket. */
struct window_sums {
  int64_t window;
  int64_t count = 0, bytes = 0, latency_sum = 0;
  int64_t min_latency = 2147483647, max_latency = 0;
  std::map<uint64_t, uint64_t> hist; /* bucket -> messages */
  bool has_offsets = false;          /* a message had an offset */
  int64_t min_offset = 0, max_offset = 0;
};

/* The model of one topic-partition: its buckets in order of creation, its
 * sequence number and its ring of recent windows. */
struct entry_model {
  std::string topic;
  int32_t partition;
  std::vector<window_sums> buckets;
  int64_t seq = 0;
  std::vector<int64_t> ring = std::vector<int64_t>(10, -1);
  int ring_idx = 0;
};

struct model {
  std::vector<entry_model> entries; /* in order of creation */
  std::map<std::pair<std::string, int32_t>, size_t> index;
};

/* Accounts one message in the model, as the store should. */
void model_account(model *m, const std::string &topic, int32_t partition,
                   int64_t bytes, int64_t ts, int64_t latency, int64_t offset,
                   int32_t window_ms) {
  auto key = std::make_pair(topic, partition);
  auto it = m->index.find(key);
  if (it == m->index.end()) {
    it = m->index.emplace(key, m->entries.size()).first;
    entry_model e;
    e.topic = topic;
    e.partition = partition;
    m->entries.push_back(e);
  }
  entry_model &e = m->entries[it->second];
  int64_t window = ts - ts % window_ms;
  window_sums *b = nullptr;
  for (auto &w : e.buckets)
    if (w.window == window)
      b = &w;
  if (!b) {
    e.buckets.push_back(window_sums());
    b = &e.buckets.back();
    b->window = window;
  }
  b->count++;
  b->bytes += bytes;
  b->latency_sum += latency;
  if (latency < b->min_latency)
    b->min_latency = latency;
  if (latency >= b->max_latency)
    b->max_latency = latency;
  b->hist[static_cast<uint64_t>(
      histogram_bucket_search(static_cast<uint64_t>(latency)))]++;
  if (offset >= 0) {
    b->min_offset = b->has_offsets ? std::min(b->min_offset, offset) : offset;
    b->max_offset = b->has_offsets ? std::max(b->max_offset, offset) : offset;
    b->has_offsets = true;
  }
}

/* A record decoded back, its strings captured. */
struct decoded {
  MonitoringMessage msg;
  std::string client_id, group_id, session_id, topic, cluster_id;
  bool has_group_id = false, has_cluster_id = false;
  std::vector<uint64_t> hist_index, hist_count;
  int min_offset_cnt = 0, max_offset_cnt = 0; /* times present */
  int64_t min_offset = 0, max_offset = 0;
  std::vector<uint32_t> tail_order; /* fields 25 to 28 in wire order */
};

/* Takes one offset field, which must be a varint. */
void read_offset(pb_istream_t *s, pb_wire_type_t type, uint32_t tag,
                 decoded *d) {
  uint64_t v;
  if (type != PB_WT_VARINT || !pb_decode_varint(s, &v))
    fail("offset field not a varint", static_cast<long>(tag), type);
  if (tag == OFFSETS_MIN_FIELD) {
    d->min_offset = static_cast<int64_t>(v);
    d->min_offset_cnt++;
  } else {
    d->max_offset = static_cast<int64_t>(v);
    d->max_offset_cnt++;
  }
}

/* Takes the packed histogram fields and the offset fields, which the
 * generated table leaves out, from a record's message bytes. */
void read_tail_fields(const pb_byte_t *bytes, size_t n, decoded *d) {
  pb_istream_t s = pb_istream_from_buffer(bytes, n);
  uint32_t tag;
  pb_wire_type_t type;
  bool eof;
  while (pb_decode_tag(&s, &type, &tag, &eof)) {
    if (tag >= HISTOGRAM_INDEX_FIELD && tag <= OFFSETS_MAX_FIELD)
      d->tail_order.push_back(tag);
    if (tag == OFFSETS_MIN_FIELD || tag == OFFSETS_MAX_FIELD) {
      read_offset(&s, type, tag, d);
      continue;
    }
    if (tag != HISTOGRAM_INDEX_FIELD && tag != HISTOGRAM_COUNT_FIELD) {
      if (!pb_skip_field(&s, type))
        fail("record does not walk", static_cast<long>(tag), 0);
      continue;
    }
    pb_istream_t sub;
    if (type != PB_WT_STRING || !pb_make_string_substream(&s, &sub))
      fail("histogram field not packed", static_cast<long>(tag), type);
    std::vector<uint64_t> *out =
        tag == HISTOGRAM_INDEX_FIELD ? &d->hist_index : &d->hist_count;
    uint64_t v;
    while (sub.bytes_left && pb_decode_varint(&sub, &v))
      out->push_back(v);
    if (sub.bytes_left || !pb_close_string_substream(&s, &sub))
      fail("histogram field does not decode", static_cast<long>(tag), 0);
  }
}

/* nanopb decode callback: the string into the std::string at *arg. */
bool read_string(pb_istream_t *stream, const pb_field_t *, void **arg) {
  std::string *out = static_cast<std::string *>(*arg);
  out->resize(stream->bytes_left);
  return pb_read(stream, reinterpret_cast<pb_byte_t *>(&(*out)[0]),
                 out->size());
}

/* nanopb decode callback that only notes that the field was present. */
bool read_string_seen(pb_istream_t *stream, const pb_field_t *f, void **arg) {
  auto *slot = static_cast<std::pair<std::string *, bool *> *>(*arg);
  *slot->second = true;
  void *s = slot->first;
  return read_string(stream, f, &s);
}

/* Decodes the framed record that the last produce call left in the
 * instance's record buffer, sent with the latency counts and the offset
 * range when given. */
decoded decode_last(const w4ic *ic, const MonitoringMessage *sent,
                    const uint32_t *counts = nullptr,
                    const offset_range *offsets = nullptr) {
  size_t n = 0;
  if (!pb_get_encoded_size(&n, monitoring_MonitoringMessage_fields, sent))
    fail("record cannot be measured", 0, 0);
  if (counts)
    n += histogram_encoded_size(counts, sent->count);
  if (offsets)
    n += offset_range_encoded_size(offsets);
  if (!ic->record_buf || ic->record_buf_size < n + 1)
    fail("record buffer too small", static_cast<long>(ic->record_buf_size),
         static_cast<long>(n + 1));
  if (ic->record_buf[0] != 0x7F)
    fail("record without its first byte", ic->record_buf[0], 0x7F);

  decoded d;
  memset(&d.msg, 0, sizeof(d.msg));
  std::pair<std::string *, bool *> group(&d.group_id, &d.has_group_id);
  std::pair<std::string *, bool *> cluster(&d.cluster_id, &d.has_cluster_id);
  d.msg.client_id.funcs.decode = read_string;
  d.msg.client_id.arg = &d.client_id;
  d.msg.session_id.funcs.decode = read_string;
  d.msg.session_id.arg = &d.session_id;
  d.msg.topic.funcs.decode = read_string;
  d.msg.topic.arg = &d.topic;
  d.msg.group_id.funcs.decode = read_string_seen;
  d.msg.group_id.arg = &group;
  d.msg.cluster_id.funcs.decode = read_string_seen;
  d.msg.cluster_id.arg = &cluster;
  pb_istream_t stream = pb_istream_from_buffer(ic->record_buf + 1, n);
  if (!pb_decode(&stream, monitoring_MonitoringMessage_fields, &d.msg))
    fail("record does not decode", static_cast<long>(n), 0);
  if (stream.bytes_left)
    fail("record has trailing bytes", static_cast<long>(stream.bytes_left), 0);
  read_tail_fields(ic->record_buf + 1, n, &d);
  return d;
}

/* Checks one decoded record against the model of its entry and bucket
 * (none for an empty-window record), then advances the model. */
void check_record(const w4ic *ic, const decoded &d, entry_model *e,
                  const window_sums *b, bool final, int64_t now) {
  expect_eq("client type", ic->client_type, d.msg.client_type);
  if (d.client_id != ic->client_id)
    fail("client id", 0, 0);
  if (d.has_group_id != (ic->group_id != nullptr) ||
      (ic->group_id && d.group_id != ic->group_id))
    fail("group id", d.has_group_id, ic->group_id != nullptr);
  if (d.session_id != ic->session_id)
    fail("session id", 0, 0);
  if (!d.has_cluster_id || d.cluster_id != ic->cluster_id)
    fail("cluster id", d.has_cluster_id, 0);
  if (d.topic != e->topic)
    fail("topic", static_cast<long>(d.topic.size()),
         static_cast<long>(e->topic.size()));
  expect_eq("partition", e->partition, d.msg.partition);
  expect_eq("sequence", e->seq, d.msg.sequence);
  expect_eq("timestamp", now, d.msg.timestamp);
  expect_eq("window size", ic->publishms, d.msg.window_size);
  expect_eq("final", final, d.msg.final);
  expect_eq("record kind", b ? 0 : 2, d.msg.record_kind);
  expect_eq("window", b ? b->window : 0, d.msg.window);
  expect_eq("count", b ? b->count : 0, d.msg.count);
  expect_eq("bytes", b ? b->bytes : 0, d.msg.aggregate_bytes);
  expect_eq("latency sum", b ? b->latency_sum : 0, d.msg.latency_sum);
  expect_eq("min latency", b ? b->min_latency : 0, d.msg.min_latency);
  expect_eq("max latency", b ? b->max_latency : 0, d.msg.max_latency);
  std::vector<uint64_t> idx, cnt;
  if (b && ic->histogram)
    for (const auto &kv : b->hist) {
      idx.push_back(kv.first);
      cnt.push_back(kv.second);
    }
  if (d.hist_index != idx || d.hist_count != cnt)
    fail("histogram", static_cast<long>(d.hist_index.size()),
         static_cast<long>(idx.size()));
  bool range = b && ic->offsets && b->has_offsets;
  expect_eq("min offset present", range, d.min_offset_cnt);
  expect_eq("max offset present", range, d.max_offset_cnt);
  if (range) {
    expect_eq("min offset", b->min_offset, d.min_offset);
    expect_eq("max offset", b->max_offset, d.max_offset);
  }
  if (!std::is_sorted(d.tail_order.begin(), d.tail_order.end()))
    fail("fields after the generated ones out of order", 0, 0);

  bool any = false;
  int64_t lo = 0, hi = 0;
  for (int64_t w : e->ring) {
    if (w == -1)
      continue;
    lo = any ? std::min(lo, w) : w;
    hi = any ? std::max(hi, w) : w;
    any = true;
  }
  expect_eq("min recent window", lo, d.msg.min_recent_window);
  expect_eq("max recent window", hi, d.msg.max_recent_window);
  e->ring[e->ring_idx] = b ? b->window : 0;
  e->ring_idx = (e->ring_idx + 1) % 10;
  e->seq++;
}

/* Checks the map against the model: every chain holds the entries of its
 * hash in descending key order, a grown map is not emptier than the load
 * allows, and every key finds the entry at its place in order of
 * creation. */
void check_map(w4ic *ic, const model *m) {
  tpmap *map = &ic->tpmap;
  int64_t chained = 0;
  for (int32_t i = 0; i < map->chain_cnt; i++) {
    const tp *prev = nullptr;
    for (tp *e = map->chains[i].first; e;
         prev = e, e = tailq_next(e, &tp::chain_link)) {
      if (tp_hash(e->topic, e->partition) %
              static_cast<uint32_t>(map->chain_cnt) !=
          static_cast<uint32_t>(i))
        fail("entry in the wrong chain", i, map->chain_cnt);
      if (prev && (prev->partition < e->partition ||
                   (prev->partition == e->partition &&
                    strcmp(prev->topic, e->topic) <= 0)))
        fail("chain out of order", i, e->partition);
      chained++;
    }
  }
  expect_eq("chained entries", static_cast<int64_t>(m->entries.size()),
            chained);
  expect_eq("entry count", chained, map->entry_cnt);
  if (map->chain_shift > 0 && map->entry_cnt < map->chain_cnt)
    fail("grown beyond its entries", static_cast<long>(map->entry_cnt),
         map->chain_cnt);
  size_t i = 0;
  for (tp *e = map->tps.first; e; e = tailq_next(e, &tp::list_link), i++) {
    const entry_model &em = m->entries[i];
    if (tp_get(map, em.topic.c_str(), em.partition, 1) != e)
      fail("entry not found again", static_cast<long>(i), em.partition);
  }
}

/* One publish pass, as w4ic_publish runs it after the cluster id is known:
 * every bucket of every entry in order, or one empty-window record, each
 * record checked as soon as it is produced. Runs with the lock held. */
void pass(w4ic *ic, model *m, bool final, int64_t now) {
  tinycthread::mtx_lock(&ic->lock);
  size_t i = 0;
  for (tp *tp = ic->tpmap.tps.first; tp;
       tp = tailq_next(tp, &tp::list_link), i++) {
    if (i >= m->entries.size())
      fail("more entries than accounted", static_cast<long>(i), 0);
    entry_model *e = &m->entries[i];
    timebuckets *tb = tp_recording_set(&ic->tpmap, tp);
    if (tailq_empty(&tb->buckets)) {
      MonitoringMessage empty;
      memset(&empty, 0, sizeof(empty));
      empty.record_kind = 2;
      w4ic_produce_message(ic, tp, &empty, final, now);
      check_record(ic, decode_last(ic, &empty), e, nullptr, final, now);
      continue;
    }
    size_t j = 0;
    timebucket *next;
    for (timebucket *b = tb->buckets.first; b; b = next, j++) {
      next = tailq_next(b, &timebucket::list_link);
      if (j >= e->buckets.size())
        fail("more buckets than windows", static_cast<long>(j), 0);
      const uint32_t *counts = tb->histogram ? b->latency_counts : nullptr;
      const offset_range *range =
          tb->offsets ? timebucket_offsets(tb, b) : nullptr;
      w4ic_produce_message(ic, tp, &b->msg, final && !next, now, counts, range);
      check_record(ic, decode_last(ic, &b->msg, counts, range), e,
                   &e->buckets[j], final && !next, now);
      timebucket_destroy(b);
    }
    expect_eq("buckets", static_cast<int64_t>(e->buckets.size()),
              static_cast<int64_t>(j));
    timebuckets_clear(tb, 0);
    timebuckets_recent_reset(&tp->recent);
    e->buckets.clear();
    std::fill(e->ring.begin(), e->ring.end(), -1);
    e->ring_idx = 0;
  }
  expect_eq("entries", static_cast<int64_t>(m->entries.size()),
            static_cast<int64_t>(i));
  tinycthread::mtx_unlock(&ic->lock);
}

/* An instance with its identity, a map, and the shared private producer;
 * its windows carry latency histograms when histogram is set and offset
 * ranges when offsets is. */
w4ic *make_instance(FuzzedDataProvider &in, int32_t histogram,
                    int32_t offsets) {
  w4ic *ic = static_cast<w4ic *>(ic_calloc(1, sizeof(w4ic)));
  tinycthread::mtx_init(&ic->lock, tinycthread::mtx_plain);
  tinycthread::cnd_init(&ic->cnd);
  /* A small first chain count makes the map double early and often. */
  tpmap_init(&ic->tpmap, in.ConsumeBool()
                             ? TPMAP_CHAIN_CNT
                             : in.ConsumeIntegralInRange<int32_t>(1, 8));
  ic->histogram = ic->tpmap.histogram = histogram;
  ic->offsets = ic->tpmap.offsets = offsets;
  ic->client_type = in.ConsumeBool() ? 1 : 0;
  ic->client_id = ic_strdup(in.ConsumeRandomLengthString(40).c_str());
  if (ic->client_type == 0 && in.ConsumeBool())
    ic->group_id = ic_strdup(in.ConsumeRandomLengthString(40).c_str());
  ic->publishms = in.ConsumeBool()
                      ? in.PickValueInArray(intervals)
                      : in.ConsumeIntegralInRange<int32_t>(1, IC_MAX_PUBLISHMS);
  ic->sessiondurationms = 600000;
  ic_uuid_str(ic->session_id, sizeof(ic->session_id));
  ic->cluster_id = strdup("fuzz-cluster");
  ic->mon_rk = mon_rk;
  ic->mon_rkt = mon_rkt;
  return ic;
}

void free_instance(w4ic *ic) {
  free(ic->cluster_id); /* ours, not librdkafka's */
  ic->cluster_id = nullptr;
  tpmap_destroy(&ic->tpmap);
  ic_free(ic->record_buf);
  ic_free(ic->client_id);
  ic_free(ic->group_id);
  tinycthread::cnd_destroy(&ic->cnd);
  tinycthread::mtx_destroy(&ic->lock);
  ic_free(ic);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char errstr[512];
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  const char *props[][2] = {{"bootstrap.servers", "127.0.0.1:1"},
                            {"queue.buffering.max.messages", "10000000"},
                            {"queue.buffering.max.kbytes", "2147483647"},
                            {"reconnect.backoff.ms", "10000"},
                            {"reconnect.backoff.max.ms", "60000"},
                            {"log_level", "0"}};
  for (const auto &p : props)
    if (rd_kafka_conf_set(conf, p[0], p[1], errstr, sizeof(errstr)))
      fail(errstr, 0, 0);
  mon_rk = rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!mon_rk)
    fail(errstr, 0, 0);
  mon_rkt = rd_kafka_topic_new(mon_rk, IC_DEFAULT_TOPIC, nullptr);
  return 0;
}

namespace {

/* Runs one input on a fresh instance. */
void run_input(const uint8_t *data, size_t size, int32_t histogram,
               int32_t offsets) {
  FuzzedDataProvider in(data, size);
  w4ic *ic = make_instance(in, histogram, offsets);
  model m;
  int64_t now = in.ConsumeIntegralInRange<int64_t>(0, INT64_MAX / 2);

  for (int step = 0; step < 400 && in.remaining_bytes() > 0; step++) {
    int op = in.ConsumeIntegralInRange(0, 15);
    if (op == 15) {
      check_map(ic, &m);
      pass(ic, &m, in.ConsumeBool(), now++);
      continue;
    }
    std::string topic = op < 12 ? in.PickValueInArray(topics)
                                : in.ConsumeRandomLengthString(30).c_str();
    int32_t partition = op % 3 ? in.ConsumeIntegralInRange<int32_t>(0, 3)
                               : in.ConsumeIntegral<int32_t>();
    int64_t ts = op % 2 ? in.ConsumeIntegralInRange<int64_t>(1, 1LL << 42)
                        : in.ConsumeIntegralInRange<int64_t>(1, INT64_MAX);
    int64_t bytes = in.ConsumeIntegralInRange<int64_t>(0, INT32_MAX);
    int64_t latency = op % 4 ? in.ConsumeIntegralInRange<int64_t>(0, 5000)
                             : in.ConsumeIntegralInRange<int64_t>(0, INT32_MAX);
    /* Mostly small offsets, 0 included; now and then none (-1) or any
     * value at all, the negative ones meaning none. */
    int64_t offset = op % 5 ? in.ConsumeIntegralInRange<int64_t>(-1, 1000)
                            : in.ConsumeIntegral<int64_t>();
    w4ic_account(ic, topic.c_str(), partition, bytes, ts, latency, offset);
    model_account(&m, topic, partition, bytes, ts, latency, offset,
                  ic->publishms);
  }
  check_map(ic, &m);
  pass(ic, &m, true, now); /* the final pass */

  free_instance(ic);
  rd_kafka_purge(mon_rk, RD_KAFKA_PURGE_F_QUEUE);
  rd_kafka_poll(mon_rk, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  for (int32_t histogram = 0; histogram < 2; histogram++)
    for (int32_t offsets = 0; offsets < 2; offsets++)
      run_input(data, size, histogram, offsets);
  return 0;
}
