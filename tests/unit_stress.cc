/* Recording against publish passes, at full speed: several threads record
 * into one instance while its background thread runs a pass every
 * millisecond, new topic-partitions keep coming (so the map grows during
 * passes) and sessions roll over every few passes (so idle entries are
 * retired while recording goes on). The records read back must add up to
 * exactly what was recorded, with every session's numbering intact. The
 * latency histograms and the offset ranges are on, so their counts and
 * ranges are recorded too: every partition's messages carry offsets 0, 1,
 * 2, ... in the order of recording.
 *
 * Run under helgrind by scripts/valgrind; the run is bounded in time, so a
 * slower tool makes fewer passes, not a longer test. */
#include "interceptors/w4ic.h"
#include "testlib.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace w4test;

namespace {

const std::string P = IC_PREFIX;
const char *MON_TOPIC = "w4-stress";
const int THREADS = 4;
const int64_t RUN_MS = 1000;
/* Each thread writes to this many partitions of its own topic at first, and
 * opens one more every NEW_ENTRY_EVERY messages, up to MAX_PARTITIONS. */
const int32_t FIRST_PARTITIONS = 8;
const int NEW_ENTRY_EVERY = 500;
const int32_t MAX_PARTITIONS = 64;

/* What one recording thread did, per partition of its topic. */
struct recorded {
  std::string topic;
  int64_t ts, old_ts; /* the messages' timestamps: now, and older */
  std::vector<int64_t> count, bytes;
};

/* A recording thread: messages round robin over its open partitions, a new
 * partition every NEW_ENTRY_EVERY messages, a few old windows among them so
 * that an entry has several buckets, until stop is set. */
void record_loop(w4ic *ic, recorded *r, const std::atomic<bool> *stop) {
  int32_t open = FIRST_PARTITIONS;
  r->count.assign(MAX_PARTITIONS, 0);
  r->bytes.assign(MAX_PARTITIONS, 0);
  for (int64_t i = 0; !stop->load(std::memory_order_relaxed); i++) {
    if (i % NEW_ENTRY_EVERY == 0 && open < MAX_PARTITIONS)
      open++;
    int32_t p = static_cast<int32_t>(i % open);
    /* Two windows per entry and pass at most: a window of 1 ms per message
     * clock tick would make every pass publish a backlog of windows. */
    int64_t ts = i % 7 == 0 ? r->old_ts : r->ts;
    int64_t bytes = 1 + i % 5;
    w4ic_account(ic, r->topic.c_str(), p, bytes, ts, i % 3, r->count[p]);
    r->count[p]++;
    r->bytes[p] += bytes;
    if (i % 1024 == 0)
      std::this_thread::yield(); /* two cores: let the passes run too */
  }
}

/* Passes completed, read under the lock that counts them. */
int64_t pass_count(w4ic *ic) {
  tinycthread::mtx_lock(&ic->lock);
  int64_t n = ic->pass_cnt;
  tinycthread::mtx_unlock(&ic->lock);
  return n;
}

/* Sum of the packed varints of a length-delimited field. */
int64_t packed_sum(const wire_msg &m, int field) {
  int64_t sum = 0;
  for (uint64_t v : packed_varints(m.str(field)))
    sum += static_cast<int64_t>(v);
  return sum;
}

struct sums {
  int64_t count = 0, bytes = 0;
  int64_t min_offset = INT64_MAX, max_offset = -1;
};

TEST(Stress, RecordsAddUpWhilePassesRunEveryMillisecond) {
  mock_cluster *mc = mock_cluster_start();
  /* Records spread over many partitions, one by one: the mock cluster keeps
   * only the latest few tens of thousands of each partition's messages. */
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 64, 1);
  rd_kafka_conf_t *conf = make_conf({{"bootstrap.servers", mc->bootstraps}});
  ic_overrides *ic_ov = ic_conf_init(conf);
  ASSERT_NE(nullptr, ic_ov);
  for (const auto &kv : std::vector<std::pair<std::string, std::string>>{
           {P + "topic", MON_TOPIC},
           {P + "publishms", "1"},
           {P + "sessiondurationms", "20"},
           {P + "queue.buffering.max.messages", "2000000"},
           {P + "queue.buffering.max.kbytes", "2000000"},
           {P + "sticky.partitioning.linger.ms", "0"},
           {P + "histogram", "true"},
           {P + "offsets", "true"},
           {"client.id", "stress"}})
    ASSERT_EQ(RD_KAFKA_CONF_OK, conf_set(conf, kv.first, kv.second));
  rd_kafka_t *rk = client_new(RD_KAFKA_PRODUCER, conf);
  ASSERT_NE(nullptr, rk);
  w4ic *ic = ic_ov->ic;
  ASSERT_NE(nullptr, ic);

