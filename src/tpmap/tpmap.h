/* Topic-partition map: a chained hash table of topic-partition entries, with
 * a list of every entry in order of creation. No locking: the owning
 * instance's lock is held by every caller. */
#pragma once

#include "platform/platform.h"
#include "timebuckets/tailq.h"
#include "timebuckets/timebuckets.h"

#include <cstdint>

constexpr int32_t TPMAP_CHAIN_CNT = 31;

struct tp {
  tailq_link<tp> chain_link;
  tailq_link<tp> list_link;
  int32_t partition;
  char *topic; /* owned copy */
  struct timebuckets timebuckets;
};

struct tpmap {
  tailq_head<tp> *chains; /* chain_cnt heads, by hash */
  tailq_head<tp> tps;     /* every entry, in order of creation */
  int32_t chain_cnt;
};

/* djb2-style hash of (partition, topic), unsigned 32-bit. */
uint32_t tp_hash(const char *topic, int32_t partition);

/* Initialises an empty map; chains is none if its array cannot be had. */
W4_EXPORT void tpmap_init(tpmap *map, int32_t chain_cnt);

/* Finds or creates the entry of (topic, partition); window_ms is the window
 * length of a new entry's buckets. None when memory for a new entry (or the
 * chain array) cannot be had. */
W4_EXPORT tp *tp_get(tpmap *map, const char *topic, int32_t partition,
                     int32_t window_ms);

/* Destroys every entry; the map stays initialised and empty. */
W4_EXPORT void tpmap_clear(tpmap *map);

/* Clears the map and releases its chain array. */
W4_EXPORT void tpmap_destroy(tpmap *map);

/* Releases an entry with its buckets and topic copy, without unlinking it. */
W4_EXPORT void tp_destroy(tp *entry);
