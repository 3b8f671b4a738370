/* Publish pass and monitoring sessions. */
#include "interceptors/w4ic.h"

#include <cstring>

constexpr int W4IC_CLUSTERID_TIMEOUT_MS = 3000;

/* Creating thread before the background thread exists, then background
 * thread with `lock` held. */
void w4ic_new_session(w4ic *ic, int64_t now) {
  ic->session_expiry_ms = now + static_cast<int64_t>(ic->sessiondurationms);
  ic_uuid_str(ic->session_id, sizeof(ic->session_id));
  w4ic_log0(ic, 1, "Starting new session %s (expires in %ldms)", ic->session_id,
            static_cast<long>(ic->sessiondurationms));
}

/* Asks the intercepted client for its cluster id until it is known. The
 * final pass takes it only when the client already has it: a client
 * destroyed before it learned its cluster will not learn it now, and its
 * teardown must not wait for it. */
static void w4ic_acquire_cluster_id(w4ic *ic) {
  if (ic->cluster_id)
    return;
  ic->cluster_id =
      rd_kafka_clusterid(ic->rk, ic->terminate ? 0 : W4IC_CLUSTERID_TIMEOUT_MS);
  if (ic->cluster_id)
    w4ic_log0(ic, 1, "Acquired ClusterId %s", ic->cluster_id);
  else if (!ic->terminate)
    w4ic_log0(ic, 0,
              "Unable to acquire ClusterId from intercepted client "
              "(missing api.version.request=true?)");
}

/* Produces one record per bucket, in order of creation, and empties the
 * set; the last record is final when the pass is. */
static void w4ic_publish_buckets(w4ic *ic, tp *tp, bool final, int64_t now) {
  timebuckets *tb = &tp->timebuckets;
  timebucket *next;
  for (timebucket *b = tb->buckets.first; b; b = next) {
    next = tailq_next(b, &timebucket::list_link);
    w4ic_produce_message(ic, tp, &b->msg, final && !next, now,
                         tb->histogram ? b->latency_counts : nullptr);
    timebucket_destroy(b);
  }
  timebuckets_clear(tb, 0);
}

/* Produces the record of a topic-partition without traffic since the last
 * pass: every number zero, min_latency included. */
static void w4ic_publish_empty(w4ic *ic, tp *tp, bool final, int64_t now) {
  MonitoringMessage empty;
  memset(&empty, 0, sizeof(empty));
  empty.record_kind = 2;
  w4ic_produce_message(ic, tp, &empty, final, now);
}

/* One publish pass; background thread, `lock` held from first to last. */
void w4ic_publish(w4ic *ic) {
  int64_t now = ic_now_ms(); /* first: every record's timestamp */

  /* Only a pass with records asks for the cluster id. An entry exists only
   * once the client has handed over a message, that is once rd_kafka_new()
   * has returned: before that the client is not set up (on_new runs inside
   * it), and asking it then uses its locks and condition variables before
   * they are initialised. */
  if (!tailq_empty(&ic->tpmap.tps))
    w4ic_acquire_cluster_id(ic);

  bool expired = ic->session_expiry_ms <= now;
  bool final = expired || ic->terminate;

  for (tp *tp = ic->tpmap.tps.first; tp; tp = tailq_next(tp, &tp::list_link)) {
    if (!tailq_empty(&tp->timebuckets.buckets))
      w4ic_publish_buckets(ic, tp, final, now);
    else
      w4ic_publish_empty(ic, tp, final, now);
    if (expired)
      tp->timebuckets.seq = 0;
  }

  if (expired)
    w4ic_new_session(ic, now);
}
