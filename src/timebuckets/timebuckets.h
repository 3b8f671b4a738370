/* Time-window buckets of one topic-partition. No locking of their own: the
 * owning instance decides who may touch a set, and when (see tpmap.h). */
#pragma once

#include "monitoring/histogram.h"
#include "monitoring/monitoring.h"
#include "monitoring/offsets.h"
#include "platform/platform.h"
#include "timebuckets/tailq.h"

#include <cstddef>
#include <cstdint>

constexpr int TIMEBUCKETS_RECENT_SIZE = 10;

/* Chains of a set that holds more buckets than TIMEBUCKETS_LIST_MAX. */
constexpr int8_t TIMEBUCKETS_CHAIN_CNT = 31;

/* Buckets that a set finds by walking its creation list; beyond this many it
 * allocates its chains. A set usually holds one or two windows. */
constexpr int32_t TIMEBUCKETS_LIST_MAX = 4;

/* The window's start is the record's window, set when the bucket is made
 * and never changed: the bucket keeps no copy of it.
 *
 * What the settings add lies behind the record, allocated with the bucket
 * only when its set has the setting on: first the latency histogram, then
 * the offset range (timebucket_offsets). A bucket without either is as
 * large as it was before them. */
struct timebucket {
  tailq_link<timebucket> chain_link; /* unused while the set has no chains */
  tailq_link<timebucket> list_link;
  MonitoringMessage msg;
  /* Latency histogram of the window: HISTOGRAM_COUNTS_SIZE bytes with the
   * histogram on, absent otherwise. */
  uint32_t latency_counts[];
};

/* The offset range after the counts, or in their place, stays aligned. */
static_assert(offsetof(timebucket, latency_counts) % alignof(offset_range) ==
                      0 &&
                  HISTOGRAM_COUNTS_SIZE % alignof(offset_range) == 0,
              "offset range alignment");

/* One set of window buckets. An entry has two (see tpmap.h): recording
 * fills one while the publish pass empties the other. */
struct timebuckets {
  tailq_head<timebucket> *chains; /* chain_cnt heads by window number, or
                                     none while the set holds at most
                                     TIMEBUCKETS_LIST_MAX buckets */
  int32_t window_ms;              /* the publish interval */
  int8_t chain_cnt;
  int8_t histogram;  /* new buckets carry latency counts */
  int8_t offsets;    /* new buckets carry an offset range */
  int8_t bucket_cnt; /* stops counting at INT8_MAX: it only tells when the
                        set needs its chains */
  /* Last, next to its entry's chain link: every lookup reads it. */
  tailq_head<timebucket> buckets; /* every bucket, in order of creation */
};

/* Two sets in every entry: what the offsets setting needs fits the room
 * that the counter left. */
static_assert(sizeof(timebuckets) == 32, "bucket set size");

/* The offset range of a bucket of a set with the offsets setting on:
 * behind the latency counts when the set has them. Inline on the message
 * path. */
static inline offset_range *timebucket_offsets(const timebuckets *tb,
                                               timebucket *b) {
  return reinterpret_cast<offset_range *>(
      reinterpret_cast<char *>(b->latency_counts) +
      (tb->histogram ? HISTOGRAM_COUNTS_SIZE : 0));
}

/* The windows of a topic-partition's latest records since its windows were
 * last published, oldest overwritten first. */
struct timebuckets_recent {
  int64_t windows[TIMEBUCKETS_RECENT_SIZE]; /* -1: empty slot */
  int32_t idx;                              /* slot written next */
  int32_t size;                             /* always TIMEBUCKETS_RECENT_SIZE */
};

/* Empties the ring. */
W4_EXPORT void timebuckets_recent_reset(timebuckets_recent *recent);

/* Initialises an empty set; its chains come with its buckets. */
W4_EXPORT void timebuckets_init(timebuckets *tb, int8_t chain_cnt,
                                int32_t window_ms);

/* Finds or creates the bucket of the window holding time (> 0); none when
 * memory for a new bucket cannot be had. */
W4_EXPORT timebucket *timebucket_get(timebuckets *tb, int64_t time);

/* The set's first bucket when it is time's window's, else none: a set
 * usually holds the current window alone, and this is then the whole lookup.
 * Inline on the message path. Buckets exist only with window_ms >= 1; the
 * difference is taken unsigned, so a negative time matches no bucket. */
static inline timebucket *timebucket_first_get(const timebuckets *tb,
                                               int64_t time) {
  timebucket *b = tb->buckets.first;
  if (b && static_cast<uint64_t>(time) - static_cast<uint64_t>(b->msg.window) <
               static_cast<uint64_t>(tb->window_ms))
    return b;
  return nullptr;
}

/* Empties the set and releases its chains; releases the buckets only when
 * free_buckets is non-zero. Keeps chain_cnt and window_ms. */
W4_EXPORT void timebuckets_clear(timebuckets *tb, int free_buckets);

/* Clears with release. */
W4_EXPORT void timebuckets_destroy(timebuckets *tb);

/* Releases one bucket without unlinking it. */
W4_EXPORT void timebucket_destroy(timebucket *bucket);
