/* The exporter's state in a topic of the monitoring cluster. */
#include "exporter/statestore.h"
#include "exporter/varint.h"

#include <cstdio>
#include <cstring>

/* Every chunk's value starts with this and its version. */
static const char W4_CHUNK_MAGIC[] = "W4STATE";
static const uint8_t W4_CHUNK_VERSION = 1;

/* The snapshot's bytes: positions first, then the state. */
static std::string snapshot_bytes(const w4_state_snapshot &snap) {
  std::string out;
  w4_varint_put(&out, snap.positions.size());
  for (const auto &kv : snap.positions) {
    w4_varint_put(&out, static_cast<uint64_t>(kv.first));
    w4_varint_put(&out, static_cast<uint64_t>(kv.second));
  }
  out.append(snap.state);
  return out;
}

/* The snapshot of its bytes; false when they are not one. */
static bool snapshot_parse(const std::string &bytes, w4_state_snapshot *snap) {
  size_t pos = 0;
  uint64_t n, part, off;
  if (!w4_varint_get(bytes.data(), bytes.size(), &pos, &n) || n > bytes.size())
    return false;
  snap->positions.clear();
  for (uint64_t i = 0; i < n; i++) {
    if (!w4_varint_get(bytes.data(), bytes.size(), &pos, &part) ||
        !w4_varint_get(bytes.data(), bytes.size(), &pos, &off) ||
        part > INT32_MAX || off > static_cast<uint64_t>(INT64_MAX))
      return false;
    snap->positions[static_cast<int32_t>(part)] = static_cast<int64_t>(off);
  }
  snap->state = bytes.substr(pos);
  return true;
}

/* The key of a chunk: the store's key, NUL, the chunk's index. */
static std::string chunk_key(const w4_state_store &st, uint64_t index) {
  std::string key = st.key;
  key.push_back('\0');
  key.append(std::to_string(index));
  return key;
}

/* Delivery report of a chunk, on the poll thread (w4_state_store_poll). */
static void w4_state_dr(rd_kafka_t *rk, const rd_kafka_message_t *m,
                        void *opaque) {
  (void)rk;
  /* Stores that share a producer name themselves in each message. */
  w4_state_store *st =
      static_cast<w4_state_store *>(m->_private ? m->_private : opaque);
  st->inflight--;
  if (m->err) {
    if (!st->failed)
      fprintf(stderr, "w4metrics-exporter: cannot save the state to %s: %s\n",
              st->topic.c_str(), rd_kafka_err2str(m->err));
    st->failed = true;
  }
  if (st->inflight == 0) {
    if (st->failed)
      st->errors++;
    else
      st->saved++;
  }
}

/* The partitions of topic as the cluster lists its topics (a request that,
 * unlike one for the topic, never creates it); 0 when it is not listed. */
static int w4_topic_listed(rd_kafka_t *rk, const std::string &topic,
                           int timeout_ms) {
  const rd_kafka_metadata_t *md = nullptr;
  int cnt = 0;
  if (rd_kafka_metadata(rk, 1, nullptr, &md, timeout_ms) !=
      RD_KAFKA_RESP_ERR_NO_ERROR)
    return 0;
  for (int i = 0; i < md->topic_cnt; i++)
    if (topic == md->topics[i].topic && !md->topics[i].err)
      cnt = md->topics[i].partition_cnt;
  rd_kafka_metadata_destroy(md);
  return cnt;
}

bool w4_topic_create(rd_kafka_t *rk, const std::string &topic, int partitions,
                     const std::vector<w4_prop> &config, const char *what) {
  if (w4_topic_listed(rk, topic, 5000) > 0)
    return true;
  char errstr[256];
  rd_kafka_NewTopic_t *nt = rd_kafka_NewTopic_new(topic.c_str(), partitions, -1,
                                                  errstr, sizeof(errstr));
  if (!nt) {
    fprintf(stderr, "w4metrics-exporter: cannot create the %s topic %s: %s\n",
            what, topic.c_str(), errstr);
    return false;
  }
  for (const w4_prop &p : config)
    rd_kafka_NewTopic_set_config(nt, p.first.c_str(), p.second.c_str());
  rd_kafka_queue_t *q = rd_kafka_queue_new(rk);
  rd_kafka_AdminOptions_t *opts =
      rd_kafka_AdminOptions_new(rk, RD_KAFKA_ADMIN_OP_CREATETOPICS);
  rd_kafka_AdminOptions_set_request_timeout(opts, 3000, errstr, sizeof(errstr));
  rd_kafka_CreateTopics(rk, &nt, 1, opts, q);
  rd_kafka_event_t *ev = rd_kafka_queue_poll(q, 4000);
  rd_kafka_AdminOptions_destroy(opts);
  const char *why = "no answer";
  bool ok = false;
  if (ev) {
    const rd_kafka_CreateTopics_result_t *res =
        rd_kafka_event_CreateTopics_result(ev);
    size_t cnt = 0;
    const rd_kafka_topic_result_t **tr =
        res ? rd_kafka_CreateTopics_result_topics(res, &cnt) : nullptr;
    rd_kafka_resp_err_t err = rd_kafka_event_error(ev);
    if (!err && cnt == 1)
      err = rd_kafka_topic_result_error(tr[0]);
    /* Another exporter creating it first is as good. */
    ok = !err || err == RD_KAFKA_RESP_ERR_TOPIC_ALREADY_EXISTS;
    why = rd_kafka_err2str(err);
  }
  if (!ok)
    fprintf(stderr,
            "w4metrics-exporter: cannot create the %s topic %s (%s); "
            "relying on the cluster's automatic creation\n",
            what, topic.c_str(), why);
  if (ev)
    rd_kafka_event_destroy(ev);
  rd_kafka_queue_destroy(q);
  rd_kafka_NewTopic_destroy(nt);
  return ok;
}

