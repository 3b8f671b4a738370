/* Aggregation store: the topic-partition map and its window buckets. */
#include "timebuckets/timebuckets.h"
#include "tpmap/tpmap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int64_t WINDOW = 15000;

/* Checks that every link of a queue points back where it is referenced
 * from, and returns its elements in order. */
template <typename T>
std::vector<T *> queue_items(const tailq_head<T> *head,
                             tailq_link<T> T::*link) {
  std::vector<T *> items;
  T *const *expected_prev = &head->first;
  for (T *e = head->first; e; e = tailq_next(e, link)) {
    EXPECT_EQ((e->*link).prev, expected_prev);
    expected_prev = &(e->*link).next;
    items.push_back(e);
  }
  EXPECT_EQ(head->last, expected_prev);
  return items;
}

/* Checks the map's invariants: each entry once in tps and in its hash
 * chain, chains in strictly descending key order. Returns tps. */
std::vector<tp *> map_entries(const tpmap *map) {
  size_t chained = 0;
  for (int32_t i = 0; i < map->chain_cnt; i++) {
    std::vector<tp *> chain = queue_items(&map->chains[i], &tp::chain_link);
    for (size_t j = 0; j < chain.size(); j++) {
      EXPECT_EQ(tp_hash(chain[j]->topic, chain[j]->partition) %
                    static_cast<uint32_t>(map->chain_cnt),
                static_cast<uint32_t>(i));
      if (j == 0)
        continue;
      if (chain[j - 1]->partition == chain[j]->partition) {
        EXPECT_GT(strcmp(chain[j - 1]->topic, chain[j]->topic), 0);
      } else {
        EXPECT_GT(chain[j - 1]->partition, chain[j]->partition);
      }
    }
    chained += chain.size();
  }
  std::vector<tp *> tps = queue_items(&map->tps, &tp::list_link);
  EXPECT_EQ(chained, tps.size());
  return tps;
}

/* Same for a bucket set: each bucket in its window's chain, chains in
 * strictly descending window start. Returns the creation list. */
std::vector<timebucket *> set_buckets(const timebuckets *tb) {
  size_t chained = 0;
  for (int32_t i = 0; tb->chains && i < tb->chain_cnt; i++) {
    std::vector<timebucket *> chain =
        queue_items(&tb->chains[i], &timebucket::chain_link);
    for (size_t j = 0; j < chain.size(); j++) {
      EXPECT_EQ(chain[j]->msg.window % tb->window_ms, 0);
      EXPECT_EQ(chain[j]->msg.window / tb->window_ms % tb->chain_cnt, i);
      if (j > 0) {
        EXPECT_GT(chain[j - 1]->msg.window, chain[j]->msg.window);
      }
    }
    chained += chain.size();
  }
  std::vector<timebucket *> all =
      queue_items(&tb->buckets, &timebucket::list_link);
  EXPECT_EQ(static_cast<size_t>(tb->bucket_cnt), all.size());
  if (tb->chains) {
    EXPECT_EQ(chained, all.size());
  }
  return all;
}

/* A set with chains: five buckets, windows 2 to 6 and so chains 2 to 6, one
 * more than the creation list holds alone. */
void chained_set(timebuckets *tb) {
  timebuckets_init(tb, 31, WINDOW);
  for (int64_t w = 2; w <= 6; w++)
    ASSERT_NE(timebucket_get(tb, w * WINDOW), nullptr);
  ASSERT_NE(tb->chains, nullptr);
}

/* Makes the n-th allocation of op fail for n = 1, 2, ... until op makes
 * fewer than n allocations, i.e. succeeds untouched. op reports whether it
 * got its result. Returns the number of runs that met a failure. */
template <typename Op> long walk_alloc_failures(Op op) {
  long n = 1;
  for (;; n++) {
    ic_alloc_fail_at(n);
    bool ok = op();
    long made = ic_alloc_fail_at(0);
    if (made < n) {
      EXPECT_TRUE(ok) << "no allocation failed in run " << n;
      break;
    }
    EXPECT_FALSE(ok) << "allocation " << n << " failed unnoticed";
  }
  return n - 1;
}

} // namespace

