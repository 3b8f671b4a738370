/* The delivery audit, fed with records encoded as the plug-in encodes them
 * and a clock of the test's own: judgement by the group's progress, lag,
 * groups that start late, read part of a topic or stop, clusters that share
 * a topic name, records out of order, and the state saved and restored. */
#include "exporter/audit.h"
#include "unit_records.h"

#include <gtest/gtest.h>
#include <random>

namespace {

const int64_t SETTLE = 2000;
const uint32_t P = W4_CLIENT_PRODUCER, C = W4_CLIENT_CONSUMER;

/* One record of the audit's traffic. */
struct rec {
  uint32_t type;     /* 1 producer, 0 consumer */
  std::string group; /* consumers */
  int32_t partition;
  int64_t window;
  int64_t count;
  std::string cluster = "c1";
  std::string session = std::string(32, 'a');
  int64_t min_offset = -1; /* with the offsets setting: the record's range */
  int64_t max_offset = -1;
};

/* Adds r to the audit as arriving at now. */
void add(w4_audit *a, const rec &r, int64_t now,
         std::vector<w4_audit_row> *rows = nullptr) {
  fields s;
  s.client_type = r.type;
  s.client_id = r.type == P ? "prod" : "cons-" + r.group;
  s.group_id = r.group;
  s.session_id = r.session;
  s.cluster_id = r.cluster;
  s.partition = r.partition;
  s.window = r.window;
  s.count = r.count;
  w4_record d = decode(encode(s));
  d.has_min_offset = d.has_max_offset = r.min_offset >= 0;
  d.min_offset = r.min_offset;
  d.max_offset = r.max_offset;
  w4_audit_add(a, d, now, rows);
}

/* A fresh audit with the test's settle time. */
w4_audit audit_new(void) {
  w4_audit a;
  a.settle_ms = SETTLE;
  return a;
}

/* The counters of a group on topic "orders" of cluster c1. */
w4_audit_totals totals(const w4_audit &a, const std::string &group,
                       const std::string &cluster = "c1") {
  auto it = a.totals.find(w4_audit_key(cluster, "orders", group));
  return it == a.totals.end() ? w4_audit_totals() : it->second;
}

/* The gauges of a group on topic "orders" of cluster c1. */
w4_audit_lag lag(const w4_audit &a, const std::string &group) {
  auto it = a.lag.find(w4_audit_key("c1", "orders", group));
  return it == a.lag.end() ? w4_audit_lag() : it->second;
}

/* Ticks every 100 ms from *now to until. */
void run_to(w4_audit *a, int64_t *now, int64_t until,
            std::vector<w4_audit_row> *rows = nullptr) {
  for (; *now <= until; *now += 100)
    w4_audit_tick(a, *now, rows);
  *now = until;
}

TEST(Audit, LagIsPendingUntilTheGroupPassesAndThenExact) {
  w4_audit a = audit_new();
  int64_t now = 0;
  /* Producers: 10 messages in each of the windows 1 s .. 20 s. */
  for (int w = 1; w <= 20; w++)
    add(&a, {P, "", 0, w * 1000, 10}, now);
  /* The group reads the first five windows; window 3 only 6 of 10. */
  for (int w = 1; w <= 5; w++)
    add(&a, {C, "g", 0, w * 1000, w == 3 ? 6 : 10}, now);
  run_to(&a, &now, 10000);
  /* Long after settle, the short window stays pending: the group has not
   * moved 2 s past its end. */
  EXPECT_EQ(0u, totals(a, "g").missing);
  EXPECT_EQ(4u, totals(a, "g").windows);
  EXPECT_EQ(4u + 15 * 10, lag(a, "g").pending);
  EXPECT_EQ(15000, lag(a, "g").lag_ms);
  /* Window 6 is consumed: 6 >= 3 + 1 + 2, but only once its record has
   * settled. */
  add(&a, {C, "g", 0, 6000, 10}, now);
  run_to(&a, &now, now + SETTLE - 100);
  EXPECT_EQ(0u, totals(a, "g").missing);
  run_to(&a, &now, now + 200);
  EXPECT_EQ(4u, totals(a, "g").missing);
  /* It catches up: everything else is delivered, nothing pending. */
  for (int w = 7; w <= 20; w++)
    add(&a, {C, "g", 0, w * 1000, 10}, now);
  run_to(&a, &now, now + SETTLE + 200);
  EXPECT_EQ(200u, totals(a, "g").messages);
  EXPECT_EQ(4u, totals(a, "g").missing);
  EXPECT_EQ(0u, totals(a, "g").duplicate);
  EXPECT_EQ(20u, totals(a, "g").windows);
  EXPECT_EQ(0u, lag(a, "g").pending);
  EXPECT_EQ(0, lag(a, "g").lag_ms);
}

TEST(Audit, GroupsAreJudgedWhereTheyConsumeFromTheirFirstWholeWindow) {
  w4_audit a = audit_new();
  int64_t now = 0;
  for (int w = 1; w <= 8; w++)
    for (int32_t p = 0; p < 3; p++) {
      add(&a, {P, "", p, w * 1000, 10}, now);
      /* Another cluster with a topic of the same name, and no group. */
      add(&a, {P, "", p, w * 1000, 7, "c2", std::string(32, 'b')}, now);
    }
  /* "part" reads partition 0 only, everything there. "late" starts in the
   * middle of window 4 of partition 0 and reads on. */
  for (int w = 1; w <= 8; w++)
    add(&a, {C, "part", 0, w * 1000, 10}, now);
  add(&a, {C, "late", 0, 4000, 3}, now);
  for (int w = 5; w <= 8; w++)
    add(&a, {C, "late", 0, w * 1000, 10}, now);
  w4_audit_finish(&a, nullptr);
  EXPECT_EQ(80u, totals(a, "part").messages);
  EXPECT_EQ(0u, totals(a, "part").missing);
  EXPECT_EQ(40u, totals(a, "late").messages);
  EXPECT_EQ(0u, totals(a, "late").missing);
  EXPECT_EQ(4u, totals(a, "late").windows);
  EXPECT_EQ(0u, totals(a, "part", "c2").messages);
  /* Windows 6 .. 8 cannot be passed by what was read: at the end of a
   * bounded read a whole window is judged, a short one would stay. */
  EXPECT_EQ(0u, lag(a, "late").pending);
}

TEST(Audit, AGroupFirstSeenLongAfterItsWindowsIsJudgedFromTheFirst) {
  w4_audit a = audit_new();
  int64_t now = 0;
  /* Producers run for 30 s before the group's first record comes: it
   * started 30 s behind and catches up. */
  for (int w = 1; w <= 30; w++) {
    add(&a, {P, "", 0, w * 1000, 10}, now);
    run_to(&a, &now, now + 1000);
  }
  for (int w = 1; w <= 30; w++)
    add(&a, {C, "late", 0, w * 1000, 10}, now);
  run_to(&a, &now, now + 2 * SETTLE);
  EXPECT_EQ(300u, totals(a, "late").messages);
  EXPECT_EQ(0u, totals(a, "late").missing);
  EXPECT_EQ(30u, totals(a, "late").windows);
  /* Windows are kept for max_age_ms: a group that starts later than that
   * is judged from the first window still kept. */
  a.max_age_ms = 10000;
  w4_audit_tick(&a, now, nullptr);
  for (int w = 1; w <= 30; w++)
    add(&a, {C, "later", 0, w * 1000, 10}, now);
  run_to(&a, &now, now + 2 * SETTLE);
  EXPECT_EQ(0u, totals(a, "later").missing);
  EXPECT_EQ(0u, totals(a, "later").duplicate);
  EXPECT_GT(totals(a, "later").windows, 0u);
  EXPECT_LT(totals(a, "later").windows, 30u);
}

TEST(Audit, OffsetsJudgeAsSoonAsPassedAndSayWhereTheMessagesAre) {
  w4_audit a = audit_new();
  int64_t now = 0;
  std::vector<w4_audit_row> rows;
  /* Producers: windows 1 s .. 6 s, 10 messages each at offsets
   * 10(w-1) .. 10(w-1)+9. The group reads window 1, four messages of
   * window 2 and jumps to offset 20: six missing, at 14 .. 19. */
  for (int w = 1; w <= 6; w++)
    add(&a,
        {P, "", 0, w * 1000, 10, "c1", std::string(32, 'a'), (w - 1) * 10,
         (w - 1) * 10 + 9},
        now);
  rec c{C, "g", 0, 1000, 10};
  c.min_offset = 0, c.max_offset = 9;
  add(&a, c, now);
  c.window = 2000, c.count = 4, c.min_offset = 10, c.max_offset = 13;
  add(&a, c, now);
  c.window = 3000, c.count = 10, c.min_offset = 20, c.max_offset = 29;
  add(&a, c, now);
  /* No margin of windows: judged once settled, though the group has not
   * read 2 s past the short window. */
  run_to(&a, &now, SETTLE, &rows);
  EXPECT_EQ(6u, totals(a, "g").missing);
  ASSERT_EQ(1u, rows.size());
  ASSERT_EQ(1u, rows[0].ranges.size());
  EXPECT_EQ(14, rows[0].ranges[0].first);
  EXPECT_EQ(19, rows[0].ranges[0].second);
  EXPECT_EQ("kcat -C -b BROKERS -t orders -p 0 -o 14 -c 6",
            w4_audit_read_again(rows[0], rows[0].ranges[0]));
  /* Lag in messages: acknowledged up to 59, consumed up to 29. */
  EXPECT_EQ(30, lag(a, "g").lag_messages);
  /* A replay of offsets 20 .. 24 names its range as duplicates. */
  rows.clear();
  c.count = 5, c.min_offset = 20, c.max_offset = 24;
  add(&a, c, now, &rows);
  EXPECT_EQ(5u, totals(a, "g").duplicate);
  ASSERT_EQ(1u, rows.size());
  ASSERT_EQ(1u, rows[0].ranges.size());
  EXPECT_EQ(20, rows[0].ranges[0].first);
  EXPECT_EQ(24, rows[0].ranges[0].second);
  /* A producer without the setting in window 7: that window goes by the
   * window rule, and a group that read it short is pending until it has
   * moved 2 s past it. */
  add(&a, {P, "", 0, 7000, 10}, now);
  for (int w = 4; w <= 6; w++) {
    c.window = w * 1000, c.count = 10;
    c.min_offset = (w - 1) * 10, c.max_offset = (w - 1) * 10 + 9;
    add(&a, c, now);
  }
  rec plain{C, "g", 0, 7000, 3};
  add(&a, plain, now);
  run_to(&a, &now, now + 2 * SETTLE);
  EXPECT_EQ(6u, totals(a, "g").missing);
  EXPECT_EQ(7u, lag(a, "g").pending);
  for (int w = 8; w <= 10; w++) {
    add(&a, {P, "", 0, w * 1000, 1}, now);
    add(&a, {C, "g", 0, w * 1000, 1}, now);
  }
  run_to(&a, &now, now + 2 * SETTLE + 100);
  EXPECT_EQ(6u + 7u, totals(a, "g").missing);
}

TEST(Audit, RecordsOutOfOrderRepeatedOrFromTwoProducerSessions) {
  w4_audit a = audit_new();
  a.max_age_ms = 5000;
  int64_t now = 0;
  std::vector<w4_audit_row> rows;
  /* The consumer's records come first; two producer sessions fill window
   * 1; a later consumer record of window 2 comes after one of window 4
   * (message timestamps out of order within the partition). */
  add(&a, {C, "g", 0, 1000, 10}, now);
  add(&a, {C, "g", 0, 4000, 10}, now);
  add(&a, {P, "", 0, 1000, 4, "c1", std::string(32, 'p')}, 300);
  add(&a, {P, "", 0, 1000, 6, "c1", std::string(32, 'q')}, 400);
  for (int w = 2; w <= 6; w++)
    add(&a, {P, "", 0, w * 1000, 10}, 500);
  add(&a, {C, "g", 0, 2000, 5}, 600);
  add(&a, {C, "g", 0, 3000, 10}, 700);
  add(&a, {C, "g", 0, 2000, 5}, 900);
  add(&a, {C, "g", 0, 5000, 10}, 900);
  add(&a, {C, "g", 0, 6000, 10}, 900);
  run_to(&a, &now, 4000, &rows);
  EXPECT_EQ(60u, totals(a, "g").messages);
  EXPECT_EQ(0u, totals(a, "g").missing);
  EXPECT_EQ(0u, totals(a, "g").duplicate);
  EXPECT_TRUE(rows.empty());
  /* The same consumer record twice is what a group that read twice
   * reports: an excess, once the window is judged and also after. */
  add(&a, {C, "g", 0, 6000, 3}, now, &rows);
  EXPECT_EQ(3u, totals(a, "g").duplicate);
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ(3u, rows[0].duplicate);
  EXPECT_EQ(13, rows[0].consumed);
  /* Forgotten windows: a replay still counts. */
  run_to(&a, &now, now + 3 * SETTLE);
  EXPECT_TRUE(a.streams.begin()->second.windows.empty());
  add(&a, {C, "g", 0, 2000, 10}, now, &rows);
  EXPECT_EQ(13u, totals(a, "g").duplicate);
  EXPECT_EQ(0u, totals(a, "g").missing);
}

TEST(Audit, AGroupThatStopsGivesUpItsPendingAsUnconsumedAndResumes) {
  w4_audit a = audit_new();
  a.horizon_ms = 10000;
  int64_t now = 0;
  for (int w = 1; w <= 3; w++) {
    add(&a, {P, "", 0, w * 1000, 10}, now);
    add(&a, {C, "g", 0, w * 1000, 10}, now);
  }
  /* The group is shut down; producers go on. */
  for (int w = 4; w <= 12; w++) {
    run_to(&a, &now, now + 1000);
    add(&a, {P, "", 0, w * 1000, 10}, now);
  }
  w4_audit_tick(&a, now, nullptr);
  EXPECT_EQ(0u, totals(a, "g").missing);
  EXPECT_EQ(90u, lag(a, "g").pending);
  EXPECT_EQ(9000, lag(a, "g").lag_ms);
  run_to(&a, &now, 10100);
  EXPECT_EQ(90u, totals(a, "g").unconsumed);
  EXPECT_EQ(0u, totals(a, "g").missing);
  EXPECT_EQ(0u, lag(a, "g").pending);
  /* It comes back and reads new windows whole: audited again from there,
   * the windows given up are not judged again. */
  for (int w = 13; w <= 15; w++) {
    add(&a, {P, "", 0, w * 1000, 10}, now);
    add(&a, {C, "g", 0, w * 1000, 10}, now);
  }
  add(&a, {C, "g", 0, 5000, 10}, now);
  run_to(&a, &now, now + SETTLE + 100);
  EXPECT_EQ(60u, totals(a, "g").messages);
  EXPECT_EQ(0u, totals(a, "g").missing);
  EXPECT_EQ(0u, totals(a, "g").duplicate);
  EXPECT_EQ(90u, totals(a, "g").unconsumed);
}

TEST(Audit, RecordsWithoutAClusterJoinTheirSessionsCluster) {
  w4_audit a = audit_new();
  int64_t now = 0;
  /* A consumer's first record came before its client knew the cluster. */
  add(&a, {P, "", 0, 1000, 10}, now);
  add(&a, {C, "g", 0, 1000, 10, ""}, now);
  add(&a, {C, "g", 0, 2000, 10, "c1"}, 100);
  add(&a, {P, "", 0, 2000, 10}, 100);
  /* A session on the other cluster never names it: its record goes to the
   * only cluster with that topic only when there is one. */
  add(&a, {P, "", 0, 1000, 5, "c2", std::string(32, 'x')}, 100);
  add(&a, {C, "h", 0, 1000, 5, "", std::string(32, 'y')}, 100);
  run_to(&a, &now, 3 * SETTLE);
  EXPECT_EQ(20u, totals(a, "g").messages);
  EXPECT_EQ(0u, totals(a, "g").missing);
  EXPECT_EQ(0u, totals(a, "g").duplicate);
  EXPECT_EQ(0u, totals(a, "h").messages + totals(a, "h", "c2").messages);
}

/* A day of traffic for the restart test: producers on three partitions,
 * one group that skips, one that replays, one that lags. */
std::vector<std::pair<int64_t, rec>> restart_traffic(void) {
  std::vector<std::pair<int64_t, rec>> out;
  for (int w = 1; w <= 40; w++) {
    int64_t t = w * 500;
    for (int32_t p = 0; p < 3; p++) {
      out.push_back({t, {P, "", p, w * 1000, 20}});
      out.push_back(
          {t + 50, {C, "skip", p, w * 1000, w == 7 && p == 1 ? 11 : 20}});
      if (w == 20)
        out.push_back({t + 60, {C, "replay", p, 10000, 20}});
      out.push_back({t + 70, {C, "replay", p, w * 1000, 20}});
      if (w > 10)
        out.push_back({t + 80, {C, "lag", p, (w - 10) * 1000, 20}});
    }
  }
  return out;
}

TEST(Audit, SavedStateGoesOnAsIfUninterrupted) {
  auto traffic = restart_traffic();
  w4_audit whole = audit_new(), restarted = audit_new();
  int64_t now = 0;
  size_t i = 0;
  for (; now <= 40000; now += 100) {
    for (; i < traffic.size() && traffic[i].first <= now; i++) {
      add(&whole, traffic[i].second, now);
      add(&restarted, traffic[i].second, now);
    }
    w4_audit_tick(&whole, now, nullptr);
    w4_audit_tick(&restarted, now, nullptr);
    if (now == 12000) {
      /* The state goes through bytes into a fresh audit whose clock starts
       * elsewhere, and comes back equal. */
      std::string bytes = w4_audit_save(restarted, now);
      w4_audit fresh = audit_new();
      ASSERT_TRUE(w4_audit_load(&fresh, bytes, now));
      EXPECT_EQ(bytes, w4_audit_save(fresh, now));
      restarted = std::move(fresh);
    }
  }
  w4_audit_finish(&whole, nullptr);
  w4_audit_finish(&restarted, nullptr);
  for (const char *g : {"skip", "replay", "lag"}) {
    EXPECT_EQ(totals(whole, g).messages, totals(restarted, g).messages) << g;
    EXPECT_EQ(totals(whole, g).missing, totals(restarted, g).missing) << g;
    EXPECT_EQ(totals(whole, g).duplicate, totals(restarted, g).duplicate) << g;
  }
  EXPECT_EQ(9u, totals(whole, "skip").missing);
  EXPECT_EQ(60u, totals(whole, "replay").duplicate);
  EXPECT_EQ(0u, totals(whole, "lag").missing);
  EXPECT_EQ(0u, totals(whole, "lag").duplicate);
}

TEST(Audit, StateBytesThatAreNotAStateAreRefused) {
  w4_audit a = audit_new();
  auto traffic = restart_traffic();
  for (size_t i = 0; i < traffic.size() / 2; i++)
    add(&a, traffic[i].second, traffic[i].first);
  w4_audit_tick(&a, 10000, nullptr);
  std::string bytes = w4_audit_save(a, 10000);
  w4_audit b = audit_new();
  EXPECT_FALSE(w4_audit_load(&b, "", 0));
  EXPECT_FALSE(w4_audit_load(&b, bytes.substr(0, bytes.size() - 1), 0));
  EXPECT_FALSE(w4_audit_load(&b, bytes + "x", 0));
  /* Random changes either load or are refused; never anything else. */
  std::mt19937 rng(7);
  for (int n = 0; n < 2000; n++) {
    std::string m = bytes;
    for (int k = 0; k < 3; k++)
      m[rng() % m.size()] = static_cast<char>(rng());
    w4_audit c = audit_new();
    if (w4_audit_load(&c, m, 0))
      w4_audit_tick(&c, 100000, nullptr);
  }
}

TEST(Audit, ParkedRecordsGoInTheOrderTheyArrivedWhateverTheSessions) {
  /* Two sessions that never name their cluster: the producer's record
   * comes first, the consumer's 500 ms later. The window opened with the
   * first, so it is given up max_age after it, whichever session's name
   * comes first in the audit's hash map. */
  for (bool swap : {false, true}) {
    w4_audit a = audit_new();
    a.max_age_ms = 10000;
    std::string s1(32, swap ? 'b' : 'a'), s2(32, swap ? 'a' : 'b');
    add(&a, {P, "", 0, 1000, 10, "", s1}, 0);
    add(&a, {C, "g", 0, 1000, 5, "", s2}, 500);
    w4_audit_tick(&a, 2500, nullptr);
    w4_audit_tick(&a, 10000, nullptr);
    EXPECT_EQ(1u, a.dropped_windows) << swap;
    EXPECT_EQ(5u, a.totals[w4_audit_key("", "orders", "g")].unconsumed) << swap;
  }
}

TEST(Audit, SaturatedLatenciesStaySaturatedThroughTheState) {
  w4_audit a = audit_new();
  w4_audit_totals *t = &a.totals[w4_audit_key("c1", "orders", "g")];
  t->hist.counts[3] = UINT64_MAX;
  t->hist.counts[40] = 10;
  t->hist.total = UINT64_MAX;
  w4_audit b = audit_new();
  ASSERT_TRUE(w4_audit_load(&b, w4_audit_save(a, 0), 0));
  EXPECT_EQ(UINT64_MAX, totals(b, "g").hist.total);
  EXPECT_EQ(w4_audit_totals_p99(totals(a, "g")),
            w4_audit_totals_p99(totals(b, "g")));
}

TEST(Audit, AStateWithAnEmptyListOfWaitingRecordsIsRefused) {
  /* The audit never saves a session whose list of records waiting for
   * their cluster is empty; such bytes are refused. */
  w4_audit a = audit_new();
  add(&a, {C, "g", 0, 1000, 5, ""}, 0);
  std::string bytes = w4_audit_save(a, 0);
  /* The end: session key, one record, that record (9 bytes + its key). */
  std::string key = std::string(1, '\0') + std::string(32, 'a');
  size_t at = bytes.rfind(key);
  ASSERT_NE(std::string::npos, at);
  ASSERT_EQ(1, bytes[at + key.size()]);
  std::string empty = bytes.substr(0, at + key.size()) + '\0';
  w4_audit b = audit_new();
  EXPECT_FALSE(w4_audit_load(&b, empty, 0));
  EXPECT_TRUE(w4_audit_load(&b, bytes, 0));
}

TEST(Audit, CountersFromTheStateSaturate) {
  /* A state may hold counters at their largest value: judging more
   * windows keeps them there. */
  w4_audit a = audit_new();
  a.totals[w4_audit_key("c1", "orders", "g")].windows = UINT64_MAX;
  add(&a, {P, "", 0, 1000, 10}, 0);
  add(&a, {C, "g", 0, 1000, 10}, 0);
  w4_audit_finish(&a, nullptr);
  EXPECT_EQ(UINT64_MAX, totals(a, "g").windows);
  /* A window given up, then a record for it. */
  w4_audit b = audit_new();
  b.dropped_windows = b.late_records = UINT64_MAX;
  b.horizon_ms = 2 * b.max_age_ms; /* the group has not stopped */
  add(&b, {P, "", 0, 1000, 10}, 0);
  add(&b, {C, "g", 0, 1000, 5}, 0);
  w4_audit_tick(&b, b.max_age_ms, nullptr);
  add(&b, {P, "", 0, 1000, 10}, b.max_age_ms);
  EXPECT_EQ(UINT64_MAX, b.dropped_windows);
  EXPECT_EQ(UINT64_MAX, b.late_records);
}

TEST(Audit, AStateKeptLongerThanAYearStillLoads) {
  /* Ages are saved at most a year old, as the loader takes them: with
   * settings longer than that, a long idle member does not make the
   * whole state unreadable. */
  w4_audit a = audit_new();
  a.horizon_ms = a.max_age_ms = INT64_C(400) * 86400000;
  add(&a, {P, "", 0, 1000, 10}, 0);
  add(&a, {C, "g", 0, 1000, 4}, 0);
  int64_t later = INT64_C(370) * 86400000;
  w4_audit_tick(&a, later, nullptr);
  w4_audit b = audit_new();
  EXPECT_TRUE(w4_audit_load(&b, w4_audit_save(a, later), later));
}

} // namespace
