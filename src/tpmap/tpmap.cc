/* Topic-partition map: entries chained by hash, each chain in descending key
 * order, and listed in order of creation, which is the order of publishing.
 * Every function that changes the map runs with the owning instance's lock
 * held.
 *
 * The chain count starts as given (31 for an instance) and doubles whenever
 * the entries exceed TPMAP_LOAD_MAX per chain, so that a lookup walks one or
 * two entries at any size. Since the new count is a multiple of the old
 * one, the entries of new chain j all come from old chain j modulo the old
 * count, and moving each old chain in order keeps every chain in descending
 * key order.
 *
 * The map remembers the entry it handed out last: messages come in runs of
 * one topic-partition, and the message path finds a run's entry with
 * tpmap_last_get, without hashing, before it calls tp_get.
 *
 * Out of memory: nothing is written through an allocation that failed. A map
 * whose chain array could not be had keeps chains nullptr (chain_cnt as
 * given), hands out no entry and is still safe to clear and destroy. When a
 * new entry cannot be had, tp_get returns nullptr without linking anything;
 * the caller then drops that message's metrics, and the next message of the
 * topic-partition tries again. When a larger chain array cannot be had, the
 * map keeps its chains, longer than planned, and tries again with its next
 * new entry. */
#include "tpmap/tpmap.h"

#include <cstddef>
#include <cstring>

/* A topic byte as the hash counts it: a signed char, widened. */
static inline uint32_t tp_hash_byte(char c) {
  return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
}

/* Hashes (topic, partition): the partition is mixed into the seed, then
 * every byte counts as a signed char, all in wrapping unsigned 32 bits. */
uint32_t tp_hash(const char *topic, int32_t partition) {
  uint32_t h = 177573u + static_cast<uint32_t>(partition);
  const char *p = topic;
  /* Two bytes a step, h * 33 * 33 + (c0 * 33 + c1): the same value in
   * wrapping arithmetic, half the chain of dependent multiply-adds. */
  for (; p[0] && p[1]; p += 2)
    h = h * 1089u + (tp_hash_byte(p[0]) * 33u + tp_hash_byte(p[1]));
  if (p[0])
    h = h * 33u + tp_hash_byte(p[0]);
  return h;
}

/* h modulo chain_cnt, where chain_cnt is base * 2^shift: with h = a * 2^shift
 * + b, that is (a mod base) * 2^shift + b. The instance's base is the
 * constant 31, whose remainder needs no division instruction. */
uint32_t tpmap_chain_idx(const tpmap *map, uint32_t h) {
  uint32_t shift = static_cast<uint32_t>(map->chain_shift);
  uint32_t base = static_cast<uint32_t>(map->chain_cnt) >> shift;
  uint32_t a = h >> shift;
  uint32_t r = base == static_cast<uint32_t>(TPMAP_CHAIN_CNT)
                   ? a % static_cast<uint32_t>(TPMAP_CHAIN_CNT)
                   : a % base;
  return (r << shift) | (h & ((1u << shift) - 1u));
}

/* Allocates an array of cnt empty chains; nullptr when it cannot be had. */
static tailq_head<tp> *tpmap_chains_new(int32_t cnt) {
  tailq_head<tp> *chains = static_cast<tailq_head<tp> *>(
      ic_calloc(static_cast<size_t>(cnt), sizeof(*chains)));
  if (!chains)
    return nullptr;
  for (int32_t i = 0; i < cnt; i++)
    tailq_init(&chains[i]);
  return chains;
}

/* Initialises an empty map with its chain array. */
void tpmap_init(tpmap *map, int32_t chain_cnt) {
  *map = tpmap{};
  map->chain_cnt = chain_cnt;
  tailq_init(&map->tps);

  if (chain_cnt < 1)
    return; /* no chain to hash into: the map stays without chains */
  map->chains = tpmap_chains_new(chain_cnt);
}

/* Doubles the chain count and moves every entry to its new chain, old chain
 * by old chain in chain order; keeps the map as it is when the larger array
 * cannot be had. */