TEST(TpMap, HashAndChainOfKnownKeys) {
  struct {
    const char *topic;
    int32_t partition;
    uint32_t hash;
    uint32_t chain;
  } cases[] = {
      {"", 0, 177573u, 5},           {"", -1, 177572u, 4},
      {"a", 0, 5860006u, 14},        {"a", 1, 5860039u, 16},
      {"orders", 3, 4125257111u, 1}, {"\xE9", 0, 5859886u, 18},
  };
  tpmap map;
  tpmap_init(&map, TPMAP_CHAIN_CNT);
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.topic) + "/" + std::to_string(c.partition));
    EXPECT_EQ(tp_hash(c.topic, c.partition), c.hash);
    tp *e = tp_get(&map, c.topic, c.partition, WINDOW);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(map.chains[c.chain].first, e);
  }
  /* Greater keys arriving later go in front within their chain. */
  tp *p31 = tp_get(&map, "", 31, WINDOW);
  tp *an = tp_get(&map, "an", 0, WINDOW);
  EXPECT_EQ(queue_items(&map.chains[5], &tp::chain_link),
            (std::vector<tp *>{p31, tp_get(&map, "", 0, WINDOW)}));
  EXPECT_EQ(queue_items(&map.chains[14], &tp::chain_link),
            (std::vector<tp *>{an, tp_get(&map, "a", 0, WINDOW)}));
  map_entries(&map);
  tpmap_destroy(&map);
}

TEST(TpMap, OneEntryPerKeyInOrderOfCreation) {
  const char *topics[] = {"", "a", "an", "orders", "\xE9", "t1", "t2"};
  const int32_t partitions[] = {-1, 0, 1, 3, 5, 31, 62, 2147483647};
  tpmap map;
  tpmap_init(&map, TPMAP_CHAIN_CNT);

  /* Keys arrive scattered over chains; a second pass must find them all. */
  std::vector<tp *> created;
  for (int pass = 0; pass < 2; pass++) {
    size_t i = 0;
    for (int32_t partition : partitions)
      for (const char *topic : topics) {
        tp *e = tp_get(&map, topic, partition, pass ? 1 : WINDOW);
        ASSERT_NE(e, nullptr);
        if (pass == 0) {
          EXPECT_STREQ(e->topic, topic);
          EXPECT_NE(e->topic, topic); /* own copy */
          EXPECT_EQ(e->partition, partition);
          EXPECT_EQ(e->seq, 0);
          EXPECT_TRUE(tailq_empty(&e->sets[0].buckets));
          created.push_back(e);
        } else {
          EXPECT_EQ(e, created[i++]);
          EXPECT_EQ(e->sets[0].window_ms, WINDOW); /* not the new 1 */
        }
      }
  }
  EXPECT_EQ(map_entries(&map), created);
  tpmap_destroy(&map);
}

TEST(TpMap, ClearLeavesMapUsableAndEntriesFresh) {
  tpmap map;
  tpmap_init(&map, TPMAP_CHAIN_CNT);
  tpmap_clear(&map);
  EXPECT_TRUE(map_entries(&map).empty());

  tp *e = tp_get(&map, "t1", 0, WINDOW);
  ASSERT_NE(e, nullptr);
  ASSERT_NE(timebucket_get(&e->sets[0], 1), nullptr);
  e->seq = 9;
  ASSERT_NE(tp_get(&map, "t2", 5, WINDOW), nullptr);

  tailq_head<tp> *chains = map.chains;
  tpmap_clear(&map);
  EXPECT_EQ(map.chains, chains);
  EXPECT_EQ(map.chain_cnt, TPMAP_CHAIN_CNT);
  EXPECT_TRUE(map_entries(&map).empty());

  e = tp_get(&map, "t1", 0, WINDOW);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->seq, 0);
  EXPECT_TRUE(tailq_empty(&e->sets[0].buckets));
  EXPECT_EQ(map_entries(&map), (std::vector<tp *>{e}));
  tpmap_destroy(&map);
  EXPECT_EQ(map.chains, nullptr);
}