bool w4_state_store_open(w4_state_store *st, const std::vector<w4_prop> &props,
                         const std::string &topic, const std::string &key,
                         std::string *err) {
  st->topic = topic;
  st->key = key;
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  std::vector<w4_prop> all = props;
  all.push_back({"client.id", "w4metrics-exporter-state"});
  all.push_back({"enable.idempotence", "true"});
  all.push_back({"message.max.bytes", "1000000"});
  if (!w4_conf_set_all(conf, all, err)) {
    rd_kafka_conf_destroy(conf);
    return false;
  }
  rd_kafka_conf_set_dr_msg_cb(conf, w4_state_dr);
  rd_kafka_conf_set_opaque(conf, st);
  char errstr[512];
  st->producer = rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!st->producer) {
    *err = w4_hide_values(errstr, all);
    rd_kafka_conf_destroy(conf);
    return false;
  }
  /* Compacted, with one partition so that the chunks of a snapshot stay
   * in order. */
  w4_topic_create(st->producer, topic, 1, {{"cleanup.policy", "compact"}},
                  "state");
  return true;
}

void w4_state_store_share(w4_state_store *st, const w4_state_store &from,
                          const std::string &key) {
  st->topic = from.topic;
  st->key = key;
  st->producer = from.producer;
  st->owns_producer = false;
}

bool w4_state_store_save(w4_state_store *st, const w4_state_snapshot &snap) {
  if (st->inflight > 0)
    return false;
  std::string bytes = snapshot_bytes(snap);
  uint64_t count = bytes.size() / W4_STATE_CHUNK_BYTES + 1;
  st->snapshot_id++;
  st->failed = false;
  for (uint64_t i = 0; i < count; i++) {
    std::string value(W4_CHUNK_MAGIC, sizeof(W4_CHUNK_MAGIC) - 1);
    value.push_back(static_cast<char>(W4_CHUNK_VERSION));
    w4_varint_put(&value, st->snapshot_id);
    w4_varint_put(&value, i);
    w4_varint_put(&value, count);
    value.append(bytes, i * W4_STATE_CHUNK_BYTES, W4_STATE_CHUNK_BYTES);
    std::string key = chunk_key(*st, i);
    rd_kafka_resp_err_t err = rd_kafka_producev(
        st->producer, RD_KAFKA_V_TOPIC(st->topic.c_str()),
        RD_KAFKA_V_PARTITION(0),
        RD_KAFKA_V_KEY(const_cast<char *>(key.data()), key.size()),
        RD_KAFKA_V_VALUE(const_cast<char *>(value.data()), value.size()),
        RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY), RD_KAFKA_V_OPAQUE(st),
        RD_KAFKA_V_END);
    if (err) {
      /* The chunks queued so far are of a snapshot that stays incomplete:
       * reading skips it. */
      st->failed = true;
      st->errors++;
      return false;
    }
    st->inflight++;
  }
  return true;
}

void w4_state_store_poll(w4_state_store *st) {
  if (st->producer)
    rd_kafka_poll(st->producer, 0);
}

void w4_state_store_close(w4_state_store *st, int timeout_ms) {
  if (!st->producer)
    return;
  if (!st->owns_producer) {
    st->producer = nullptr;
    return;
  }
  rd_kafka_flush(st->producer, timeout_ms);
  rd_kafka_destroy(st->producer);
  st->producer = nullptr;
}

/* The snapshot being put together while reading, and the latest whole. */
struct w4_state_reading {
  uint64_t id = 0;
  uint64_t count = 0;
  std::map<uint64_t, std::string> chunks;
  bool found = false;
  std::string whole;
};

/* Takes one message of the state topic: a chunk joins its key's
 * snapshot, which is kept once all its chunks are there. */
