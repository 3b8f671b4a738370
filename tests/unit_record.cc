/* The monitoring record on the wire, its production, the publish pass and
 * the accounting core, on a hand-built instance whose private producer is
 * real. Record bytes are checked against fixed vectors and the test's own
 * wire reader. */
#include "interceptors/w4ic.h"
#include "standalone_instance.h"
#include "testlib.h"

#include <gtest/gtest.h>
#include <malloc.h>
#ifdef __SANITIZE_ADDRESS__
/* AddressSanitizer's runtime: the bytes its allocator has handed out. */
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif
#include <string>

using namespace w4test;

namespace {

const char SESSION[] = "0123456789abcdef0123456789abcdef";
const int64_t NOW = 1700000000000; /* a 6-byte varint */

/* An instance without an intercepted client: identity set, a private
 * producer towards bootstrap. */
w4ic *
make_instance(const std::string &bootstrap,
              std::vector<std::pair<std::string, std::string>> props = {}) {
  return standalone_instance(bootstrap, SESSION, std::move(props));
}

void free_instance(w4ic *ic) { standalone_instance_free(ic); }

/* The framed record that the last produce call wrote. */
std::string last_record(const w4ic *ic, const MonitoringMessage *msg) {
  size_t n = 0;
  pb_get_encoded_size(&n, monitoring_MonitoringMessage_fields, msg);
  return std::string(reinterpret_cast<const char *>(ic->record_buf), n + 1);
}

MonitoringMessage empty_window(void) {
  MonitoringMessage m;
  memset(&m, 0, sizeof(m));
  m.record_kind = 2;
  return m;
}

const char *UNREACHABLE = "127.0.0.1:1";

TEST(Record, EmptyWindowReferenceVector) {
  w4ic *ic = make_instance(UNREACHABLE);
  ic->icdebug = 1;
  tp *t = tp_get(&ic->tpmap, "t", 0, 15000);
  t->seq = 3;
  MonitoringMessage m = empty_window();

  stderr_capture *cap = stderr_capture_start();
  w4ic_produce_message(ic, t, &m, 0, NOW);
  std::string lines = stderr_capture_stop(cap);

  std::string expect = std::string("\x7f\x08\x01\x12\x07rdkafka\x22\x20", 14) +
                       SESSION + std::string("\x28\x03\x38", 3) + varint(NOW) +
                       std::string("\x42\x01t\x80\x01\x98\x75\x88\x01\x02", 10);
  ASSERT_EQ(65u, expect.size());
  EXPECT_EQ(hex(expect), hex(last_record(ic, &m)));
  EXPECT_EQ(4, t->seq);
  EXPECT_EQ(1, count_lines(lines, "W4IC: rdkafka: Producing empty record (65 "
                                  "bytes) to W4 topic _quarndale-monitoring "
                                  "for t [0] window 0"))
      << lines;
  free_instance(ic);
}

/* Which fields reach the wire, and how each is written. */
TEST(Record, FieldRules) {
  w4ic *ic = make_instance(UNREACHABLE);
  tp *t = tp_get(&ic->tpmap, "topic", -1, 15000);
  timebucket *b = timebucket_get(tp_recording_set(&ic->tpmap, t), NOW);
  b->msg.count = 2;
  b->msg.aggregate_bytes = 300;
  b->msg.latency_sum = 4294967296; /* more than 32 bits */

  /* Producer, first record of the session, final, min_latency untouched. */
  w4ic_produce_message(ic, t, &b->msg, 1, NOW);
  std::string rec = last_record(ic, &b->msg);
  EXPECT_EQ("7f 08 01 12", hex(rec.substr(0, 4)));
  wire_msg w = record_decode(rec);
  ASSERT_TRUE(w.ok);
  EXPECT_FALSE(w.has(F_SEQUENCE)); /* 0 */
  EXPECT_FALSE(w.has(F_GROUP_ID));
  EXPECT_FALSE(w.has(F_CLUSTER_ID));
  EXPECT_FALSE(w.has(F_RECORD_KIND)); /* data record: 0 */
  EXPECT_EQ(NOW - NOW % 15000, w.i64(F_WINDOW));
  EXPECT_EQ(-1, static_cast<int32_t>(w.i64(F_PARTITION)));
  EXPECT_NE(
      std::string::npos,
      rec.find(std::string("\x48\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", 11)))
      << "negative int32 as a 10-byte varint";
  EXPECT_NE(std::string::npos,
            rec.find(std::string("\x70\xff\xff\xff\xff\x07", 6)))
      << "min_latency 2147483647";
  EXPECT_EQ(4294967296, w.i64(F_LATENCY_SUM));
  EXPECT_EQ("90 01 01", hex(rec.substr(rec.size() - 3)));
  std::vector<int> sorted = w.order;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, w.order) << "fields in ascending order";
  EXPECT_EQ(std::set<int>(sorted.begin(), sorted.end()).size(), sorted.size());