TEST(TimeBuckets, WindowStartAndChainOfKnownTimes) {
  struct {
    int64_t time, start;
    int32_t chain;
  } cases[] = {
      {15000, 15000, 1},
      {14999, 0, 0},
      {1, 0, 0},
      {1700000000123, 1699999995000, 30},
  };
  timebuckets tb;
  chained_set(&tb);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.time);
    timebucket *b = timebucket_get(&tb, c.time);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->msg.window, c.start);
    EXPECT_EQ(tb.chains[c.chain].first, b);
  }
  /* 14999 and 1 share one bucket; 465000 shares its chain, ahead. */
  timebucket *early = timebucket_get(&tb, 1);
  timebucket *late = timebucket_get(&tb, 465000);
  EXPECT_EQ(queue_items(&tb.chains[0], &timebucket::chain_link),
            (std::vector<timebucket *>{late, early}));
  EXPECT_EQ(set_buckets(&tb).size(), 9u);
  timebuckets_destroy(&tb);
}

TEST(TimeBuckets, NewBucketsInOrderOfCreationWithDefaults) {
  timebuckets tb;
  timebuckets_init(&tb, 31, WINDOW);

  std::vector<timebucket *> created;
  for (int64_t t : {30000, 15000, 45000})
    created.push_back(timebucket_get(&tb, t));
  /* Many windows sharing chains, out of order, each hit twice. */
  for (int pass = 0; pass < 2; pass++)
    for (int64_t w = 1; w <= 100; w++) {
      timebucket *b = timebucket_get(&tb, (w * 37 % 101) * WINDOW + 7);
      if (pass == 0 && b != created[0] && b != created[1] && b != created[2])
        created.push_back(b);
    }
  EXPECT_EQ(set_buckets(&tb), created);

  const MonitoringMessage &m = created[0]->msg;
  EXPECT_EQ(m.count, 0);
  EXPECT_EQ(m.aggregate_bytes, 0);
  EXPECT_EQ(m.latency_sum, 0);
  EXPECT_EQ(m.min_latency, 2147483647);
  EXPECT_EQ(m.max_latency, 0);
  EXPECT_EQ(m.record_kind, 0u);
  EXPECT_EQ(m.window, 30000);
  timebuckets_destroy(&tb);
}

TEST(TimeBuckets, ClearAfterPublishStartsAfresh) {
  timebuckets tb;
  timebuckets_init(&tb, 31, WINDOW);
  timebucket *b = timebucket_get(&tb, 20000);
  ASSERT_NE(b, nullptr);
  b->msg.count = 4;
  b->msg.min_latency = 3;
  ASSERT_NE(timebucket_get(&tb, 1), nullptr);

  /* The publishing side releases the buckets itself, then clears with 0. */
  for (timebucket *it = tb.buckets.first; it;) {
    timebucket *next = tailq_next(it, &timebucket::list_link);
    timebucket_destroy(it);
    it = next;
  }
  timebuckets_clear(&tb, 0);
  EXPECT_TRUE(set_buckets(&tb).empty());
  EXPECT_EQ(tb.window_ms, WINDOW);
  EXPECT_EQ(tb.chain_cnt, 31);

  /* A late message for the published window gets a fresh record. */
  b = timebucket_get(&tb, 29999);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->msg.window, 15000);
  EXPECT_EQ(b->msg.count, 0);
  EXPECT_EQ(b->msg.min_latency, 2147483647);
  EXPECT_EQ(set_buckets(&tb), (std::vector<timebucket *>{b}));

  timebuckets_clear(&tb, 1);
  EXPECT_TRUE(set_buckets(&tb).empty());
  timebuckets_destroy(&tb);
  EXPECT_EQ(tb.chains, nullptr);
}

