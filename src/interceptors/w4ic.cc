/* Interceptor instance: creation, background thread, teardown and the
 * diagnostic log. */
#include "interceptors/w4ic.h"

#include <csignal>
#include <cstdio>
#include <cstring>

using namespace tinycthread;

/* Writes one diagnostic line; any thread, no lock of its own. */
void w4ic_log0(const w4ic *ic, int debug, const char *fmt, ...) {
  if (debug && (!ic || !ic->icdebug))
    return; /* before any formatting: suppressed lines cost nothing */
  char msg[512];
  va_list ap;
  va_start(ap, fmt);
  ic_vsnprintf(msg, sizeof(msg), fmt, ap);
  va_end(ap);
  fprintf(stderr, "W4IC: %s: %s\n", ic && ic->client_id ? ic->client_id : "",
          msg);
}

/* Reads a string property of conf into a copy; none when it cannot be read
 * (or copied). */
static char *w4ic_conf_strdup(const rd_kafka_conf_t *conf, const char *name) {
  char buf[512] = "";
  size_t size = sizeof(buf) - 1;
  if (rd_kafka_conf_get(conf, name, buf, &size) != RD_KAFKA_CONF_OK)
    return nullptr;
  return ic_strdup(buf);
}

/* True when the monitoring configuration names no broker, neither mirrored
 * from the application nor overridden: the application then gives its
 * client brokers through the API, where no configuration sees them. */
static bool w4ic_conf_lacks_brokers(const rd_kafka_conf_t *conf) {
  size_t size = 0;
  return rd_kafka_conf_get(conf, "bootstrap.servers", nullptr, &size) !=
             RD_KAFKA_CONF_OK ||
         size <= 1;
}

/* Clears the callbacks that the monitoring configuration may carry over from
 * the application's: the private producer serves none of them. */
static void w4ic_conf_clear_callbacks(rd_kafka_conf_t *conf) {
  rd_kafka_conf_set_events(conf, 0);
  rd_kafka_conf_set_dr_cb(conf, nullptr);
  rd_kafka_conf_set_dr_msg_cb(conf, nullptr);
  rd_kafka_conf_set_stats_cb(conf, nullptr);
  rd_kafka_conf_set_background_event_cb(conf, nullptr);
  rd_kafka_conf_set_error_cb(conf, nullptr);
  rd_kafka_conf_set_throttle_cb(conf, nullptr);
  rd_kafka_conf_set_log_cb(conf, nullptr);
}

/* Releases the parts of a creation that failed before the producer existed
 * or after it was released. */
static void w4ic_release_early(w4ic *ic) {
  cnd_destroy(&ic->cnd);
  mtx_destroy(&ic->lock);
  mtx_destroy(&ic->brokers_lock);
  ic_free(ic->client_id);
  ic_free(ic->group_id);
  ic_free(ic);
}

/* Starts the background thread with every signal blocked, so that process
 * signals reach only the application's threads; the caller's mask is
 * restored whatever happens. */
static int w4ic_start_thread(w4ic *ic) {
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  int r = thrd_create(&ic->thread, w4ic_thread_main, ic);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return r;
}

/* Registers the client's callbacks; only a complete instance is registered,
 * so a failed creation leaves nothing behind on the client. */
static void w4ic_register(w4ic *ic, rd_kafka_type_t type) {
  rd_kafka_interceptor_add_on_destroy(ic->rk, "w4metrics", on_destroy, ic);
  if (type == RD_KAFKA_PRODUCER)
    rd_kafka_interceptor_add_on_acknowledgement(ic->rk, "w4metrics",
                                                on_acknowledgement, ic);
  else if (type == RD_KAFKA_CONSUMER)
    rd_kafka_interceptor_add_on_consume(ic->rk, "w4metrics", on_consume, ic);
  if (ic->mon_brokers_wanted)
    rd_kafka_interceptor_add_on_broker_state_change(ic->rk, "w4metrics",
                                                    on_broker_state_change, ic);
}

