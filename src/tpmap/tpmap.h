/* Topic-partition map: a chained hash table of topic-partition entries, with
 * a list of every entry in order of creation. No locking of its own: the
 * owning instance's lock is held by every caller that changes the map. */
#pragma once

#include "platform/platform.h"
#include "timebuckets/tailq.h"
#include "timebuckets/timebuckets.h"

#include <cstdint>
#include <cstring>

constexpr int32_t TPMAP_CHAIN_CNT = 31;

/* Entries per chain above which the chain array doubles. */
constexpr int32_t TPMAP_LOAD_MAX = 2;

/* The chain count stops doubling here. */
constexpr int32_t TPMAP_CHAIN_CNT_MAX = 1 << 30;

/* One block per entry: the record, then its topic name. What a lookup reads
 * (the bucket lists at the end of the bucket sets, the chain link, the
 * partition and the name) lies together at the end of the block.
 *
 * Who touches what. The owning instance's `lock` guards the map (chains,
 * tps, entry_cnt, last, cur), every entry's links and the recording set
 * sets[cur], with its buckets and what they carry behind their records
 * (latency counts; since the offsets setting, the offset range, whose min
 * and max recording widens under `lock` like the record's counts). The
 * settings histogram and offsets of the map and of every set are written
 * when the map or the entry is made and only read afterwards. The set
 * sets[cur ^ 1] of the entries that existed when a pass
 * switched `cur` belongs to that pass, which empties it without the lock;
 * so do seq, recent and session_traffic, which only the publishing thread
 * touches. A pass walks only the entries that existed at its switch: their
 * list links do not change behind it, since entries are unlinked only by
 * the publishing thread itself (under `lock`) and appends write the link of
 * the newest entry, which the pass does not read. */
struct tp {
  tailq_link<tp> list_link;
  int64_t seq;                /* sequence number of the next record */
  timebuckets_recent recent;  /* windows of the latest records */
  struct timebuckets sets[2]; /* sets[map->cur] is recorded into */
  tailq_link<tp> chain_link;
  int32_t partition;
  uint8_t session_traffic; /* had a data record in this session */
  char topic[];            /* own copy, NUL-terminated */
};

struct tpmap {
  tailq_head<tp> *chains; /* chain_cnt heads, by hash */
  tailq_head<tp> tps;     /* every entry, in order of creation */
  int32_t chain_cnt;      /* the initial count times 2^chain_shift */
  int32_t chain_shift;    /* doublings since initialisation */
  int64_t entry_cnt;
  tp *last;    /* the entry tp_get found or made last; none after a clear */
  int32_t cur; /* the bucket set that recording fills, 0 or 1 */
  int32_t histogram; /* new entries' buckets carry latency counts */
  int32_t offsets;   /* new entries' buckets carry an offset range */
};

/* The set of an entry that recording fills now. */
static inline timebuckets *tp_recording_set(const tpmap *map, tp *entry) {
  return &entry->sets[map->cur];
}

/* djb2-style hash of (partition, topic), unsigned 32-bit. */
uint32_t tp_hash(const char *topic, int32_t partition);

/* The chain of hash h: h modulo chain_cnt. */
uint32_t tpmap_chain_idx(const tpmap *map, uint32_t h);

/* Initialises an empty map; chains is none if its array cannot be had. */
W4_EXPORT void tpmap_init(tpmap *map, int32_t chain_cnt);

/* The entry tp_get handed out last when it is (topic, partition), else
 * none: a run of messages of one topic-partition finds its entry here.
 * Inline, so that the message path makes no call for it but strcmp. */
static inline tp *tpmap_last_get(const tpmap *map, const char *topic,
                                 int32_t partition) {
  tp *last = map->last;
  if (last && last->partition == partition && !strcmp(last->topic, topic))
    return last;
  return nullptr;
}

/* Finds or creates the entry of (topic, partition); window_ms is the window
 * length of a new entry's buckets. None when memory for a new entry (or the
 * chain array) cannot be had. */
W4_EXPORT tp *tp_get(tpmap *map, const char *topic, int32_t partition,
                     int32_t window_ms);

/* Unlinks an entry from its chain and the creation list; the caller
 * releases it. */
W4_EXPORT void tpmap_remove(tpmap *map, tp *entry);

/* Destroys every entry; the map stays initialised and empty. */
W4_EXPORT void tpmap_clear(tpmap *map);

/* Clears the map and releases its chain array. */
W4_EXPORT void tpmap_destroy(tpmap *map);

/* Releases an entry with its buckets and topic copy, without unlinking it. */
W4_EXPORT void tp_destroy(tp *entry);