  /* Consumer with a cluster id and an empty group id; second record. */
  ic->client_type = 0;
  ic->group_id = ic_strdup("");
  ic->cluster_id = ic_strdup("cluster-1");
  MonitoringMessage m = empty_window();
  w4ic_produce_message(ic, t, &m, 0, NOW);
  rec = last_record(ic, &m);
  EXPECT_EQ("7f 12", hex(rec.substr(0, 2)));
  EXPECT_NE(std::string::npos, rec.find(std::string("\x1a\x00", 2)));
  EXPECT_NE(std::string::npos, rec.find(std::string("\x28\x01", 2)));
  EXPECT_NE(std::string::npos, rec.find("\xb2\x01\x09"
                                        "cluster-1"));
  EXPECT_EQ(std::string::npos, rec.find(std::string("\x90\x01", 2)));
  timebucket_destroy(b);
  timebuckets_clear(tp_recording_set(&ic->tpmap, t), 0);
  free_instance(ic);
}

TEST(Record, RecentWindowRange) {
  w4ic *ic = make_instance(UNREACHABLE);
  tp *t = tp_get(&ic->tpmap, "t", 0, 15000);
  /* Twelve windows in one pass, each sees the ten before it at most. */
  for (int i = 0; i < 12; i++) {
    MonitoringMessage m;
    monitoring_message_init(&m);
    m.window = 15000 * (i + 1);
    m.count = 1;
    w4ic_produce_message(ic, t, &m, 0, NOW);
    wire_msg w = record_decode(last_record(ic, &m));
    if (i == 0) {
      EXPECT_FALSE(w.has(F_MIN_RECENT_WINDOW) || w.has(F_MAX_RECENT_WINDOW));
      continue;
    }
    EXPECT_EQ(15000 * std::max(1, i - 9), w.i64(F_MIN_RECENT_WINDOW)) << i;
    EXPECT_EQ(15000 * i, w.i64(F_MAX_RECENT_WINDOW)) << i;
  }
  /* Empty-window records put zeros in the ring: never a range of their own;
   * after them a data record's minimum is 0, so not written. */
  timebuckets_recent_reset(&t->recent);
  MonitoringMessage e = empty_window();
  w4ic_produce_message(ic, t, &e, 0, NOW);
  e = empty_window();
  w4ic_produce_message(ic, t, &e, 0, NOW);
  wire_msg w = record_decode(last_record(ic, &e));
  EXPECT_FALSE(w.has(F_MIN_RECENT_WINDOW) || w.has(F_MAX_RECENT_WINDOW));
  MonitoringMessage d;
  monitoring_message_init(&d);
  d.window = 30000;
  d.count = 1;
  w4ic_produce_message(ic, t, &d, 0, NOW);
  w = record_decode(last_record(ic, &d));
  EXPECT_FALSE(w.has(F_MIN_RECENT_WINDOW));
  EXPECT_FALSE(w.has(F_MAX_RECENT_WINDOW));
  free_instance(ic);
}

TEST(Record, BufferGrowsOnlyWhenARecordDoesNotFit) {
  w4ic *ic = make_instance(UNREACHABLE);
  w4ic *scratch = make_instance(UNREACHABLE);
  /* Produces the first empty-window record of a topic of len bytes on w and
   * returns its encoded length N. */
  auto produce = [](w4ic *w, size_t len) {
    tp *t = tp_get(&w->tpmap, std::string(len, 'x').c_str(), 0, 15000);
    t->seq = 0; /* sequence 0 is not written */
    MonitoringMessage m = empty_window();
    w4ic_produce_message(w, t, &m, 0, NOW);
    size_t n = 0;
    pb_get_encoded_size(&n, monitoring_MonitoringMessage_fields, &m);
    return n;
  };
  /* The topic length that gives an encoding of exactly n bytes. */
  auto len_for = [&](size_t n) {
    for (size_t len = 1; len < 2 * n; len++)
      if (produce(scratch, len) == n)
        return len;
    ADD_FAILURE() << "no topic length encodes to " << n;
    return size_t(1);
  };
  size_t len100 = len_for(100), len233 = len_for(233), len234 = len_for(234);
  free_instance(scratch);

  /* N = 100 allocates 234 bytes; up to 233 reuse it; 234 grows to 502. */
  EXPECT_EQ(100u, produce(ic, len100));
  EXPECT_EQ(234u, ic->record_buf_size);
  unsigned char *buf = ic->record_buf;
  EXPECT_EQ(233u, produce(ic, len233));
  EXPECT_EQ(234u, ic->record_buf_size);
  EXPECT_EQ(buf, ic->record_buf);
  EXPECT_EQ(234u, produce(ic, len234));
  EXPECT_EQ(502u, ic->record_buf_size);
  free_instance(ic);
}