/* Application's thread, inside on_new. */
w4ic *w4ic_new(rd_kafka_t *rk, ic_overrides *ic_ov) {
  if (!ic_ov || !ic_ov->conf) {
    /* One configuration object serves one client: the first one created
     * from it took its monitoring configuration. */
    w4ic_log0(nullptr, 0,
              "Configuration already used by another client: "
              "this client is not monitored");
    return nullptr;
  }
  w4ic *ic = static_cast<w4ic *>(ic_calloc(1, sizeof(*ic)));
  if (!ic) {
    w4ic_log0(nullptr, 0, "Failed to allocate interceptor instance");
    return nullptr;
  }
  ic->rk = rk;

  rd_kafka_conf_t *conf = ic_ov->conf;
  ic_ov->conf = nullptr;
  ic_ov->taken = 1;
  w4ic_conf_clear_callbacks(conf);

  rd_kafka_type_t type = rd_kafka_type(rk);
  if (type == RD_KAFKA_CONSUMER) {
    ic->client_type = 0;
    ic->group_id = w4ic_conf_strdup(conf, "group.id");
  } else {
    ic->client_type = 1;
  }
  ic->client_id = w4ic_conf_strdup(conf, "client.id");
  if (!ic->client_id)
    ic->client_id = ic_strdup("rdkafka");

  if (!ic_ov->client_id[0])
    snprintf(ic_ov->client_id, sizeof(ic_ov->client_id), "%s%s", IC_PREFIX,
             ic->client_id ? ic->client_id : "");
  char errstr[512];
  rd_kafka_conf_set(conf, "client.id", ic_ov->client_id, errstr,
                    sizeof(errstr));

  ic->mon_brokers_wanted = w4ic_conf_lacks_brokers(conf);
  ic->icdebug = ic_ov->icdebug;
  ic->histogram = ic_ov->histogram;
  ic->offsets = ic_ov->offsets;
  ic->publishms = ic_ov->publishms;
  ic->sessiondurationms = ic_ov->sessiondurationms;
  mtx_init(&ic->lock, mtx_plain);
  mtx_init(&ic->brokers_lock, mtx_plain);
  cnd_init(&ic->cnd);

  if (!ic->client_id) {
    w4ic_log0(nullptr, 0, "Failed to allocate interceptor instance");
    rd_kafka_conf_destroy(conf);
    w4ic_release_early(ic);
    return nullptr;
  }

  w4ic_log0(ic, 1, "Creating w4 metrics interceptor");
  w4ic_new_session(ic, ic_now_ms());

  ic->mon_rk = rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!ic->mon_rk) {
    w4ic_log0(ic, 0, "Failed to create producer: %s", errstr);
    rd_kafka_conf_destroy(conf); /* not taken over by librdkafka */
    w4ic_release_early(ic);
    return nullptr;
  }

  ic->mon_rkt = rd_kafka_topic_new(ic->mon_rk, ic_ov->topic, nullptr);
  if (!ic->mon_rkt) {
    w4ic_log0(ic, 0, "Failed to create topic \"%s\" handle: %s", ic_ov->topic,
              rd_kafka_err2str(rd_kafka_last_error()));
    rd_kafka_destroy(ic->mon_rk);
    w4ic_release_early(ic);
    return nullptr;
  }

  tpmap_init(&ic->tpmap, TPMAP_CHAIN_CNT);
  ic->tpmap.histogram = ic->histogram;
  ic->tpmap.offsets = ic->offsets;

  if (w4ic_start_thread(ic) != thrd_success) {
    w4ic_log0(ic, 0, "Failed to create thread");
    tpmap_destroy(&ic->tpmap);
    rd_kafka_topic_destroy(ic->mon_rkt);
    rd_kafka_destroy(ic->mon_rk);
    w4ic_release_early(ic);
    return nullptr;
  }

  w4ic_register(ic, type);
  ic_ov->ic = ic;
  return ic;
}

/* Background thread: waits one interval at a time under `lock`, and runs
 * each pass with the lock released. A wait that ends as teardown begins
 * runs no pass: the final pass publishes everything, once. */
int w4ic_thread_main(void *arg) {
  w4ic *ic = static_cast<w4ic *>(arg);

  w4ic_log0(ic, 1, "Background thread with interval %d, W4 topic %s",
            ic->publishms, rd_kafka_topic_name(ic->mon_rkt));
  mtx_lock(&ic->lock);
  while (!ic->terminate) {
    if (cnd_timedwait_ms(&ic->cnd, &ic->lock, ic->publishms) != thrd_timedout ||
        ic->terminate)
      continue;
    mtx_unlock(&ic->lock);
    w4ic_publish(ic, 0);
    mtx_lock(&ic->lock);
    ic->pass_cnt++;
  }
  mtx_unlock(&ic->lock);

  w4ic_log0(ic, 1, "Background thread terminating");
  return 0;
}

/* True when the store has an entry, which exists only once rd_kafka_new()
 * has returned the client. Takes `lock`. */
