/* The shards of exporters that share a group: the choice of a shard, which
 * every exporter must make alike whatever its build; the routed record's
 * source and the dedup of records routed twice; a shard's state through
 * save and load, and an aggregate that forgets a shard given up and takes
 * a shard's streams up where their last reader left them. */
#include "exporter/aggregate.h"
#include "exporter/shards.h"
#include "unit_records.h"

#include <gtest/gtest.h>
#include <map>
#include <set>

namespace {

/* Pinned: exporters of two builds in one group must route a topic-partition
 * to the same shard, or its records meet nowhere. */
TEST(Shards, EveryBuildChoosesTheSameShardAndSpreadsThem) {
  EXPECT_EQ(w4_shard_of("orders", 0, 16), w4_shard_of("orders", 0, 16));
  /* FNV-1a over the topic's bytes and the partition's four, little
   * endian, the 64-bit finaliser, modulo the shards: worked out apart from
   * the code. */
  EXPECT_EQ(1, w4_shard_of("orders", 0, 16));
  EXPECT_EQ(4, w4_shard_of("orders", 1, 16));
  EXPECT_EQ(5, w4_shard_of("payments", 7, 16));
  EXPECT_EQ(0, w4_shard_of("", 0, 1));
  /* Names that differ only in the high bits of a byte land apart. */
  std::set<int32_t> apart;
  for (char c : {'!', '1', 'A', 'Q', 'a', 'q'})
    apart.insert(w4_shard_of(std::string("topic-") + c, 0, 16));
  EXPECT_GT(apart.size(), 3u);
  std::map<int32_t, int> per_shard;
  for (int t = 0; t < 50; t++)
    for (int32_t p = 0; p < 20; p++) {
      int32_t s = w4_shard_of("topic-" + std::to_string(t), p, 16);
      ASSERT_GE(s, 0);
      ASSERT_LT(s, 16);
      per_shard[s]++;
    }
  /* 1,000 topic-partitions over 16 shards: 62.5 each on average. */
  ASSERT_EQ(16u, per_shard.size());
  for (const auto &kv : per_shard) {
    EXPECT_GT(kv.second, 35) << "shard " << kv.first;
    EXPECT_LT(kv.second, 95) << "shard " << kv.first;
  }
}

TEST(Shards, TopicNamesAreValidWhateverTheGroup) {
  EXPECT_EQ("_quarndale-monitoring-shards-fleet.a_1",
            w4_shard_topic_name("_quarndale-monitoring", "fleet.a_1"));
  EXPECT_EQ("mon-shards-a_b___", w4_shard_topic_name("mon", "a b/\xc3\xa9"));
  EXPECT_EQ(249u,
            w4_shard_topic_name("_quarndale-monitoring", std::string(400, 'g'))
                .size());
}

TEST(Shards, SourcesRoundTripAndGarbageIsNoSource) {
  int32_t p = -1;
  int64_t o = -1;
  std::string v = w4_shard_source(3, INT64_C(1) << 40);
  ASSERT_TRUE(w4_shard_source_parse(v.data(), v.size(), &p, &o));
  EXPECT_EQ(3, p);
  EXPECT_EQ(INT64_C(1) << 40, o);
  std::string longer = v + "x";
  EXPECT_FALSE(w4_shard_source_parse(longer.data(), longer.size(), &p, &o));
  EXPECT_FALSE(w4_shard_source_parse(v.data(), 1, &p, &o));
  EXPECT_FALSE(w4_shard_source_parse(nullptr, 0, &p, &o));
  std::string big = w4_shard_source(0, 0);
  big[0] = '\xff'; /* a partition beyond 2^31 */
  big.insert(1, "\xff\xff\xff\x0f");
  EXPECT_FALSE(w4_shard_source_parse(big.data(), big.size(), &p, &o));
}

/* A router that died re-reads its partition from the last commit: what the
 * shard took is dropped, per monitoring partition, also after the shard's
 * state went through a save to its next owner. */
TEST(Shards, RecordsRoutedTwiceAreTakenOnceAcrossAHandOver) {
  w4_shard s;
  s.audit.settle_ms = 1000;
  for (int64_t off = 10; off < 20; off++)
    EXPECT_TRUE(w4_shard_take(&s, 0, off));
  EXPECT_TRUE(w4_shard_take(&s, 1, 5));
  fields f;
  f.count = 7;
  w4_audit_add(&s.audit, decode(encode(f)), 0);

  w4_shard next;
  next.audit.settle_ms = 1000;
  ASSERT_TRUE(w4_shard_load(&next, w4_shard_save(s, 100), 100));
  for (int64_t off = 15; off < 20; off++)
    EXPECT_FALSE(w4_shard_take(&next, 0, off)); /* routed again */
  EXPECT_FALSE(w4_shard_take(&next, 1, 5));
  EXPECT_TRUE(w4_shard_take(&next, 0, 20));
  EXPECT_TRUE(w4_shard_take(&next, 1, 6));
  EXPECT_TRUE(w4_shard_take(&next, 2, 0)); /* a partition new to it */
  EXPECT_EQ(6u, next.rerouted);
  EXPECT_EQ(w4_audit_save(s.audit, 100), w4_audit_save(next.audit, 100));

  std::string bytes = w4_shard_save(s, 100);
  w4_shard bad;
  EXPECT_FALSE(w4_shard_load(&bad, bytes.substr(0, 3), 100));
  EXPECT_FALSE(w4_shard_load(&bad, "\xff\xff\xff\xff\x0f", 100));
  EXPECT_TRUE(bad.taken.empty());
}

/* A shard given up and later taken back: its streams start afresh rather
 * than count the records another exporter read as missing. */
TEST(Shards, AnAggregateForgetsTheSequencesOfAShardGivenUp) {
  w4_aggregate agg;
  agg.settle_ms = 100;
  fields f;
  for (int32_t p = 0; p < 2; p++)
    for (int64_t seq = 0; seq < 3; seq++) {
      f.partition = p;
      f.sequence = seq;
      w4_aggregate_add(&agg, decode(encode(f)), 0);
    }
  w4_aggregate_forget(&agg, [](const std::string &topic, int32_t partition) {
    return topic == "orders" && partition == 1;
  });
  /* Another exporter read 3 to 9 of partition 1 meanwhile. */
  for (int32_t p = 0; p < 2; p++) {
    f.partition = p;
    f.sequence = p == 0 ? 3 : 10;
    w4_aggregate_add(&agg, decode(encode(f)), 1000);
  }
  w4_aggregate_tick(&agg, 5000);
  EXPECT_EQ(0u, w4_aggregate_missing(agg));
  /* Without the forgetting, partition 1 would have a hole of 7. */
  w4_aggregate kept;
  kept.settle_ms = 100;
  for (int64_t seq : {0, 1, 2, 10}) {
    f.partition = 1;
    f.sequence = seq;
    w4_aggregate_add(&kept, decode(encode(f)), seq == 10 ? 1000 : 0);
  }
  w4_aggregate_tick(&kept, 5000);
  EXPECT_EQ(7u, w4_aggregate_missing(kept));
}

/* A shard taken on at a saved position: a stream's records reached the
 * shard in any order, so what the last owner read lies anywhere below the
 * highest number seen while the first records come in; later holes count. */
TEST(Shards, StreamsTakenUpAtASavedPositionCountOnlyLaterHoles) {
  for (bool resumed : {true, false}) {
    w4_aggregate agg;
    agg.settle_ms = 100;
    if (resumed)
      w4_aggregate_resume(&agg, 0, [](const std::string &topic, int32_t) {
        return topic == "orders";
      });
    fields f;
    /* The last owner read 47 and 48; 45, 46, 49, 50 came after. */
    for (int64_t seq : {45, 46, 49, 50}) {
      f.sequence = seq;
      w4_aggregate_add(&agg, decode(encode(f)), 10);
    }
    w4_aggregate_tick(&agg, 1000);
    EXPECT_EQ(resumed ? 0u : 2u, w4_aggregate_missing(agg)) << resumed;
    /* 51 never comes. */
    f.sequence = 52;
    w4_aggregate_add(&agg, decode(encode(f)), 1000);
    w4_aggregate_tick(&agg, 2000);
    EXPECT_EQ(resumed ? 1u : 3u, w4_aggregate_missing(agg)) << resumed;
  }
}

} // namespace
