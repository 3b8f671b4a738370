/* Metric recording: acknowledged and consumed messages into the store.
 *
 * Runs on librdkafka's threads (acknowledgements) or the application's
 * (consumption), concurrently with the background thread. */
#include "interceptors/w4ic.h"

using namespace tinycthread;

constexpr int64_t W4IC_IGNORED_WARN_INTERVAL_MS = 3600000;

/* The accounting core; takes `lock`. Inline into the message path, which
 * then makes one call fewer per message. */
static inline void w4ic_account_inline(w4ic *ic, const char *topic,
                                       int32_t partition, int64_t bytes,
                                       int64_t ts, int64_t latency,
                                       int64_t offset) {
  /* Outside the lock: the map's setting never changes after creation. */
  uint32_t hist_idx = ic->tpmap.histogram ? histogram_index(latency) : 0;
  mtx_lock(&ic->lock);
  /* Without memory for a new entry or bucket the message's metrics are
   * dropped; the next message tries again. A run of one topic-partition in
   * one window takes the two inline checks and makes no call but strcmp. */
  tp *tp = tpmap_last_get(&ic->tpmap, topic, partition);
  if (!tp)
    tp = tp_get(&ic->tpmap, topic, partition, ic->publishms);
  timebucket *b = nullptr;
  timebuckets *set = nullptr;
  if (tp) {
    set = tp_recording_set(&ic->tpmap, tp);
    if (!(b = timebucket_first_get(set, ts)))
      b = timebucket_get(set, ts);
  }
  if (b) {
    /* First: the lines behind the record load while its fields change.
     * With both settings off (the default) this is one branch, as before
     * the offsets setting, that falls through. */
    if (__builtin_expect(set->histogram | set->offsets, 0)) {
      if (set->histogram) /* its buckets have counts */
        b->latency_counts[hist_idx]++;
      /* Two comparisons; a negative offset (none) changes nothing. */
      if (set->offsets)
        offset_range_add(timebucket_offsets(set, b), offset);
    }
    MonitoringMessage *msg = &b->msg;
    msg->count++;
    msg->aggregate_bytes += bytes;
    /* The first message sets the minimum: the bucket's starting value of
     * 2^31 - 1 ms (24.8 days) is no bound on the age of old data. */
    if (msg->count == 1 || latency < msg->min_latency)
      msg->min_latency = latency;
    if (latency >= msg->max_latency)
      msg->max_latency = latency;
    msg->latency_sum += latency;
  }
  mtx_unlock(&ic->lock);
}

/* The accounting core; takes `lock`. */
void w4ic_account(w4ic *ic, const char *topic, int32_t partition, int64_t bytes,
                  int64_t ts, int64_t latency, int64_t offset) {
  w4ic_account_inline(ic, topic, partition, bytes, ts, latency, offset);
}

/* Counts a message without a valid timestamp; takes `lock`. */
void w4ic_account_ignored(w4ic *ic, const char *topic, int32_t partition,
                          int64_t offset, int64_t now) {
  mtx_lock(&ic->lock);
  ic->ignored_cnt++;
  if (ic->ignored_warn_ms + W4IC_IGNORED_WARN_INTERVAL_MS < now) {
    w4ic_log0(ic, 0,
              "Ignoring message on topic \"%s\" [%d] at offset %ld without "
              "valid timestamp (%ld messages ignored)",
              topic, partition, static_cast<long>(offset),
              static_cast<long>(ic->ignored_cnt));
    ic->ignored_warn_ms = now;
  }
  mtx_unlock(&ic->lock);
}

/* Records one message without error; the message is read before `lock`.
 * Its offset is the broker's for an acknowledged message and the message's
 * own for a consumed one; -1 (RD_KAFKA_OFFSET_INVALID) when it has none,
 * which the offset range ignores. */
void w4ic_record_message_metric(w4ic *ic, const rd_kafka_message_t *rkmessage) {
  int64_t bytes = static_cast<int64_t>(rkmessage->len) +
                  static_cast<int64_t>(rkmessage->key_len);
  rd_kafka_timestamp_type_t tstype;
  int64_t ts = rd_kafka_message_timestamp(rkmessage, &tstype);
  if (tstype == RD_KAFKA_TIMESTAMP_NOT_AVAILABLE || ts <= 0) {
    w4ic_account_ignored(ic, rd_kafka_topic_name(rkmessage->rkt),
                         rkmessage->partition, rkmessage->offset, ic_now_ms());
    return;
  }

  /* Producer: production to acknowledgement as librdkafka measured it, in
   * microseconds (-1 unknown). Consumer: the message's age now. */
  int64_t latency = ic->client_type ? rd_kafka_message_latency(rkmessage) / 1000
                                    : ic_now_ms() - ts;
  if (latency < 0)
    latency = 0;
  w4ic_account_inline(ic, rd_kafka_topic_name(rkmessage->rkt),
                      rkmessage->partition, bytes, ts, latency,
                      rkmessage->offset);
}

/* librdkafka's thread: a produced message's delivery was settled. */
rd_kafka_resp_err_t on_acknowledgement(rd_kafka_t *rk,
                                       rd_kafka_message_t *rkmessage,
                                       void *ic_opaque) {
  (void)rk;
  if (!rkmessage->err)
    w4ic_record_message_metric(static_cast<w4ic *>(ic_opaque), rkmessage);
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* Application's thread: a message is handed to the application. */
rd_kafka_resp_err_t on_consume(rd_kafka_t *rk, rd_kafka_message_t *rkmessage,
                               void *ic_opaque) {
  (void)rk;
  if (!rkmessage->err)
    w4ic_record_message_metric(static_cast<w4ic *>(ic_opaque), rkmessage);
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}
