/* Time-window buckets of one topic-partition.
 *
 * Buckets are listed in order of creation, which is the order of publishing.
 * A set that holds a few buckets finds them by walking that list, which
 * needs neither a division nor a chain array; once it holds more than
 * TIMEBUCKETS_LIST_MAX it allocates chain_cnt chains by window number, each
 * holding its most recent window first, and keeps them until it is cleared.
 * A set has one user at a time: the owning instance hands it between the
 * recording threads and its publish pass (see tpmap.h).
 *
 * Out of memory: nothing is written through an allocation that failed. A
 * bucket that cannot be had makes timebucket_get return nullptr without
 * linking anything; the caller then drops that message's metrics, and the
 * next message of the window tries again. A chain array that cannot be had
 * leaves the set walking its list, and the next new bucket tries again. */
#include "timebuckets/timebuckets.h"

/* Empties the recent-window ring. */
void timebuckets_recent_reset(timebuckets_recent *recent) {
  recent->idx = 0;
  recent->size = TIMEBUCKETS_RECENT_SIZE;
  for (int i = 0; i < TIMEBUCKETS_RECENT_SIZE; i++)
    recent->windows[i] = -1;
}

/* Initialises an empty set without chains. */
void timebuckets_init(timebuckets *tb, int8_t chain_cnt, int32_t window_ms) {
  *tb = timebuckets{};
  tb->chain_cnt = chain_cnt;
  tb->window_ms = window_ms;
  tailq_init(&tb->buckets);
}

/* Allocates a bucket of the set for window_start with its record's
 * defaults, with zeroed latency counts when the set has the histogram on and
 * an empty offset range when it has the offsets on; nullptr when memory
 * cannot be had. */
static timebucket *timebucket_new(const timebuckets *tb, int64_t window_start) {
  size_t size = sizeof(timebucket) +
                (tb->histogram ? HISTOGRAM_COUNTS_SIZE : 0) +
                (tb->offsets ? sizeof(offset_range) : 0);
  timebucket *bucket = static_cast<timebucket *>(ic_calloc(1, size));
  if (!bucket)
    return nullptr;
  if (tb->offsets)
    offset_range_init(timebucket_offsets(tb, bucket));
  monitoring_message_init(&bucket->msg);
  bucket->msg.record_kind = 0;
  bucket->msg.window = window_start;
  return bucket;
}

/* The chain of a window number. The usual chain count is a constant. */
static tailq_head<timebucket> *timebuckets_chain(timebuckets *tb,
                                                 int64_t window_no) {
  return &tb->chains[tb->chain_cnt == TIMEBUCKETS_CHAIN_CNT
                         ? window_no % TIMEBUCKETS_CHAIN_CNT
                         : window_no % tb->chain_cnt];
}

/* The first bucket of chain whose window does not start after window_start:
 * the bucket of that window, or the one to insert a new bucket in front of,
 * or none when the new bucket goes at the tail. */
static timebucket *timebuckets_chain_find(tailq_head<timebucket> *chain,
                                          int64_t window_start) {
  timebucket *at = chain->first;
  while (at && at->msg.window > window_start)
    at = tailq_next(at, &timebucket::chain_link);
  return at;
}

/* Links a bucket that is not chained yet into the chain of its window, in
 * descending order of window start. */
static void timebuckets_chain_link(timebuckets *tb, timebucket *bucket,
                                   int64_t window_no) {
  tailq_head<timebucket> *chain = timebuckets_chain(tb, window_no);
  timebucket *at = timebuckets_chain_find(chain, bucket->msg.window);
  if (at)
    tailq_insert_before(at, bucket, &timebucket::chain_link);
  else
    tailq_append(chain, bucket, &timebucket::chain_link);
}

/* Allocates the chain array and chains every bucket, in order of creation;
 * leaves the set walking its list when the array cannot be had. */
static void timebuckets_chains_new(timebuckets *tb) {
  if (tb->chain_cnt < 1)
    return; /* no chain to hash into: the set keeps walking its list */
  tb->chains = static_cast<tailq_head<timebucket> *>(
      ic_calloc(static_cast<size_t>(tb->chain_cnt), sizeof(*tb->chains)));
  if (!tb->chains)
    return;
  for (int32_t i = 0; i < tb->chain_cnt; i++)
    tailq_init(&tb->chains[i]);
  for (timebucket *b = tb->buckets.first; b;
       b = tailq_next(b, &timebucket::list_link))
    timebuckets_chain_link(tb, b, b->msg.window / tb->window_ms);
}

/* Finds the bucket of a set without chains by its list; no division. For
 * time and a window's start both >= 0 the difference cannot overflow. */
static timebucket *timebuckets_list_find(const timebuckets *tb, int64_t time) {
  for (timebucket *b = tb->buckets.first; b;
       b = tailq_next(b, &timebucket::list_link))
    if (static_cast<uint64_t>(time - b->msg.window) <
        static_cast<uint64_t>(tb->window_ms))
      return b;
  return nullptr;
}

/* Finds the bucket of time's window or creates it in its chain (most recent
 * window first), if the set has chains, and at the tail of the creation
 * list. */
timebucket *timebucket_get(timebuckets *tb, int64_t time) {
  /* A negative time or a window length below 1 has no window; callers pass
   * neither, this only keeps the arithmetic safe. */
  if (tb->window_ms < 1 || time < 0)
    return nullptr;

  if (!tb->chains) {
    timebucket *found = timebuckets_list_find(tb, time);
    if (found)
      return found;
  }
  /* One division: for time >= 0, time - time % w is (time / w) * w and
   * window_start / w is time / w. */
  int64_t window_no = time / tb->window_ms;
  int64_t window_start = window_no * tb->window_ms;
  tailq_head<timebucket> *chain = nullptr;
  timebucket *at = nullptr;
  if (tb->chains) {
    chain = timebuckets_chain(tb, window_no);
    at = timebuckets_chain_find(chain, window_start);
    if (at && at->msg.window == window_start)
      return at;
  }

  timebucket *bucket = timebucket_new(tb, window_start);
  if (!bucket)
    return nullptr;
  if (at)
    tailq_insert_before(at, bucket, &timebucket::chain_link);
  else if (chain)
    tailq_append(chain, bucket, &timebucket::chain_link);
  tailq_append(&tb->buckets, bucket, &timebucket::list_link);
  if (tb->bucket_cnt < INT8_MAX)
    tb->bucket_cnt++;
  if (tb->bucket_cnt > TIMEBUCKETS_LIST_MAX && !tb->chains)
    timebuckets_chains_new(tb);
  return bucket;
}

/* Empties the creation list and releases the chain array, releasing the
 * buckets only when free_buckets is set: the publish pass has released them
 * already and passes 0. Keeps chain_cnt and window_ms. */
void timebuckets_clear(timebuckets *tb, int free_buckets) {
  if (free_buckets) {
    timebucket *bucket = tb->buckets.first;
    while (bucket) {
      timebucket *next = tailq_next(bucket, &timebucket::list_link);
      timebucket_destroy(bucket);
      bucket = next;
    }
  }
  ic_free(tb->chains);
  tb->chains = nullptr;
  tb->bucket_cnt = 0;
  tailq_init(&tb->buckets);
}

/* Releases every bucket and the chain array; the record itself belongs to
 * its entry. */
void timebuckets_destroy(timebuckets *tb) { timebuckets_clear(tb, 1); }

/* Releases one bucket, which holds no other memory; the caller unlinks. */
void timebucket_destroy(timebucket *bucket) { ic_free(bucket); }