  std::atomic<bool> stop(false);
  std::vector<recorded> rec(THREADS);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; t++) {
    rec[t].topic = "stress." + std::to_string(t);
    rec[t].ts = wall_ms();
    rec[t].old_ts = rec[t].ts - 3;
    threads.emplace_back(record_loop, ic, &rec[t], &stop);
  }
  sleep_ms(static_cast<int>(RUN_MS));
  stop = true;
  for (auto &th : threads)
    th.join();
  /* A few more passes publish the backlog, and the private producer is
   * given the time to deliver it that teardown's bounded flush does not
   * give a backlog of this size. */
  int64_t passes = pass_count(ic), stopped_at = passes;
  for (int64_t deadline = mono_ms() + 30000;
       passes < stopped_at + 3 && mono_ms() < deadline; sleep_ms(5))
    passes = pass_count(ic);
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(ic->mon_rk, 30000));
  rd_kafka_destroy(rk); /* final pass and flush */

  std::map<std::pair<std::string, int32_t>, sums> want, got;
  int64_t messages = 0;
  for (const recorded &r : rec)
    for (int32_t p = 0; p < MAX_PARTITIONS; p++)
      if (r.count[p]) {
        want[{r.topic, p}] = {r.count[p], r.bytes[p]};
        messages += r.count[p];
      }

  /* Per session and topic-partition: the sequence numbers seen, and which
   * were final. */
  std::map<std::string, std::map<int64_t, bool>> seqs;
  std::vector<wire_msg> recs =
      read_records(mc->bootstraps, MON_TOPIC, 8000, 60000);
  for (const wire_msg &m : recs) {
    ASSERT_EQ("stress", m.str(F_CLIENT_ID));
    auto key = std::make_pair(m.str(F_TOPIC),
                              static_cast<int32_t>(m.i64(F_PARTITION)));
    got[key].count += m.i64(F_COUNT);
    /* the window's histogram counts every one of its messages */
    EXPECT_EQ(m.i64(F_COUNT), packed_sum(m, 26));
    got[key].bytes += m.i64(F_AGGREGATE_BYTES);
    /* a data record's range holds at least its messages */
    if (m.i64(F_COUNT)) {
      EXPECT_TRUE(m.has(27) && m.has(28));
      EXPECT_GE(m.i64(28) - m.i64(27) + 1, m.i64(F_COUNT));
      got[key].min_offset = std::min(got[key].min_offset, m.i64(27));
      got[key].max_offset = std::max(got[key].max_offset, m.i64(28));
    } else {
      EXPECT_FALSE(m.has(27) || m.has(28));
    }
    std::string id = m.str(F_SESSION_ID) + "/" + key.first + "/" +
                     std::to_string(key.second);
    EXPECT_EQ(0u, seqs[id].count(m.i64(F_SEQUENCE))) << "duplicate in " << id;
    seqs[id][m.i64(F_SEQUENCE)] = m.i64(F_FINAL) == 1;
  }
  std::map<std::pair<std::string, int32_t>, sums> got_nonzero;
  for (const auto &kv : got)
    if (kv.second.count)
      got_nonzero[kv.first] = kv.second;
  ASSERT_EQ(want.size(), got_nonzero.size());
  for (const auto &kv : want) {
    SCOPED_TRACE(kv.first.first + " [" + std::to_string(kv.first.second) + "]");
    EXPECT_EQ(kv.second.count, got_nonzero[kv.first].count);
    EXPECT_EQ(kv.second.bytes, got_nonzero[kv.first].bytes);
    EXPECT_EQ(0, got_nonzero[kv.first].min_offset);
    EXPECT_EQ(kv.second.count - 1, got_nonzero[kv.first].max_offset);
  }

  /* Every session of a topic-partition is numbered 0..n-1 and closes with
   * exactly one final record, its last. */
  size_t sessions = 0;
  for (const auto &kv : seqs) {
    const auto &s = kv.second;
    int64_t n = static_cast<int64_t>(s.size());
    EXPECT_EQ(n - 1, s.rbegin()->first) << "gap in " << kv.first;
    int finals = 0;
    for (const auto &q : s)
      finals += q.second;
    EXPECT_EQ(1, finals) << kv.first;
    EXPECT_TRUE(s.rbegin()->second) << "last not final in " << kv.first;
    sessions++;
  }
  printf("stress: %ld messages by %d threads, %ld passes, %zu records, "
         "%zu topic-partitions, %zu (session, topic-partition) sequences\n",
         static_cast<long>(messages), THREADS, static_cast<long>(passes),
         recs.size(), want.size(), sessions);
  EXPECT_GT(passes, 5);
  mock_cluster_stop(mc);
}

} // namespace