static bool w4ic_has_entries(w4ic *ic) {
  mtx_lock(&ic->lock);
  bool any = ic->tpmap.entry_cnt > 0;
  mtx_unlock(&ic->lock);
  return any;
}

/* Application's thread, inside on_destroy: stops the background thread.
 * librdkafka still runs the client's threads, whose acknowledgements go on
 * being recorded until w4ic_free publishes them. */
void w4ic_destroy(w4ic *ic) {
  if (ic->stopped)
    return;
  w4ic_log0(ic, 1, "Destroying interceptor");
  mtx_lock(&ic->lock);
  ic->terminate = 1;
  cnd_signal(&ic->cnd);
  mtx_unlock(&ic->lock);

  thrd_join(ic->thread, nullptr);
  ic->stopped = 1;
  /* The client may still be asked now, not once it is gone. */
  if (w4ic_has_entries(ic))
    w4ic_take_known_cluster_id(ic);
}

/* Runs when the client's configuration is destroyed, after librdkafka has
 * joined the client's threads: the final pass sees every message the client
 * acknowledged, then the private producer has at most 1000 ms to deliver. */
void w4ic_free(w4ic *ic) {
  w4ic_destroy(ic); /* nothing when on_destroy did it */
  w4ic_publish(ic, 1);
  ic_free(ic->record_buf);
  ic->record_buf = nullptr;
  ic->record_buf_size = 0;

  w4ic_log0(ic, 1, "Destroying interceptor: flushing %d message(s)",
            rd_kafka_outq_len(ic->mon_rk));
  rd_kafka_flush(ic->mon_rk, 1000);
  w4ic_log0(ic, 1, "Destroying interceptor with %d undelivered message(s)",
            rd_kafka_outq_len(ic->mon_rk));

  mtx_lock(&ic->brokers_lock);
  ic->mon_brokers_wanted = 0; /* the producer is about to go */
  mtx_unlock(&ic->brokers_lock);

  tpmap_destroy(&ic->tpmap);
  if (ic->cluster_id)
    rd_kafka_mem_free(ic->rk, ic->cluster_id);
  ic->cluster_id = nullptr;
  ic_free(ic->client_id);
  ic->client_id = nullptr;
  ic_free(ic->group_id);
  ic->group_id = nullptr;
  rd_kafka_topic_destroy(ic->mon_rkt);
  rd_kafka_destroy(ic->mon_rk);

  cnd_destroy(&ic->cnd);
  mtx_destroy(&ic->lock);
  mtx_destroy(&ic->brokers_lock);
  ic_free(ic);
}

/* The client is destroyed: tear the instance down. Application's thread. */
rd_kafka_resp_err_t on_destroy(rd_kafka_t *rk, void *ic_opaque) {
  (void)rk;
  w4ic_destroy(static_cast<w4ic *>(ic_opaque));
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* A broker of the intercepted client was created or changed state. A
 * bootstrap broker that the client has just been given (id -1, state INIT),
 * which with a configuration naming no broker comes from
 * rd_kafka_brokers_add(), is given to the private producer too, before any
 * record needs it. Runs on the thread that adds the broker (the
 * application's, with the client's lock held) or on one of the client's
 * broker threads; takes only brokers_lock. */
rd_kafka_resp_err_t on_broker_state_change(rd_kafka_t *rk, int32_t broker_id,
                                           const char *secproto,
                                           const char *name, int port,
                                           const char *state, void *ic_opaque) {
  (void)rk;
  (void)secproto; /* the private producer's own security.protocol applies */
  if (broker_id != -1 || port <= 0 || !name || !*name || !state ||
      strcmp(state, "INIT"))
    return RD_KAFKA_RESP_ERR_NO_ERROR; /* learned, logical or internal */

  char addr[320];
  bool v6 = strchr(name, ':') != nullptr; /* a bare IPv6 address */
  int n = snprintf(addr, sizeof(addr), v6 ? "[%s]:%d" : "%s:%d", name, port);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(addr))
    return RD_KAFKA_RESP_ERR_NO_ERROR;

  w4ic *ic = static_cast<w4ic *>(ic_opaque);
  mtx_lock(&ic->brokers_lock);
  if (ic->mon_brokers_wanted && rd_kafka_brokers_add(ic->mon_rk, addr) > 0)
    w4ic_log0(ic, 1, "Monitoring producer takes broker %s of the client", addr);
  mtx_unlock(&ic->brokers_lock);
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}
