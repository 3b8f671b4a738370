/* Topic-partition map: entries chained by hash, each chain in descending key
 * order, and listed in order of creation, which is the order of publishing.
 * Every function runs with the owning instance's lock held.
 *
 * Out of memory: nothing is written through an allocation that failed. A map
 * whose chain array could not be had keeps chains nullptr (chain_cnt as
 * given), hands out no entry and is still safe to clear and destroy. When a
 * new entry, its topic copy or its buckets' chain array cannot be had,
 * tp_get releases what it got and returns nullptr without linking anything.
 * The caller then drops that message's metrics, and the next message of the
 * topic-partition tries again. */
#include "tpmap/tpmap.h"

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

/* Initialises an empty map with its chain array. */
void tpmap_init(tpmap *map, int32_t chain_cnt) {
  *map = tpmap{};
  map->chain_cnt = chain_cnt;
  tailq_init(&map->tps);

  if (chain_cnt < 1)
    return; /* no chain to hash into: the map stays without chains */
  map->chains = static_cast<tailq_head<tp> *>(
      ic_calloc(static_cast<size_t>(chain_cnt), sizeof(*map->chains)));
  if (!map->chains)
    return;
  for (int32_t i = 0; i < chain_cnt; i++)
    tailq_init(&map->chains[i]);
}

/* Orders a sought key against an entry: partition first, then topic bytes.
 * Negative, zero or positive as the key is smaller, equal or greater. */
static int tp_cmp(const char *topic, int32_t partition, const tp *entry) {
  if (partition != entry->partition)
    return partition > entry->partition ? 1 : -1;
  return strcmp(topic, entry->topic);
}

/* Allocates an entry with its topic copy and empty buckets; nullptr, with
 * everything it got released, when memory cannot be had. */
static tp *tp_new(const char *topic, int32_t partition, int32_t window_ms) {
  tp *entry = static_cast<tp *>(ic_calloc(1, sizeof(*entry)));
  if (!entry)
    return nullptr;
  entry->partition = partition;
  entry->topic = ic_strdup(topic);
  if (entry->topic)
    timebuckets_init(&entry->timebuckets, TIMEBUCKETS_CHAIN_CNT, window_ms);
  if (!entry->topic || !entry->timebuckets.chains) {
    /* A zero-filled set without chains is safe to destroy. */
    tp_destroy(entry);
    return nullptr;
  }
  return entry;
}

/* Finds the entry of (topic, partition) or creates it in its chain and at
 * the tail of the creation list; window_ms only applies to a new entry. */
tp *tp_get(tpmap *map, const char *topic, int32_t partition,
           int32_t window_ms) {
  if (!map->chains)
    return nullptr;

  /* The instance's chain count is a constant: its remainder needs no
   * division instruction. */
  uint32_t h = tp_hash(topic, partition);
  uint32_t idx = map->chain_cnt == TPMAP_CHAIN_CNT
                     ? h % static_cast<uint32_t>(TPMAP_CHAIN_CNT)
                     : h % static_cast<uint32_t>(map->chain_cnt);
  tailq_head<tp> *chain = &map->chains[idx];

  tp *at = chain->first;
  int cmp = 0;
  while (at && (cmp = tp_cmp(topic, partition, at)) < 0)
    at = tailq_next(at, &tp::chain_link);
  if (at && cmp == 0)
    return at;

  tp *entry = tp_new(topic, partition, window_ms);
  if (!entry)
    return nullptr;
  if (at)
    tailq_insert_before(at, entry, &tp::chain_link);
  else
    tailq_append(chain, entry, &tp::chain_link);
  tailq_append(&map->tps, entry, &tp::list_link);
  return entry;
}

/* Destroys every entry, chain by chain since each sits in exactly one; the
 * map keeps its chain array and stays usable. */
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
}

/* Destroys every entry and releases the chain array; the record itself
 * belongs to its owner. */
void tpmap_destroy(tpmap *map) {
  tpmap_clear(map);
  ic_free(map->chains);
  map->chains = nullptr;
}

/* Releases an entry with its buckets and topic copy; the caller unlinks. */
void tp_destroy(tp *entry) {
  timebuckets_destroy(&entry->timebuckets);
  ic_free(entry->topic);
  ic_free(entry);
}
