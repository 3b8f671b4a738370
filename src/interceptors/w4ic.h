/* The interceptor instance: one per intercepted client handle. */
#pragma once

#include "interceptors/interceptors.h"
#include "monitoring/monitoring.h"
#include "platform/platform.h"
#include "platform/rdkafka_api.h"
#include "tinycthread/tinycthread.h"
#include "tpmap/tpmap.h"

#include <cstdint>

struct w4ic {
  tinycthread::thrd_t thread;
  tinycthread::cnd_t cnd;
  tinycthread::mtx_t lock; /* guards terminate, released, the ignored-message
                              counters and the whole tpmap */
  int32_t terminate;       /* teardown has begun; never cleared */
  int64_t ignored_warn_ms;
  int64_t ignored_cnt;
  struct tpmap tpmap;
  int32_t publishms;
  int32_t sessiondurationms;
  int32_t icdebug;
  int32_t histogram;  /* windows carry latency histograms */
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

  /* Teardown has released everything but this record and its lock and
   * condition variable; a late message callback finds this set under lock
   * and leaves. */
  int32_t released;
};

/* Creates the instance of a new client; none on failure (logged). */
W4_EXPORT w4ic *w4ic_new(rd_kafka_t *rk, ic_overrides *ic_ov);

/* Stops the background thread, flushes and releases the instance's
 * resources; the record itself stays for w4ic_free. */
W4_EXPORT void w4ic_destroy(w4ic *ic);

/* Releases what teardown left: the record, its lock and condition variable.
 * Called once librdkafka can no longer call the instance's callbacks. */
void w4ic_free(w4ic *ic);

/* Body of the background thread. */
int w4ic_thread_main(void *arg);

/* Writes one diagnostic line "W4IC: <client id>: <message>" to stderr;
 * debug lines only with an instance whose icdebug is on. */
W4_EXPORT void w4ic_log0(const w4ic *ic, int debug, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* Starts a new session at now: new id and expiry. */
void w4ic_new_session(w4ic *ic, int64_t now);

/* One publish pass; background thread, `lock` held. */
void w4ic_publish(w4ic *ic);

/* Completes, encodes, frames and produces one record, with the latency
 * histogram of latency_counts (HISTOGRAM_BUCKET_CNT of them) when given;
 * background thread, `lock` held. */
void w4ic_produce_message(w4ic *ic, tp *tp, MonitoringMessage *msg, int final,
                          int64_t now,
                          const uint32_t *latency_counts = nullptr);

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
 * non-negative latency into its bucket. Takes `lock`. */
void w4ic_account(w4ic *ic, const char *topic, int32_t partition, int64_t bytes,
                  int64_t ts, int64_t latency);

/* Counts a message without a valid timestamp, seen at now; warns at most
 * once an hour with the running total. Takes `lock`. */
void w4ic_account_ignored(w4ic *ic, const char *topic, int32_t partition,
                          int64_t offset, int64_t now);