TEST(Record, FailedBufferAllocationAndFailedProduceSpendTheSequence) {
  w4ic *ic =
      make_instance(UNREACHABLE, {{"queue.buffering.max.messages", "1"}});
  ic->icdebug = 1;
  tp *t = tp_get(&ic->tpmap, "t", 0, 15000);

  stderr_capture *cap = stderr_capture_start();
  MonitoringMessage m = empty_window();
  ic_alloc_fail_at(1);
  w4ic_produce_message(ic, t, &m, 0, NOW);
  ic_alloc_fail_at(0);
  std::string lines = stderr_capture_stop(cap);
  EXPECT_EQ(nullptr, ic->record_buf);
  EXPECT_EQ(0u, ic->record_buf_size);
  EXPECT_EQ(1, t->seq);
  EXPECT_EQ(1, count_lines(lines, "W4IC: rdkafka: Failed to allocate 158 "
                                  "bytes for protobuf: Cannot allocate "
                                  "memory"))
      << lines;
  EXPECT_EQ(0, count_lines(lines, "Producing"));

  /* The next record allocates afresh and fills the one-record queue; the
   * one after it fails to produce, after its "Producing" line. */
  cap = stderr_capture_start();
  for (int i = 0; i < 2; i++) {
    m = empty_window();
    w4ic_produce_message(ic, t, &m, 0, NOW);
  }
  lines = stderr_capture_stop(cap);
  EXPECT_NE(nullptr, ic->record_buf);
  EXPECT_EQ(3, t->seq);
  EXPECT_EQ(2, count_lines(lines, "Producing empty record"));
  size_t last = lines.rfind("Producing");
  size_t failed = lines.find("W4IC: rdkafka: W4 produce() failed: Local: "
                             "Queue full");
  EXPECT_NE(std::string::npos, failed) << lines;
  EXPECT_LT(last, failed);
  free_instance(ic);
}

TEST(Accounting, BucketUpdatesAndKeys) {
  w4ic *ic = make_instance(UNREACHABLE);
  w4ic_account(ic, "t", 0, 100, NOW, 5);
  w4ic_account(ic, "t", 0, 10, NOW + 1, 3);
  w4ic_account(ic, "t", 0, 0, NOW + 2, 3);
  tp *t = tp_get(&ic->tpmap, "t", 0, 15000);
  ASSERT_NE(nullptr, tp_recording_set(&ic->tpmap, t)->buckets.first);
  const MonitoringMessage &m =
      tp_recording_set(&ic->tpmap, t)->buckets.first->msg;
  EXPECT_EQ(3, m.count);
  EXPECT_EQ(110, m.aggregate_bytes);
  EXPECT_EQ(3, m.min_latency);
  EXPECT_EQ(5, m.max_latency);
  EXPECT_EQ(11, m.latency_sum);

  /* Latencies beyond 2^31 - 1 ms (old data) are a bucket's minimum as well
   * as its maximum. */
  w4ic_account(ic, "huge", 0, 1, NOW, 3000000000);
  const MonitoringMessage &h =
      tp_recording_set(&ic->tpmap, tp_get(&ic->tpmap, "huge", 0, 15000))
          ->buckets.first->msg;
  EXPECT_EQ(3000000000, h.min_latency);
  EXPECT_EQ(3000000000, h.max_latency);
  w4ic_account(ic, "huge", 0, 1, NOW, 4000000000);
  w4ic_account(ic, "huge", 0, 1, NOW, 2500000000);
  EXPECT_EQ(2500000000, h.min_latency);
  EXPECT_EQ(4000000000, h.max_latency);

  /* Another window: another bucket; another partition: another entry. */
  w4ic_account(ic, "t", 0, 1, NOW + 15000, 1);
  w4ic_account(ic, "t", 1, 1, NOW, 1);
  int buckets = 0, entries = 0;
  for (timebucket *b = tp_recording_set(&ic->tpmap, t)->buckets.first; b;
       b = tailq_next(b, &timebucket::list_link))
    buckets++;
  for (tp *e = ic->tpmap.tps.first; e; e = tailq_next(e, &tp::list_link))
    entries++;
  EXPECT_EQ(2, buckets);
  EXPECT_EQ(3, entries);
  free_instance(ic);
}