TEST(TimeBuckets, ListUntilFiveBucketsThenChains) {
  timebuckets tb;
  timebuckets_init(&tb, 31, WINDOW);
  EXPECT_EQ(tb.chains, nullptr); /* no allocation for an idle entry */

  /* Four windows, hit in every order and at both ends of each window. */
  std::vector<timebucket *> created;
  for (int64_t w : {3, 1, 34, 2})
    created.push_back(timebucket_get(&tb, w * WINDOW + WINDOW - 1));
  for (int64_t w : {2, 34, 1, 3}) {
    EXPECT_EQ(timebucket_get(&tb, w * WINDOW)->msg.window, w * WINDOW);
    EXPECT_EQ(timebucket_get(&tb, w * WINDOW + 1)->msg.window, w * WINDOW);
  }
  EXPECT_EQ(tb.chains, nullptr);
  EXPECT_EQ(set_buckets(&tb), created);

  /* The fifth chains all of them, in their windows' chains, most recent
   * first: windows 3 and 34 share chain 3. */
  created.push_back(timebucket_get(&tb, 65 * WINDOW));
  ASSERT_NE(tb.chains, nullptr);
  EXPECT_EQ(set_buckets(&tb), created);
  EXPECT_EQ(queue_items(&tb.chains[3], &timebucket::chain_link),
            (std::vector<timebucket *>{created[4], created[2], created[0]}));
  for (size_t i = 0; i < created.size(); i++)
    EXPECT_EQ(timebucket_get(&tb, created[i]->msg.window + 7), created[i]);

  /* A publish pass releases the buckets and the chains: back to the list. */
  timebuckets_clear(&tb, 1);
  EXPECT_EQ(tb.chains, nullptr);
  EXPECT_TRUE(set_buckets(&tb).empty());
  timebucket *b = timebucket_get(&tb, 3 * WINDOW);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->msg.count, 0);
  EXPECT_EQ(set_buckets(&tb), (std::vector<timebucket *>{b}));
  timebuckets_destroy(&tb);
}

TEST(TpMap, ChainsDoubleAndKeepOrder) {
  tpmap map;
  tpmap_init(&map, TPMAP_CHAIN_CNT);
  const int32_t per_topic = 37;
  std::vector<std::string> topics;
  for (int t = 0; t < 120; t++)
    topics.push_back("growth." + std::to_string(t * 7919));

  /* 4440 entries, created topic by topic; the count doubles each time the
   * entries exceed twice the chains: 31, 62, ..., 3968 chains. */
  std::vector<tp *> created;
  std::vector<int32_t> seen_cnt;
  for (const std::string &topic : topics)
    for (int32_t p = 0; p < per_topic; p++) {
      tp *e = tp_get(&map, topic.c_str(), p * 3 - 10, WINDOW);
      ASSERT_NE(e, nullptr);
      created.push_back(e);
      EXPECT_LE(map.entry_cnt, int64_t{TPMAP_LOAD_MAX} * map.chain_cnt);
      if (seen_cnt.empty() || seen_cnt.back() != map.chain_cnt)
        seen_cnt.push_back(map.chain_cnt);
    }
  EXPECT_EQ(seen_cnt,
            (std::vector<int32_t>{31, 62, 124, 248, 496, 992, 1984, 3968}));
  EXPECT_EQ(map.entry_cnt, static_cast<int64_t>(created.size()));

  /* Every chain holds the entries of its hash modulo the new count, in
   * descending key order; tps is still the order of creation. */
  EXPECT_EQ(map_entries(&map), created);

  /* Every entry is found again, in another order, and a key first seen now
   * lands in its place. */
  size_t i = created.size();
  for (auto it = topics.rbegin(); it != topics.rend(); ++it)
    for (int32_t p = per_topic - 1; p >= 0; p--)
      EXPECT_EQ(tp_get(&map, it->c_str(), p * 3 - 10, 1), created[--i]);
  tp *late = tp_get(&map, "growth.late", 0, WINDOW);
  created.push_back(late);
  EXPECT_EQ(map_entries(&map), created);

  /* Cleared, the map keeps its grown array and starts afresh. */
  tailq_head<tp> *chains = map.chains;
  tpmap_clear(&map);
  EXPECT_EQ(map.chains, chains);
  EXPECT_EQ(map.chain_cnt, 3968);
  EXPECT_EQ(map.entry_cnt, 0);
  EXPECT_TRUE(map_entries(&map).empty());
  created.clear();
  for (int t = 0; t < 3; t++)
    for (int32_t p = 0; p < 5; p++)
      created.push_back(tp_get(&map, topics[t].c_str(), p, WINDOW));
  EXPECT_EQ(map_entries(&map), created);
  EXPECT_EQ(created[0]->seq, 0);
  EXPECT_EQ(tp_get(&map, topics[0].c_str(), 0, WINDOW), created[0]);
  tpmap_destroy(&map);
}

