/* Publish pass and monitoring sessions. */
#include "interceptors/w4ic.h"

#include <cstring>

using namespace tinycthread;

constexpr int W4IC_CLUSTERID_TIMEOUT_MS = 3000;

/* Creating thread before the background thread exists, then background
 * thread with `lock` held. */
void w4ic_new_session(w4ic *ic, int64_t now) {
  ic->session_expiry_ms = now + static_cast<int64_t>(ic->sessiondurationms);
  ic_uuid_str(ic->session_id, sizeof(ic->session_id));
  w4ic_log0(ic, 1, "Starting new session %s (expires in %ldms)", ic->session_id,
            static_cast<long>(ic->sessiondurationms));
}

/* Asks the intercepted client for its cluster id until it is known.
 * Background thread, without `lock`: recording never waits for it. */
static void w4ic_acquire_cluster_id(w4ic *ic) {
  if (ic->cluster_id)
    return;
  ic->cluster_id = rd_kafka_clusterid(ic->rk, W4IC_CLUSTERID_TIMEOUT_MS);
  if (ic->cluster_id)
    w4ic_log0(ic, 1, "Acquired ClusterId %s", ic->cluster_id);
  else
    w4ic_log0(ic, 0,
              "Unable to acquire ClusterId from intercepted client "
              "(missing api.version.request=true?)");
}

/* Takes the cluster id only when the client already has it, never waiting:
 * teardown does not wait for a cluster that a client destroyed early never
 * learned. Application's thread in on_destroy, after the background thread
 * has ended. */
void w4ic_take_known_cluster_id(w4ic *ic) {
  if (ic->cluster_id)
    return;
  ic->cluster_id = rd_kafka_clusterid(ic->rk, 0);
  if (ic->cluster_id)
    w4ic_log0(ic, 1, "Acquired ClusterId %s", ic->cluster_id);
}

/* Produces one record per bucket of the pass's set, in order of creation,
 * and empties the set; the last record is final when the pass is. */
static void w4ic_publish_buckets(w4ic *ic, tp *tp, timebuckets *tb, bool final,
                                 int64_t now) {
  timebucket *next;
  for (timebucket *b = tb->buckets.first; b; b = next) {
    next = tailq_next(b, &timebucket::list_link);
    w4ic_produce_message(ic, tp, &b->msg, final && !next, now,
                         tb->histogram ? b->latency_counts : nullptr,
                         tb->offsets ? timebucket_offsets(tb, b) : nullptr);
    timebucket_destroy(b);
  }
  timebuckets_clear(tb, 0);
  timebuckets_recent_reset(&tp->recent);
}

/* Produces the record of a topic-partition without traffic since the last
 * pass: every number zero, min_latency included. */
static void w4ic_publish_empty(w4ic *ic, tp *tp, bool final, int64_t now) {
  MonitoringMessage empty;
  memset(&empty, 0, sizeof(empty));
  empty.record_kind = 2;
  w4ic_produce_message(ic, tp, &empty, final, now);
}

/* The hand-over: recording moves to the other bucket set, and the pass takes
 * the entries that exist now. Constant time under `lock`, whatever the
 * number of entries. */
void w4ic_pass_begin(w4ic *ic, w4ic_pass *pass) {
  mtx_lock(&ic->lock);
  pass->set = ic->tpmap.cur;
  ic->tpmap.cur ^= 1;
  pass->first = ic->tpmap.tps.first;
  pass->entry_cnt = ic->tpmap.entry_cnt;
  mtx_unlock(&ic->lock);
}

/* Releases an entry that had no traffic in the session just closed, unless
 * a message reached it since the hand-over: it then stays, numbered from 0
 * like any entry of the new session. Takes `lock` for the unlinking alone. */
static void w4ic_retire(w4ic *ic, tp *entry) {
  mtx_lock(&ic->lock);
  bool idle = tailq_empty(&tp_recording_set(&ic->tpmap, entry)->buckets);
  if (idle)
    tpmap_remove(&ic->tpmap, entry);
  mtx_unlock(&ic->lock);
  if (idle)
    tp_destroy(entry);
}

/* Publishes what a hand-over took, without `lock` but for retiring. */
void w4ic_pass_publish(w4ic *ic, const w4ic_pass &pass, int final_pass,
                       int64_t now) {
  /* Only a pass with records asks for the cluster id. An entry exists only
   * once the client has handed over a message, that is once rd_kafka_new()
   * has returned: before that the client is not set up (on_new runs inside
   * it), and asking it then uses its locks and condition variables before
   * they are initialised. The final pass asks nothing of the client, which
   * is gone by then. */
  if (pass.entry_cnt > 0 && !final_pass)
    w4ic_acquire_cluster_id(ic);

  bool expired = ic->session_expiry_ms <= now;
  bool final = expired || final_pass;

  tp *next = pass.first;
  for (int64_t i = 0; i < pass.entry_cnt; i++) {
    tp *tp = next;
    /* The newest entry's link is the one appends write: not read. */
    next = i + 1 < pass.entry_cnt ? tailq_next(tp, &tp::list_link) : nullptr;
    timebuckets *tb = &tp->sets[pass.set];
    if (!tailq_empty(&tb->buckets)) {
      w4ic_publish_buckets(ic, tp, tb, final, now);
      tp->session_traffic = 1;
    } else {
      w4ic_publish_empty(ic, tp, final, now);
    }
    if (!expired)
      continue;
    tp->seq = 0;
    if (!tp->session_traffic && !final_pass)
      w4ic_retire(ic, tp);
    else
      tp->session_traffic = 0;
  }

  if (expired)
    w4ic_new_session(ic, now);
}

/* One publish pass; background thread, or the destroying thread for the
 * final pass once librdkafka has joined the client's threads. `lock` is held
 * only for the hand-over and for unlinking retired entries. */
void w4ic_publish(w4ic *ic, int final_pass) {
  int64_t now = ic_now_ms(); /* first: every record's timestamp */
  w4ic_pass pass;
  w4ic_pass_begin(ic, &pass);
  w4ic_pass_publish(ic, pass, final_pass, now);
}