static void w4_state_take(const rd_kafka_message_t *m, w4_state_reading *r) {
  const char *p = static_cast<const char *>(m->payload);
  size_t len = m->len, pos = sizeof(W4_CHUNK_MAGIC) - 1;
  uint64_t id, index, count;
  if (!p || len <= pos || memcmp(p, W4_CHUNK_MAGIC, pos) != 0 ||
      static_cast<uint8_t>(p[pos++]) != W4_CHUNK_VERSION ||
      !w4_varint_get(p, len, &pos, &id) ||
      !w4_varint_get(p, len, &pos, &index) ||
      !w4_varint_get(p, len, &pos, &count) || index >= count ||
      count > (UINT64_C(1) << 20))
    return;
  if (id != r->id || count != r->count) {
    r->id = id;
    r->count = count;
    r->chunks.clear();
  }
  r->chunks[index].assign(p + pos, len - pos);
  if (r->chunks.size() != count)
    return;
  r->whole.clear();
  for (const auto &kv : r->chunks)
    r->whole.append(kv.second);
  r->found = true;
  r->chunks.clear();
}

/* The store key of a chunk's message key (up to the last NUL, which is
 * followed by the chunk's index); false when it has none. */
static bool w4_state_chunk_store_key(const rd_kafka_message_t *m,
                                     std::string *key) {
  const char *k = static_cast<const char *>(m->key);
  if (!k)
    return false;
  size_t n = m->key_len;
  while (n > 0 && k[n - 1] != '\0')
    n--;
  if (n == 0)
    return false;
  key->assign(k, n - 1);
  return true;
}

/* Reads the state topic whole with a consumer of props, feeding the chunks
 * of every key for which want says yes into readings. */
template <typename Want>
static void w4_state_read(const std::string &topic,
                          const std::vector<w4_prop> &props, int timeout_ms,
                          Want want,
                          std::map<std::string, w4_state_reading> *readings) {
  std::vector<w4_prop> all = props;
  all.push_back({"group.id", "w4metrics-exporter-state-reader"});
  all.push_back({"enable.auto.commit", "false"});
  all.push_back({"enable.partition.eof", "true"});
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  std::string err;
  char errstr[512];
  rd_kafka_t *rk = nullptr;
  if (w4_conf_set_all(conf, all, &err))
    rk = rd_kafka_new(RD_KAFKA_CONSUMER, conf, errstr, sizeof(errstr));
  if (!rk) {
    rd_kafka_conf_destroy(conf);
    return;
  }
  int64_t low = 0, high = 0;
  if (w4_topic_partition_cnt(rk, topic, timeout_ms) > 0 &&
      rd_kafka_query_watermark_offsets(rk, topic.c_str(), 0, &low, &high,
                                       timeout_ms) == 0 &&
      high > low) {
    rd_kafka_topic_partition_list_t *parts =
        rd_kafka_topic_partition_list_new(1);
    rd_kafka_topic_partition_list_add(parts, topic.c_str(), 0)->offset =
        RD_KAFKA_OFFSET_BEGINNING;
    rd_kafka_assign(rk, parts);
    rd_kafka_topic_partition_list_destroy(parts);
    int64_t deadline = w4_mono_ms() + timeout_ms;
    int64_t next = low;
    std::string key;
    while (next < high && w4_mono_ms() < deadline) {
      rd_kafka_message_t *m = rd_kafka_consumer_poll(rk, 200);
      if (!m)
        continue;
      if (!m->err && w4_state_chunk_store_key(m, &key) && want(key))
        w4_state_take(m, &(*readings)[key]);
      if (!m->err || m->err == RD_KAFKA_RESP_ERR__PARTITION_EOF)
        next = m->offset + (m->err ? 0 : 1);
      rd_kafka_message_destroy(m);
    }
  }
  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
}

bool w4_state_store_load(const w4_state_store &st,
                         const std::vector<w4_prop> &props, int timeout_ms,
                         w4_state_snapshot *snap) {
  std::map<std::string, w4_state_reading> readings;
  w4_state_read(
      st.topic, props, timeout_ms,
      [&st](const std::string &key) { return key == st.key; }, &readings);
  auto it = readings.find(st.key);
  return it != readings.end() && it->second.found &&
         snapshot_parse(it->second.whole, snap);
}

std::map<std::string, w4_state_snapshot>
w4_state_store_load_prefix(const std::string &topic,
                           const std::vector<w4_prop> &props, int timeout_ms,
                           const std::string &prefix) {
  std::map<std::string, w4_state_reading> readings;
  w4_state_read(
      topic, props, timeout_ms,
      [&prefix](const std::string &key) {
        return key.compare(0, prefix.size(), prefix) == 0;
      },
      &readings);
  std::map<std::string, w4_state_snapshot> out;
  for (const auto &kv : readings) {
    w4_state_snapshot snap;
    if (kv.second.found && snapshot_parse(kv.second.whole, &snap))
      out[kv.first] = snap;
  }
  return out;
}