TEST(TpMap, ChainsOfAnyInitialCountDouble) {
  for (int32_t initial : {1, 2, 7}) {
    SCOPED_TRACE(initial);
    tpmap map;
    tpmap_init(&map, initial);
    std::vector<tp *> created;
    for (int32_t p = 0; p < 300; p++)
      created.push_back(tp_get(&map, p % 2 ? "odd" : "even", p / 2, WINDOW));
    EXPECT_EQ(map.chain_cnt, initial << map.chain_shift);
    EXPECT_GT(map.chain_shift, 0);
    EXPECT_EQ(map_entries(&map), created);
    for (int32_t p = 0; p < 300; p++)
      EXPECT_EQ(tp_get(&map, p % 2 ? "odd" : "even", p / 2, WINDOW),
                created[p]);
    tpmap_destroy(&map);
  }
}

TEST(TpMap, LastEntryIsOnlyTakenForItsOwnKey) {
  tpmap map;
  tpmap_init(&map, TPMAP_CHAIN_CNT);
  tp *a0 = tp_get(&map, "a", 0, WINDOW);
  /* Same partition, a topic that starts alike; same topic, another
   * partition; then back. */
  tp *ab0 = tp_get(&map, "ab", 0, WINDOW);
  tp *a1 = tp_get(&map, "a", 1, WINDOW);
  EXPECT_NE(ab0, a0);
  EXPECT_NE(a1, a0);
  EXPECT_EQ(tp_get(&map, "a", 1, WINDOW), a1);
  EXPECT_EQ(tp_get(&map, "a", 0, WINDOW), a0);
  EXPECT_EQ(tp_get(&map, "a", 0, WINDOW), a0);
  EXPECT_EQ(tp_get(&map, "ab", 0, WINDOW), ab0);
  EXPECT_EQ(map_entries(&map), (std::vector<tp *>{a0, ab0, a1}));

  /* A publish pass releases the buckets, not the entries: the run goes on
   * with its entry and a fresh bucket. */
  timebucket *b = timebucket_get(&ab0->sets[0], 1);
  ASSERT_NE(b, nullptr);
  b->msg.count = 5;
  timebucket_destroy(b);
  timebuckets_clear(&ab0->sets[0], 0);
  EXPECT_EQ(tp_get(&map, "ab", 0, WINDOW), ab0);
  b = timebucket_get(&ab0->sets[0], 1);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->msg.count, 0);
  EXPECT_EQ(set_buckets(&ab0->sets[0]), (std::vector<timebucket *>{b}));

  /* After a clear the remembered entry is gone with the others. */
  tpmap_clear(&map);
  EXPECT_EQ(map.last, nullptr);
  tp *fresh = tp_get(&map, "ab", 0, WINDOW);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->seq, 0);
  EXPECT_EQ(map_entries(&map), (std::vector<tp *>{fresh}));
  tpmap_destroy(&map);
}

/* Retiring entries: first, middle and last, across a growth of the chains;
 * the map stays consistent, forgets a retired last entry and goes on
 * appending after a retired tail. */
