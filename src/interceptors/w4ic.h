/* The interceptor instance: one per intercepted client handle. */
#pragma once

#include "interceptors/interceptors.h"
#include "monitoring/monitoring.h"
#include "platform/platform.h"
#include "platform/rdkafka_api.h"
#include "tinycthread/tinycthread.h"
#include "tpmap/tpmap.h"

#include <cstdint>

/* Threads and locks.
 *
 * Recording runs on librdkafka's threads (acknowledgements) and on the
 * application's polling thread (consumption); the publish pass runs on the
 * background thread; creation and teardown on the application's threads.
 *
 * `lock` guards terminate, pass_cnt, the ignored-message counters, the
 * map's structure (chains, creation list, entry count, last entry, cur) and
 * the bucket set that recording fills (tpmap.h). Recording holds it for one
 * message. A pass holds it only to switch the recording set and take the
 * entries that exist (constant time), and once per entry it retires; it
 * encodes, produces and asks for the cluster id without it.
 *
 * Owned by the publishing thread, no lock: session_id, session_expiry_ms,
 * cluster_id, record_buf, record_buf_size, and of each entry seq, recent,
 * session_traffic and the set that the pass took. That thread is the
 * background thread while it runs; after on_destroy has joined it, the
 * application's thread in on_destroy (cluster id), then the thread that
 * runs w4ic_free (final pass), when librdkafka has joined every thread of
 * the client and no callback can come any more. Each hand-over is a thread
 * join, so every write of one owner happens before the next one's reads.
 *
 * Set at creation and read-only afterwards: the identity strings,
 * client_type, the settings (histogram and tpmap.histogram included, which
 * recording reads before it takes the lock; offsets and tpmap.offsets),
 * rk, mon_rk, mon_rkt.
 * brokers_lock, a leaf lock, guards mon_brokers_wanted (below). stopped is
 * touched only by the application's threads, on_destroy then w4ic_free. */
struct w4ic {
  tinycthread::thrd_t thread;
  tinycthread::cnd_t cnd;
  tinycthread::mtx_t lock; /* see above */
  int32_t terminate;       /* teardown has begun; never cleared */
  int64_t pass_cnt;        /* regular passes completed */
  int64_t ignored_warn_ms;
  int64_t ignored_cnt;
  struct tpmap tpmap;
  int32_t publishms;
  int32_t sessiondurationms;
  int32_t icdebug;
  int32_t histogram;  /* windows carry latency histograms */
  int32_t offsets;    /* windows carry their offset range */
  rd_kafka_t *rk;     /* the intercepted client, not owned */
  rd_kafka_t *mon_rk; /* private monitoring producer */
  rd_kafka_topic_t *mon_rkt;
  int32_t client_type; /* 1 producer (or other), 0 consumer */
  char *client_id;
  char *group_id; /* consumers only; may be none */
  char session_id[33];
  int64_t session_expiry_ms;
  char *cluster_id; /* allocated by librdkafka for rk; may be none */
  unsigned char *record_buf;
  size_t record_buf_size;

  /* The private producer has no broker of its own (none mirrored, none
   * overridden) and takes the bootstrap brokers that the application adds to
   * its client through the API. Set at creation; teardown clears it before
   * the producer goes. Guarded by brokers_lock, a leaf lock apart from
   * `lock`: librdkafka calls on_broker_state_change with the client's own
   * lock held, while a pass may hold `lock` and wait on that client. */
  int32_t mon_brokers_wanted;
  tinycthread::mtx_t brokers_lock;

  /* on_destroy has joined the background thread. Application's threads
   * only (on_destroy, then w4ic_free). */
  int32_t stopped;
};

/* What a publish pass took at its hand-over: the recording set of then,
 * and the entries that existed. */
struct w4ic_pass {
  tp *first;
  int64_t entry_cnt;
  int32_t set;
};

/* Creates the instance of a new client; none on failure (logged). */
W4_EXPORT w4ic *w4ic_new(rd_kafka_t *rk, ic_overrides *ic_ov);

/* The client is being destroyed: stops the background thread and takes the
 * cluster id if the client knows it. Messages that the client still
 * acknowledges are recorded; the final pass comes with w4ic_free. */
W4_EXPORT void w4ic_destroy(w4ic *ic);

/* Runs the final pass, flushes the private producer and releases the
 * instance. Called once librdkafka can no longer call the instance's
 * callbacks: every thread of the client has been joined. */
void w4ic_free(w4ic *ic);

/* Body of the background thread. */
int w4ic_thread_main(void *arg);

/* Writes one diagnostic line "W4IC: <client id>: <message>" to stderr;
 * debug lines only with an instance whose icdebug is on. */
W4_EXPORT void w4ic_log0(const w4ic *ic, int debug, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* Starts a new session at now: new id and expiry. */
void w4ic_new_session(w4ic *ic, int64_t now);

/* One publish pass, the final one when final_pass is set; takes `lock` for
 * the hand-over only. Background thread, or w4ic_free's thread for the
 * final pass. */
void w4ic_publish(w4ic *ic, int final_pass);

/* The hand-over of a pass: switches the recording set and takes the entries
 * that exist; constant time under `lock`. */
void w4ic_pass_begin(w4ic *ic, w4ic_pass *pass);

/* The rest of the pass: publishes and empties the set that the hand-over
 * took, retires idle entries when the session has expired; `lock` only to
 * unlink a retired entry. */
void w4ic_pass_publish(w4ic *ic, const w4ic_pass &pass, int final_pass,
                       int64_t now);

/* Takes the cluster id if the client already knows it. on_destroy, after
 * the background thread has ended. */
void w4ic_take_known_cluster_id(w4ic *ic);

/* Completes, encodes, frames and produces one record, with the latency
 * histogram of latency_counts (HISTOGRAM_BUCKET_CNT of them) when given and
 * the offset range when one is given and not empty; the publishing thread,
 * without `lock`. */
void w4ic_produce_message(w4ic *ic, tp *tp, MonitoringMessage *msg, int final,
                          int64_t now, const uint32_t *latency_counts = nullptr,
                          const offset_range *offsets = nullptr);

W4_EXPORT rd_kafka_resp_err_t on_destroy(rd_kafka_t *rk, void *ic_opaque);
W4_EXPORT rd_kafka_resp_err_t on_broker_state_change(
    rd_kafka_t *rk, int32_t broker_id, const char *secproto, const char *name,
    int port, const char *state, void *ic_opaque);
W4_EXPORT rd_kafka_resp_err_t on_acknowledgement(rd_kafka_t *rk,
                                                 rd_kafka_message_t *rkmessage,
                                                 void *ic_opaque);
W4_EXPORT rd_kafka_resp_err_t on_consume(rd_kafka_t *rk,
                                         rd_kafka_message_t *rkmessage,
                                         void *ic_opaque);

/* Records one message without error. */
W4_EXPORT void w4ic_record_message_metric(w4ic *ic,
                                          const rd_kafka_message_t *rkmessage);

/* The accounting core: one message of bytes with a valid timestamp ts and a
 * non-negative latency into its bucket, and its offset into the bucket's
 * range when the offsets setting is on (negative: the message has none).
 * Takes `lock`. */
void w4ic_account(w4ic *ic, const char *topic, int32_t partition, int64_t bytes,
                  int64_t ts, int64_t latency, int64_t offset = -1);

/* Counts a message without a valid timestamp, seen at now; warns at most
 * once an hour with the running total. Takes `lock`. */
void w4ic_account_ignored(w4ic *ic, const char *topic, int32_t partition,
                          int64_t offset, int64_t now);