TEST(Accounting, IgnoredMessagesWarnOnceAnHour) {
  w4ic *ic = make_instance(UNREACHABLE);
  const int64_t t0 = NOW;
  stderr_capture *cap = stderr_capture_start();
  w4ic_account_ignored(ic, "t", 2, 41, t0);
  w4ic_account_ignored(ic, "t", 2, 42, t0 + 1000);
  w4ic_account_ignored(ic, "t", 2, 43, t0 + 3600000); /* not later than */
  w4ic_account_ignored(ic, "t", 2, 44, t0 + 3600001);
  std::string lines = stderr_capture_stop(cap);
  EXPECT_EQ("W4IC: rdkafka: Ignoring message on topic \"t\" [2] at offset 41 "
            "without valid timestamp (1 messages ignored)\n"
            "W4IC: rdkafka: Ignoring message on topic \"t\" [2] at offset 44 "
            "without valid timestamp (4 messages ignored)\n",
            lines);
  EXPECT_EQ(4, ic->ignored_cnt);
  EXPECT_EQ(nullptr, ic->tpmap.tps.first); /* nothing else recorded */
  free_instance(ic);
}

struct PassTest : ::testing::Test {
  mock_cluster *mc = nullptr;
  w4ic *ic = nullptr;
  void SetUp() override {
    mc = mock_cluster_start();
    rd_kafka_mock_topic_create(mc->mcluster, "_quarndale-monitoring", 1, 1);
    ic = make_instance(mc->bootstraps);
    ic->cluster_id = ic_strdup("cluster-1");
  }
  void TearDown() override {
    free_instance(ic);
    mock_cluster_stop(mc);
  }
  /* One pass, then every record it produced, in order. */
  std::vector<wire_msg> pass(int final_pass = 0) {
    w4ic_publish(ic, final_pass);
    rd_kafka_flush(ic->mon_rk, 5000);
    std::vector<wire_msg> out;
    for (const auto &c :
         consume_all(mc->bootstraps, "_quarndale-monitoring", 800, 10000))
      out.push_back(record_decode(c.value));
    out.erase(out.begin(), out.begin() + std::min(seen, out.size()));
    seen += out.size();
    return out;
  }
  size_t seen = 0;
};

TEST_F(PassTest, ExpiredSessionMarksFinalAndRenumbers) {
  /* Entry a: buckets for three windows, created out of order; entry b: no
   * bucket. The session has expired. */
  for (int64_t w : {30000, 15000, 45000})
    w4ic_account(ic, "a", 0, 1, NOW + w, 1);
  tp *b = tp_get(&ic->tpmap, "b", 7, 15000);
  b->seq = 5;
  ic->session_expiry_ms = ic_now_ms();

  std::vector<wire_msg> recs = pass();
  ASSERT_EQ(4u, recs.size());
  int64_t windows[] = {30000, 15000, 45000};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ("a", recs[i].str(F_TOPIC));
    EXPECT_EQ(i, recs[i].i64(F_SEQUENCE));
    EXPECT_EQ(NOW - NOW % 15000 + windows[i], recs[i].i64(F_WINDOW));
    EXPECT_EQ(i == 2, recs[i].i64(F_FINAL) == 1);
    EXPECT_EQ(SESSION, recs[i].str(F_SESSION_ID)); /* still the old session */
  }
  EXPECT_EQ("b", recs[3].str(F_TOPIC));
  EXPECT_EQ(2, recs[3].i64(F_RECORD_KIND));
  EXPECT_EQ(5, recs[3].i64(F_SEQUENCE));
  EXPECT_EQ(1, recs[3].i64(F_FINAL));
  for (const auto &r : recs)
    EXPECT_EQ(recs[0].i64(F_TIMESTAMP), r.i64(F_TIMESTAMP));

  /* b had no traffic in the session it closed: released. */
  ASSERT_EQ(1, ic->tpmap.entry_cnt);
  tp *a = ic->tpmap.tps.first;
  EXPECT_STREQ("a", a->topic);
  EXPECT_TRUE(tailq_empty(&tp_recording_set(&ic->tpmap, a)->buckets));
  EXPECT_EQ(0, a->seq);
  EXPECT_STRNE(SESSION, ic->session_id);
  std::string session = ic->session_id;

  /* The next pass: an idle entry, new session, numbering from 0, nothing
   * final. */
  recs = pass();
  ASSERT_EQ(1u, recs.size());
  for (const auto &r : recs) {
    EXPECT_EQ(2, r.i64(F_RECORD_KIND));
    EXPECT_FALSE(r.has(F_SEQUENCE));
    EXPECT_FALSE(r.has(F_FINAL));
    EXPECT_EQ(session, r.str(F_SESSION_ID));
  }
}