TEST(TpMap, RemovedEntriesLeaveChainsAndListConsistent) {
  tpmap map;
  tpmap_init(&map, TPMAP_CHAIN_CNT);
  std::vector<tp *> kept;
  std::vector<tp *> all;
  for (int32_t p = 0; p < 200; p++)
    all.push_back(tp_get(&map, p % 3 ? "r" : "s", p, WINDOW));
  for (size_t i = 0; i < all.size(); i++) {
    /* the first, the last, and every third in between */
    if (i == 0 || i == all.size() - 1 || i % 3 == 1) {
      tpmap_remove(&map, all[i]);
      tp_destroy(all[i]);
    } else {
      kept.push_back(all[i]);
    }
  }
  EXPECT_EQ(map.last, nullptr); /* the last one made was retired */
  EXPECT_EQ(map.entry_cnt, static_cast<int64_t>(kept.size()));
  EXPECT_EQ(map_entries(&map), kept);
  for (tp *e : kept)
    EXPECT_EQ(tp_get(&map, e->topic, e->partition, WINDOW), e);

  /* A retired key comes back as a fresh entry at the tail, and appends after
   * a retired tail link correctly. */
  tp *back = tp_get(&map, "r", 199, WINDOW); /* the retired tail */
  EXPECT_EQ(back->seq, 0);
  kept.push_back(back);
  for (int32_t p = 1000; p < 1400; p++)
    kept.push_back(tp_get(&map, "t", p, WINDOW)); /* grows the chains */
  EXPECT_EQ(map_entries(&map), kept);
  tpmap_destroy(&map);
}

TEST(StoreAllocFailure, ChainArraysUnavailable) {
  tpmap map;
  EXPECT_EQ(walk_alloc_failures([&] {
              tpmap_init(&map, TPMAP_CHAIN_CNT);
              bool ok = map.chains != nullptr;
              if (!ok) {
                EXPECT_EQ(map.chain_cnt, TPMAP_CHAIN_CNT);
                EXPECT_EQ(tp_get(&map, "t1", 0, WINDOW), nullptr);
                tpmap_clear(&map);
                EXPECT_TRUE(tailq_empty(&map.tps));
              }
              tpmap_destroy(&map);
              return ok;
            }),
            1);

  /* A set allocates its chains with its fifth bucket: the bucket first,
   * then the array. Without the array the bucket is still handed out and
   * the set goes on walking its list, until a later bucket gets chains. */
  timebuckets tb;
  timebuckets_init(&tb, 31, WINDOW);
  std::vector<timebucket *> created;
  for (int64_t w = 1; w <= 4; w++)
    created.push_back(timebucket_get(&tb, w * WINDOW));
  ic_alloc_fail_at(1);
  EXPECT_EQ(timebucket_get(&tb, 5 * WINDOW), nullptr);
  EXPECT_EQ(ic_alloc_fail_at(2), 1);
  created.push_back(timebucket_get(&tb, 5 * WINDOW));
  EXPECT_EQ(ic_alloc_fail_at(0), 2);
  ASSERT_NE(created.back(), nullptr);
  EXPECT_EQ(tb.chains, nullptr);
  EXPECT_EQ(set_buckets(&tb), created);
  for (timebucket *b : created)
    EXPECT_EQ(timebucket_get(&tb, b->msg.window + 1), b);
  created.push_back(timebucket_get(&tb, 6 * WINDOW));
  ASSERT_NE(tb.chains, nullptr);
  EXPECT_EQ(set_buckets(&tb), created);
  for (timebucket *b : created)
    EXPECT_EQ(timebucket_get(&tb, b->msg.window + 1), b);
  timebuckets_destroy(&tb);
  ic_alloc_fail_at(0);
}

