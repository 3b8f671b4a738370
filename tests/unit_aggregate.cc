/* The exporter's counters, gap detection, delivery audit and exposition,
 * fed with records encoded as the plug-in encodes them and decoded by the
 * tools' decoder. */
#include "exporter/aggregate.h"
#include "exporter/audit.h"
#include "exporter/exposition.h"
#include "monitoring/monitoring.h"
#include "testlib.h"
#include "unit_records.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <random>

namespace {

/* One recorded stream: every record of two producers and a consumer over
 * three topic-partitions and two sessions each, in production order. */
std::vector<fields> recorded_stream(int per_session) {
  std::vector<fields> out;
  const char *clients[] = {"p1", "p2", "c1"};
  for (const char *client : clients) {
    for (int part = 0; part < 3; part++) {
      for (int session = 0; session < 2; session++) {
        for (int seq = 0; seq < per_session; seq++) {
          fields s;
          s.client_id = client;
          s.client_type =
              client[0] == 'p' ? W4_CLIENT_PRODUCER : W4_CLIENT_CONSUMER;
          s.group_id = "g";
          s.session_id = std::string(32, session ? 'b' : 'a');
          s.partition = part;
          s.sequence = seq;
          s.window = 1000 * (seq + 1);
          s.count = seq + 1;
          s.record_kind =
              seq % 5 == 4 ? W4_RECORD_EMPTY_WINDOW : W4_RECORD_DATA;
          s.final = seq == per_session - 1;
          s.timestamp = 1700000000000LL + session * 1000000 + seq * 1000;
          out.push_back(s);
        }
      }
    }
  }
  return out;
}

TEST(Aggregate, RemovedRecordsCountAsMissingInAnyArrivalOrder) {
  const int per_session = 40;
  std::vector<fields> all = recorded_stream(per_session);
  std::mt19937 rng(7);
  for (int round = 0; round < 6; round++) {
    /* Drop records, but neither the first record of a client's first
     * session (the start of what can be known) nor the last of a session
     * (nothing after it tells that it is missing). */
    std::vector<std::string> kept;
    int removed = 0;
    int64_t kept_messages = 0;
    for (const fields &s : all) {
      bool first = s.sequence == 0 && s.session_id[0] == 'a';
      bool last = s.sequence == per_session - 1;
      if (!first && !last && rng() % 7 == 0) {
        removed++;
        continue;
      }
      kept.push_back(encode(s));
      if (s.record_kind == W4_RECORD_DATA)
        kept_messages += s.count;
    }
    ASSERT_GT(removed, 10);
    /* Round 0 keeps production order; the others shuffle, the odd ones
     * completely, the even ones only within a few records, spread over time
     * with ticks in between. */
    if (round % 2 == 1)
      std::shuffle(kept.begin(), kept.end(), rng);
    else if (round > 0)
      for (size_t i = 0; i + 1 < kept.size(); i++)
        std::swap(kept[i], kept[std::min(kept.size() - 1, i + rng() % 6)]);

    w4_aggregate agg;
    agg.settle_ms = 5000;
    int64_t now = 0;
    for (size_t i = 0; i < kept.size(); i++) {
      w4_aggregate_add(&agg, decode(kept[i]), now);
      if (round % 2 == 0 && i % 10 == 9) {
        now += 100; /* reordering spans less than the settle time */
        w4_aggregate_tick(&agg, now);
      }
    }
    /* Nothing is called missing before its settle time is up. */
    EXPECT_LE(w4_aggregate_missing(agg), static_cast<uint64_t>(removed));
    w4_aggregate_tick(&agg, now + 5000);
    EXPECT_EQ(static_cast<uint64_t>(removed), w4_aggregate_missing(agg))
        << "round " << round;
    EXPECT_EQ(0u, agg.late_records);
    uint64_t messages = 0;
    for (const auto &kv : agg.series)
      messages += kv.second->messages;
    EXPECT_EQ(static_cast<uint64_t>(kept_messages), messages);
    /* Every stream was closed by its final record. */
    for (const auto &kv : agg.streams)
      EXPECT_TRUE(kv.second.closed);
  }
}

TEST(Aggregate, ReadingThatStartsMidSessionIsNotAGap) {
  w4_aggregate agg;
  agg.settle_ms = 1000;
  fields s;
  /* The reader starts at record 17 of a session; 18 arrives before 17. */
  for (int64_t seq : {18, 17, 19, 21}) {
    s.sequence = seq;
    w4_aggregate_add(&agg, decode(encode(s)), 0);
  }
  w4_aggregate_tick(&agg, 1000);
  EXPECT_EQ(1u, w4_aggregate_missing(agg)); /* only 20 */
  /* The next session of a followed topic-partition starts at 0. */
  s.session_id = std::string(32, 'c');
  s.timestamp += 600000;
  s.sequence = 2;
  w4_aggregate_add(&agg, decode(encode(s)), 1000);
  w4_aggregate_tick(&agg, 2000);
  EXPECT_EQ(3u, w4_aggregate_missing(agg));
  /* A duplicate and a record after its hole was settled are late, and are
   * not counted missing again. */
  w4_aggregate_add(&agg, decode(encode(s)), 2000);
  s.sequence = 1;
  w4_aggregate_add(&agg, decode(encode(s)), 2000);
  w4_aggregate_tick(&agg, 3000);
  EXPECT_EQ(3u, w4_aggregate_missing(agg));
  EXPECT_EQ(2u, agg.late_records);
  uint64_t sessions = 0;
  for (const auto &kv : agg.clients)
    sessions += kv.second->sessions;
  EXPECT_EQ(2u, sessions);
}

TEST(Aggregate, IdleStateIsForgottenAndCountersStay) {
  w4_aggregate agg;
  agg.settle_ms = 1000;
  agg.max_age_ms = 10000;
  fields s;
  for (int64_t seq : {0, 1, 3}) {
    s.sequence = seq;
    w4_aggregate_add(&agg, decode(encode(s)), 0);
  }
  w4_aggregate_tick(&agg, 10000);
  EXPECT_TRUE(agg.streams.empty());
  EXPECT_TRUE(agg.followed.empty());
  EXPECT_TRUE(agg.sessions.empty());
  EXPECT_EQ(1u, w4_aggregate_missing(agg));
  ASSERT_EQ(1u, agg.series.size());
  EXPECT_EQ(3u, agg.series.begin()->second->records);
}

TEST(Aggregate, ByTopicMergesPartitionsAndTheLatestWindowWins) {
  w4_aggregate agg;
  agg.by_topic = true;
  fields s;
  s.partition = 0;
  s.window = 2000;
  s.min_latency = 4;
  s.max_latency = 9;
  w4_aggregate_add(&agg, decode(encode(s)), 0);
  s.partition = 1;
  s.min_latency = 2;
  s.max_latency = 7;
  w4_aggregate_add(&agg, decode(encode(s)), 0);
  s.window = 1000; /* an older window does not touch the gauges */
  s.min_latency = 1;
  s.max_latency = 99;
  w4_aggregate_add(&agg, decode(encode(s)), 0);
  ASSERT_EQ(1u, agg.series.size());
  const w4_series &ser = *agg.series.begin()->second;
  EXPECT_EQ(-1, ser.partition);
  EXPECT_EQ(3u, ser.messages);
  EXPECT_EQ(2, ser.latest_min_ms);
  EXPECT_EQ(9, ser.latest_max_ms);
}

TEST(Aggregate, ValuesThePlugInCannotSendAreRejected) {
  fields s;
  struct bad {
    const char *what;
    void (*spoil)(fields *);
  };
  const bad cases[] = {
      {"negative count", [](fields *x) { x->count = -5; }},
      {"negative bytes", [](fields *x) { x->bytes = -1; }},
      {"negative latency", [](fields *x) { x->latency_sum = -1; }},
      {"client type 7", [](fields *x) { x->client_type = 7; }},
      {"record kind 5", [](fields *x) { x->record_kind = 5; }},
      {"negative sequence", [](fields *x) { x->sequence = -3; }},
      {"huge sequence", [](fields *x) { x->sequence = INT64_MAX; }},
      {"negative window", [](fields *x) { x->window = -1000; }},
      {"negative partition", [](fields *x) { x->partition = -9; }},
  };
  for (const bad &b : cases) {
    fields x = s;
    b.spoil(&x);
    std::string v = encode(x);
    w4_record rec;
    std::string err;
    ASSERT_TRUE(w4_record_decode(v.data(), v.size(), &rec, &err)) << b.what;
    EXPECT_FALSE(w4_record_sane(rec, &err)) << b.what;
  }
  /* Every cut of a good record is refused by the decoder or the checks. */
  std::string good = encode(s);
  for (size_t n = 0; n < good.size(); n++) {
    w4_record rec;
    std::string err;
    bool ok = w4_record_decode(good.data(), n, &rec, &err) &&
              w4_record_sane(rec, &err);
    /* The end of the record holds only fields that may be absent. */
    if (ok) {
      EXPECT_GT(n, good.find(std::string(32, 'a')) + 32) << n;
    }
  }
}

/* Whether a record with these fields (and the histogram when given)
 * decodes and is sane, and the reason when not. */
bool sane(const fields &f, std::string *why,
          const std::vector<std::pair<uint32_t, uint64_t>> &hist = {}) {
  std::string v = encode(f);
  w4_record rec;
  if (!w4_record_decode(v.data(), v.size(), &rec, why))
    return false;
  for (const auto &b : hist) {
    rec.hist_index.push_back(b.first);
    rec.hist_count.push_back(b.second);
  }
  return w4_record_sane(rec, why);
}

TEST(Aggregate, ValuesOutOfThePlugInsRangeAreBadAndItsLimitsAreNot) {
  const int64_t day = 86400000;
  struct edge {
    const char *what;
    void (*at_limit)(fields *); /* still sane */
    void (*beyond)(fields *);   /* bad */
  };
  const edge cases[] = {
      {"window_size", [](fields *x) { x->window_size = 86400000; },
       [](fields *x) { x->window_size = 86400001; }},
      {"window_size 0", [](fields *x) { x->window_size = 1; },
       [](fields *x) { x->window_size = 0; }},
      {"huge window_size", [](fields *x) { x->window_size = 1; },
       [](fields *x) { x->window_size = INT64_C(1) << 62; }},
      {"window ahead of its timestamp",
       [](fields *x) { x->window = x->timestamp + 86400000; },
       [](fields *x) { x->window = x->timestamp + 86400001; }},
      {"min above max", [](fields *x) { x->min_latency = x->max_latency = 9; },
       [](fields *x) {
         x->min_latency = 10;
         x->max_latency = 9;
       }},
      {"sequence", [](fields *x) { x->sequence = INT64_C(1) << 40; },
       [](fields *x) { x->sequence = (INT64_C(1) << 40) + 1; }},
      {"sequence 2^53", [](fields *x) { x->sequence = 0; },
       [](fields *x) { x->sequence = INT64_C(1) << 53; }},
      {"count", [](fields *x) { x->count = INT64_C(1) << 40; },
       [](fields *x) { x->count = (INT64_C(1) << 40) + 1; }},
      {"count 2^63-1", [](fields *x) { x->count = 1; },
       [](fields *x) { x->count = INT64_MAX; }},
      {"bytes", [](fields *x) { x->bytes = INT64_C(1) << 50; },
       [](fields *x) { x->bytes = (INT64_C(1) << 50) + 1; }},
      {"latency_sum", [](fields *x) { x->latency_sum = INT64_C(1) << 56; },
       [](fields *x) { x->latency_sum = (INT64_C(1) << 56) + 1; }},
      {"max_latency", [](fields *x) { x->max_latency = INT64_C(1) << 42; },
       [](fields *x) { x->max_latency = (INT64_C(1) << 42) + 1; }},
      {"topic", [](fields *x) { x->topic = std::string(249, 't'); },
       [](fields *x) { x->topic = std::string(250, 't'); }},
      {"client id", [](fields *x) { x->client_id = std::string(511, 'c'); },
       [](fields *x) { x->client_id = std::string(512, 'c'); }},
      {"cluster id", [](fields *x) { x->cluster_id = std::string(511, 'k'); },
       [](fields *x) { x->cluster_id = std::string(10000, 'k'); }},
      {"group id",
       [](fields *x) {
         x->client_type = W4_CLIENT_CONSUMER;
         x->group_id = std::string(511, 'g');
       },
       [](fields *x) {
         x->client_type = W4_CLIENT_CONSUMER;
         x->group_id = std::string(512, 'g');
       }},
  };
  for (const edge &e : cases) {
    fields good, bad;
    e.at_limit(&good);
    e.beyond(&bad);
    std::string why;
    EXPECT_TRUE(sane(good, &why)) << e.what << ": " << why;
    EXPECT_FALSE(sane(bad, &why)) << e.what;
  }
  /* An empty-window record has no latencies to compare. */
  fields empty;
  empty.record_kind = W4_RECORD_EMPTY_WINDOW;
  std::string why;
  EXPECT_TRUE(sane(empty, &why)) << why;
  /* The plug-in counts a bucket in 32 bits. */
  fields h;
  h.count = (INT64_C(1) << 32) - 1;
  EXPECT_TRUE(sane(h, &why, {{3, UINT32_MAX}})) << why;
  h.count = INT64_C(1) << 32;
  EXPECT_FALSE(sane(h, &why, {{3, INT64_C(1) << 32}}));
  /* Adds up past 2^32, each bucket within: sane. */
  EXPECT_TRUE(sane(h, &why, {{3, 1}, {4, (INT64_C(1) << 32) - 1}})) << why;
  /* A timestamp more than a day ahead of the exporter's clock. */
  w4_record rec = decode(encode(fields()));
  const int64_t wall = rec.msg.timestamp;
  EXPECT_TRUE(w4_record_timely(rec, wall - day, &why));
  EXPECT_FALSE(w4_record_timely(rec, wall - day - 1, &why));
  EXPECT_EQ("timestamp more than a day ahead of the exporter's clock", why);
}

TEST(Aggregate, DurationsInPrometheusSyntaxOrMilliseconds) {
  const struct {
    const char *text;
    int64_t ms; /* -1: refused */
  } cases[] = {
      {"10s", 10000},
      {"15m", 900000},
      {"1h", 3600000},
      {"1d", 86400000},
      {"1h30m", 5400000},
      {"2m500ms", 120500},
      {"1w", 604800000},
      {"1y", 31536000000},
      {"1500", 1500},
      {"1m1ms", 60001},
      {"0", -1},
      {"0s", -1},
      {"", -1},
      {"1", 1},
      {"30m1h", -1},
      {"1h1h", -1},
      {"1x", -1},
      {"h", -1},
      {"-1s", -1},
      {"1y1ms", -1},
      {"99999999999999999999", -1},
      {"365d", 31536000000},
      {"1.5h", -1},
      {"5ms3s", -1},
  };
  for (const auto &c : cases) {
    int64_t ms = -1;
    bool ok = w4_parse_duration(c.text, &ms);
    EXPECT_EQ(c.ms >= 0, ok) << c.text;
    if (ok) {
      EXPECT_EQ(c.ms, ms) << c.text;
    }
  }
}

TEST(Aggregate, MutatedRecordsNeverBreakTheCountersOrTheText) {
  std::mt19937 rng(11);
  std::vector<std::string> seeds;
  for (const fields &s : recorded_stream(6))
    seeds.push_back(encode(s));
  w4_aggregate agg;
  w4_audit audit;
  agg.settle_ms = audit.settle_ms = 50;
  w4_exposition_opts opts;
  uint64_t messages = 0;
  for (int i = 0; i < 20000; i++) {
    std::string v = seeds[rng() % seeds.size()];
    for (int flips = 1 + rng() % 4; flips > 0; flips--) {
      size_t at = 1 + rng() % (v.size() - 1);
      switch (rng() % 3) {
      case 0:
        v[at] = static_cast<char>(rng());
        break;
      case 1:
        v.erase(at, 1 + rng() % 4);
        break;
      default:
        v.insert(at, 1, static_cast<char>(rng()));
        break;
      }
      if (v.size() < 2)
        v = seeds[0];
    }
    w4_record rec;
    std::string err;
    if (w4_record_decode(v.data(), v.size(), &rec, &err) &&
        w4_record_sane(rec, &err)) {
      w4_aggregate_add(&agg, rec, i);
      w4_audit_add(&audit, rec, i);
    } else {
      agg.bad_records++;
    }
    if (i % 500 == 499) {
      w4_aggregate_tick(&agg, i);
      w4_audit_tick(&audit, i, nullptr);
      uint64_t now = 0;
      for (const auto &kv : agg.series)
        now += kv.second->messages;
      EXPECT_GE(now, messages);
      messages = now;
      std::string text = w4_exposition(&agg, &audit, opts);
      EXPECT_EQ('\n', text.back());
    }
  }
  EXPECT_GT(agg.bad_records, 1000u);
  EXPECT_GT(agg.decoded_records, 1000u);
  std::string out;
  int rc = w4test::promtool_check(w4_exposition(&agg, &audit, opts), &out);
  if (rc != -1) {
    EXPECT_EQ(0, rc) << out;
  }
}

TEST(Exposition, LabelValuesAreEscapedAndPromtoolAcceptsTheText) {
  std::string v;
  w4_label_value(&v, std::string("a\"b\\c\nd\xff"
                                 "e\xc3\xa9",
                                 11));
  EXPECT_EQ("a\\\"b\\\\c\\nd\xef\xbf\xbd"
            "e\xc3\xa9",
            v);

  w4_aggregate agg;
  w4_audit audit;
  fields s;
  s.client_id = "odd \"client\"\\\n\xfe";
  s.topic = "t\xc0pic";
  w4_aggregate_add(&agg, decode(encode(s)), 0);
  w4_audit_add(&audit, decode(encode(s)), 0);
  s.client_type = W4_CLIENT_CONSUMER;
  s.group_id = "g\"1";
  s.latency_sum = 1234567;
  s.count = 2;
  w4_aggregate_add(&agg, decode(encode(s)), 0);
  w4_audit_add(&audit, decode(encode(s)), 0);
  audit.settle_ms = 0;
  w4_audit_tick(&audit, 0, nullptr);
  w4_exposition_opts opts;
  std::string text = w4_exposition(&agg, &audit, opts);
  EXPECT_NE(std::string::npos,
            text.find("w4metrics_latency_seconds_sum{client_type=\"consumer\","
                      "client_id=\"odd \\\"client\\\"\\\\\\n\xef\xbf\xbd\","
                      "group_id=\"g\\\"1\",cluster_id=\"cluster\",topic=\"t"
                      "\xef\xbf\xbdpic\",partition=\"0\"} 1234.567\n"))
      << text;
  EXPECT_NE(std::string::npos,
            text.find("w4metrics_audit_duplicate_messages_total{cluster_id="
                      "\"cluster\",topic=\"t\xef\xbf\xbdpic\",group_id="
                      "\"g\\\"1\"} 1\n"))
      << text;
  std::string out;
  int rc = w4test::promtool_check(text, &out);
  if (rc == -1)
    GTEST_SKIP() << "promtool is not installed";
  EXPECT_EQ(0, rc) << out << "\n" << text;
}

} // namespace