TEST_F(PassTest, FinalPassKeepsTheSession) {
  w4ic_account(ic, "a", 0, 1, NOW, 1);
  tp_get(&ic->tpmap, "b", 0, 15000);
  std::vector<wire_msg> recs = pass(1);
  ASSERT_EQ(2u, recs.size());
  EXPECT_EQ(1, recs[0].i64(F_FINAL));
  EXPECT_EQ(1, recs[1].i64(F_FINAL));
  EXPECT_STREQ(SESSION, ic->session_id);
  EXPECT_EQ(1, tp_get(&ic->tpmap, "a", 0, 15000)->seq);
}

/* Bytes the allocator has handed out and not taken back: AddressSanitizer's
 * allocator when the tests run under it, glibc's otherwise. */
int64_t heap_in_use(void) {
#ifdef __SANITIZE_ADDRESS__
  return static_cast<int64_t>(__sanitizer_get_current_allocated_bytes());
#else
  struct mallinfo2 mi = mallinfo2();
  return static_cast<int64_t>(mi.uordblks + mi.hblkhd);
#endif
}

/* 2,000 topic-partitions with traffic in one session, one of them in the
 * next: the pass closing the second releases the others, and their memory
 * goes back to the allocator. The private producer takes one record and
 * refuses the others at once, so that its queue does not blur the heap's
 * figures (the records themselves are checked end to end). */
TEST(Pass, IdleEntriesAreReleasedWithTheirMemory) {
  w4ic *ic =
      make_instance(UNREACHABLE, {{"queue.buffering.max.messages", "1"}});
  ic->cluster_id = ic_strdup("cluster-1");
  auto heap = [] { return heap_in_use(); };
  auto expire_and_pass = [ic] {
    ic->session_expiry_ms = ic_now_ms();
    w4ic_publish(ic, 0);
  };
  for (int32_t p = 0; p < 2000; p++)
    w4ic_account(ic, "wide.topic.name", p, 1, NOW, 1);
  w4ic_publish(ic, 0);
  int64_t with_entries = heap();
  expire_and_pass(); /* closes the session they had traffic in: kept */
  EXPECT_EQ(2000, ic->tpmap.entry_cnt);

  w4ic_account(ic, "wide.topic.name", 7, 1, NOW, 1);
  w4ic_publish(ic, 0);
  int64_t before = heap();
  expire_and_pass(); /* closes the session in which only 7 had traffic */
  int64_t freed = before - heap();
  ASSERT_EQ(1, ic->tpmap.entry_cnt);
  EXPECT_EQ(7, ic->tpmap.tps.first->partition);
  /* At least 200 bytes for each of the 1,999 (their topic copies and
   * two bucket sets); the heap holds the same as before then, give or
   * take the last bucket. */
  EXPECT_GT(freed, 1999 * 200) << "freed " << freed;
  printf("released 1999 entries: %ld bytes back (%ld a topic-partition)\n",
         static_cast<long>(freed), static_cast<long>(freed / 1999));
  EXPECT_LT(heap(), with_entries - 1999 * 200);

  /* Traffic to a released one makes a new entry, numbered from 0. */
  w4ic_account(ic, "wide.topic.name", 3, 1, NOW, 1);
  EXPECT_EQ(2, ic->tpmap.entry_cnt);
  EXPECT_EQ(0, ic->tpmap.tps.first->list_link.next->seq);
  free_instance(ic);
}

TEST_F(PassTest, EmptyMapStillRenewsAnExpiredSession) {
  ic->session_expiry_ms = ic_now_ms() - 1;
  EXPECT_TRUE(pass().empty());
  EXPECT_STRNE(SESSION, ic->session_id);
  EXPECT_GT(ic->session_expiry_ms, ic_now_ms());
}

} // namespace