TEST(StoreAllocFailure, NewEntryLinksNothingUntilRetry) {
  tpmap map;
  tpmap_init(&map, TPMAP_CHAIN_CNT);
  tp *p0 = tp_get(&map, "", 0, WINDOW);
  ASSERT_NE(p0, nullptr);

  /* ("", 31) would go in front of ("", 0) in chain 5. The entry with its
   * topic copy is one allocation; its buckets have none yet. */
  tp *p31 = nullptr;
  EXPECT_EQ(walk_alloc_failures([&] {
              p31 = tp_get(&map, "", 31, WINDOW);
              if (!p31) {
                EXPECT_EQ(map_entries(&map), (std::vector<tp *>{p0}));
                EXPECT_EQ(map.entry_cnt, 1);
              }
              return p31 != nullptr;
            }),
            1);
  EXPECT_EQ(map_entries(&map), (std::vector<tp *>{p0, p31}));
  EXPECT_EQ(map.chains[5].first, p31);

  /* Finding an entry allocates nothing, so it cannot fail. */
  ic_alloc_fail_at(1);
  EXPECT_EQ(tp_get(&map, "", 0, WINDOW), p0);
  EXPECT_EQ(tp_get(&map, "", 31, WINDOW), p31);
  EXPECT_EQ(ic_alloc_fail_at(0), 0);

  tpmap_destroy(&map);
  ic_alloc_fail_at(0);
}

TEST(StoreAllocFailure, GrowthKeepsTheMapUsable) {
  tpmap map;
  tpmap_init(&map, TPMAP_CHAIN_CNT);
  std::vector<tp *> created;
  for (int32_t p = 0; p < 2 * TPMAP_CHAIN_CNT; p++)
    created.push_back(tp_get(&map, "g", p, WINDOW));
  ASSERT_EQ(map.chain_cnt, TPMAP_CHAIN_CNT);

  /* The 63rd entry is one allocation, the doubled array a second. Without
   * the array the entry is made all the same, in the old chains. */
  ic_alloc_fail_at(2);
  tp *e = tp_get(&map, "g", 62, WINDOW);
  EXPECT_EQ(ic_alloc_fail_at(0), 2);
  ASSERT_NE(e, nullptr);
  created.push_back(e);
  EXPECT_EQ(map.chain_cnt, TPMAP_CHAIN_CNT);
  EXPECT_EQ(map.entry_cnt, 63);
  EXPECT_EQ(map_entries(&map), created);
  for (int32_t p = 0; p < 63; p++)
    EXPECT_EQ(tp_get(&map, "g", p, WINDOW), created[p]);

  /* A failed entry does not grow the map either; the next one does. */
  ic_alloc_fail_at(1);
  EXPECT_EQ(tp_get(&map, "g", 63, WINDOW), nullptr);
  EXPECT_EQ(ic_alloc_fail_at(0), 1);
  EXPECT_EQ(map.chain_cnt, TPMAP_CHAIN_CNT);
  created.push_back(tp_get(&map, "g", 63, WINDOW));
  EXPECT_EQ(map.chain_cnt, 2 * TPMAP_CHAIN_CNT);
  EXPECT_EQ(map_entries(&map), created);
  for (int32_t p = 0; p < 64; p++)
    EXPECT_EQ(tp_get(&map, "g", p, WINDOW), created[p]);
  tpmap_destroy(&map);
  ic_alloc_fail_at(0);
}

TEST(StoreAllocFailure, NewBucketLinksNothingUntilRetry) {
  timebuckets tb;
  chained_set(&tb);
  timebucket *early = timebucket_get(&tb, 1);
  ASSERT_NE(early, nullptr);
  std::vector<timebucket *> before = set_buckets(&tb);

  /* Window 465000 would go in front of window 0 in chain 0. */
  timebucket *late = nullptr;
  EXPECT_EQ(walk_alloc_failures([&] {
              late = timebucket_get(&tb, 465000);
              if (!late) {
                EXPECT_EQ(set_buckets(&tb), before);
              }
              return late != nullptr;
            }),
            1);
  EXPECT_EQ(queue_items(&tb.chains[0], &timebucket::chain_link),
            (std::vector<timebucket *>{late, early}));

  ic_alloc_fail_at(1);
  EXPECT_EQ(timebucket_get(&tb, 465001), late);
  EXPECT_EQ(ic_alloc_fail_at(0), 0);

  timebuckets_destroy(&tb);
  ic_alloc_fail_at(0);
}