static void tpmap_grow(tpmap *map) {
  if (map->chain_cnt > TPMAP_CHAIN_CNT_MAX / 2)
    return;
  int32_t old_cnt = map->chain_cnt;
  tailq_head<tp> *old_chains = map->chains;
  tailq_head<tp> *chains = tpmap_chains_new(2 * old_cnt);
  if (!chains)
    return;

  map->chains = chains;
  map->chain_cnt = 2 * old_cnt;
  map->chain_shift++;
  for (int32_t i = 0; i < old_cnt; i++) {
    tp *entry = old_chains[i].first;
    while (entry) {
      tp *next = tailq_next(entry, &tp::chain_link);
      uint32_t idx =
          tpmap_chain_idx(map, tp_hash(entry->topic, entry->partition));
      tailq_append(&chains[idx], entry, &tp::chain_link);
      entry = next;
    }
  }
  ic_free(old_chains);
}

/* Orders a sought key against an entry: partition first, then topic bytes.
 * Negative, zero or positive as the key is smaller, equal or greater. */
static int tp_cmp(const char *topic, int32_t partition, const tp *entry) {
  if (partition != entry->partition)
    return partition > entry->partition ? 1 : -1;
  return strcmp(topic, entry->topic);
}

/* Allocates an entry, its topic copy in the same block, with empty buckets;
 * nullptr when memory cannot be had. */
static tp *tp_new(const char *topic, int32_t partition, int32_t window_ms) {
  size_t topic_size = strlen(topic) + 1;
  tp *entry = static_cast<tp *>(ic_malloc(offsetof(tp, topic) + topic_size));
  if (!entry)
    return nullptr;
  memset(static_cast<void *>(entry), 0, offsetof(tp, topic));
  entry->partition = partition;
  memcpy(entry->topic, topic, topic_size);
  timebuckets_recent_reset(&entry->recent);
  for (timebuckets &set : entry->sets)
    timebuckets_init(&set, TIMEBUCKETS_CHAIN_CNT, window_ms);
  return entry;
}

/* Finds the entry of (topic, partition) or creates it in its chain and at
 * the tail of the creation list; window_ms only applies to a new entry. */
tp *tp_get(tpmap *map, const char *topic, int32_t partition,
           int32_t window_ms) {
  if (!map->chains)
    return nullptr;

  tailq_head<tp> *chain =
      &map->chains[tpmap_chain_idx(map, tp_hash(topic, partition))];
  tp *at = chain->first;
  int cmp = 0;
  while (at && (cmp = tp_cmp(topic, partition, at)) < 0)
    at = tailq_next(at, &tp::chain_link);
  if (at && cmp == 0)
    return map->last = at;

  tp *entry = tp_new(topic, partition, window_ms);
  if (!entry)
    return nullptr;
  for (timebuckets &set : entry->sets) {
    set.histogram = static_cast<int8_t>(map->histogram);
    set.offsets = static_cast<int8_t>(map->offsets);
  }
  if (at)
    tailq_insert_before(at, entry, &tp::chain_link);
  else
    tailq_append(chain, entry, &tp::chain_link);
  tailq_append(&map->tps, entry, &tp::list_link);
  if (++map->entry_cnt > static_cast<int64_t>(TPMAP_LOAD_MAX) * map->chain_cnt)
    tpmap_grow(map);
  return map->last = entry;
}

/* Unlinks an entry; a lookup no longer finds it and the map forgets it as
 * its last one. */
void tpmap_remove(tpmap *map, tp *entry) {
  tailq_head<tp> *chain = &map->chains[tpmap_chain_idx(
      map, tp_hash(entry->topic, entry->partition))];
  tailq_remove(chain, entry, &tp::chain_link);
  tailq_remove(&map->tps, entry, &tp::list_link);
  map->entry_cnt--;
  if (map->last == entry)
    map->last = nullptr;
}

/* Destroys every entry, chain by chain since each sits in exactly one; the
 * map keeps its chain array, grown or not, and stays usable. */
void tpmap_clear(tpmap *map) {
  for (int32_t i = 0; map->chains && i < map->chain_cnt; i++) {
    tp *entry = map->chains[i].first;
    while (entry) {
      tp *next = tailq_next(entry, &tp::chain_link);
      tp_destroy(entry);
      entry = next;
    }
    tailq_init(&map->chains[i]);
  }
  tailq_init(&map->tps);
  map->entry_cnt = 0;
  map->last = nullptr;
}

/* Destroys every entry and releases the chain array; the record itself
 * belongs to its owner. */
void tpmap_destroy(tpmap *map) {
  tpmap_clear(map);
  ic_free(map->chains);
  map->chains = nullptr;
}

/* Releases an entry with its buckets; its topic copy is part of its block.
 * The caller unlinks. */
void tp_destroy(tp *entry) {
  for (timebuckets &set : entry->sets)
    timebuckets_destroy(&set);
  ic_free(entry);
}
