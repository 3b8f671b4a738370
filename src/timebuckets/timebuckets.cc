/* Time-window buckets of one topic-partition.
 *
 * Buckets are chained by window number, each chain holding its most recent
 * window first, and listed in order of creation, which is the order of
 * publishing. Every function runs with the owning instance's lock held.
 *
 * Out of memory: nothing is written through an allocation that failed. A set
 * whose chain array could not be had keeps chains nullptr (chain_cnt as
 * given), hands out no bucket and is still safe to clear and destroy; a
 * bucket that cannot be had makes timebucket_get return nullptr without
 * linking anything. The caller then drops that message's metrics, and the
 * next message of the window tries again. */
#include "timebuckets/timebuckets.h"

/* Empties the recent-window ring. */
static void timebuckets_ring_reset(timebuckets *tb) {
  tb->recent_idx = 0;
  for (int i = 0; i < TIMEBUCKETS_RECENT_SIZE; i++)
    tb->recent_windows[i] = -1;
}

/* Initialises an empty set with its chain array, sequence number 0 and an
 * empty ring. */
void timebuckets_init(timebuckets *tb, int32_t chain_cnt, int64_t window_ms) {
  *tb = timebuckets{};
  tb->chain_cnt = chain_cnt;
  tb->window_ms = window_ms;
  tb->recent_size = TIMEBUCKETS_RECENT_SIZE;
  timebuckets_ring_reset(tb);
  tailq_init(&tb->buckets);

  if (chain_cnt < 1)
    return; /* no chain to hash into: the set stays without chains */
  tb->chains = static_cast<tailq_head<timebucket> *>(
      ic_calloc(static_cast<size_t>(chain_cnt), sizeof(*tb->chains)));
  if (!tb->chains)
    return;
  for (int32_t i = 0; i < chain_cnt; i++)
    tailq_init(&tb->chains[i]);
}

/* Allocates a bucket for window_start with its record's defaults; nullptr
 * when memory cannot be had. */
static timebucket *timebucket_new(int64_t window_start) {
  timebucket *bucket = static_cast<timebucket *>(ic_calloc(1, sizeof(*bucket)));
  if (!bucket)
    return nullptr;
  bucket->window_start = window_start;
  monitoring_message_init(&bucket->msg);
  bucket->msg.record_kind = 0;
  bucket->msg.window = window_start;
  return bucket;
}

/* Finds the bucket of time's window or creates it in its chain (most recent
 * window first) and at the tail of the creation list. */
timebucket *timebucket_get(timebuckets *tb, int64_t time) {
  /* A negative time or a window length below 1 would index outside the
   * chain array; callers pass neither, this only keeps the array safe. */
  if (!tb->chains || tb->window_ms < 1 || time < 0)
    return nullptr;

  /* One division: for time >= 0, time - time % w is (time / w) * w and
   * window_start / w is time / w. The usual chain count is a constant. */
  int64_t window_no = time / tb->window_ms;
  int64_t window_start = window_no * tb->window_ms;
  tailq_head<timebucket> *chain =
      &tb->chains[tb->chain_cnt == TIMEBUCKETS_CHAIN_CNT
                      ? window_no % TIMEBUCKETS_CHAIN_CNT
                      : window_no % tb->chain_cnt];

  timebucket *at = chain->first;
  while (at && at->window_start > window_start)
    at = tailq_next(at, &timebucket::chain_link);
  if (at && at->window_start == window_start)
    return at;

  timebucket *bucket = timebucket_new(window_start);
  if (!bucket)
    return nullptr;
  if (at)
    tailq_insert_before(at, bucket, &timebucket::chain_link);
  else
    tailq_append(chain, bucket, &timebucket::chain_link);
  tailq_append(&tb->buckets, bucket, &timebucket::list_link);
  return bucket;
}

/* Empties every chain, the creation list and the ring, releasing the buckets
 * only when free_buckets is set: the publish pass has released them already
 * and passes 0. Keeps chain_cnt, window_ms and seq. */
void timebuckets_clear(timebuckets *tb, int free_buckets) {
  for (int32_t i = 0; tb->chains && i < tb->chain_cnt; i++) {
    tailq_head<timebucket> *chain = &tb->chains[i];
    if (free_buckets) {
      timebucket *bucket = chain->first;
      while (bucket) {
        timebucket *next = tailq_next(bucket, &timebucket::chain_link);
        timebucket_destroy(bucket);
        bucket = next;
      }
    }
    tailq_init(chain);
  }
  tailq_init(&tb->buckets);
  timebuckets_ring_reset(tb);
}

/* Releases every bucket and the chain array; the record itself belongs to
 * its entry. */
void timebuckets_destroy(timebuckets *tb) {
  timebuckets_clear(tb, 1);
  ic_free(tb->chains);
  tb->chains = nullptr;
}

/* Releases one bucket, which holds no other memory; the caller unlinks. */
void timebucket_destroy(timebucket *bucket) { ic_free(bucket); }
