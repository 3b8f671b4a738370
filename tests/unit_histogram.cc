/* The latency histogram: its bucket layout, its recording and encoding in
 * the plug-in, and its decoding and checks in the tools. */
#include "interceptors/w4ic.h"
#include "testlib.h"

#include <gtest/gtest.h>
#include <string>

using namespace w4test;

namespace {

const char SESSION[] = "0123456789abcdef0123456789abcdef";
const int64_t NOW = 1700000000000;

/* An instance without an intercepted client and with a private producer
 * towards nowhere: enough to account messages and encode records. */
w4ic *make_instance(int32_t histogram) {
  w4ic *ic = static_cast<w4ic *>(ic_calloc(1, sizeof(w4ic)));
  tinycthread::mtx_init(&ic->lock, tinycthread::mtx_plain);
  tinycthread::cnd_init(&ic->cnd);
  tpmap_init(&ic->tpmap, TPMAP_CHAIN_CNT);
  (void)histogram;
  ic->client_type = 0;
  ic->client_id = ic_strdup("reader");
  ic->group_id = ic_strdup("g");
  ic->cluster_id = ic_strdup("cluster-1");
  ic->publishms = 15000;
  ic->sessiondurationms = 600000;
  memcpy(ic->session_id, SESSION, sizeof(SESSION));
  char errstr[512];
  ic->mon_rk = rd_kafka_new(
      RD_KAFKA_PRODUCER,
      make_conf({{"bootstrap.servers", "127.0.0.1:1"}, {"log_level", "0"}}),
      errstr, sizeof(errstr));
  EXPECT_NE(nullptr, ic->mon_rk) << errstr;
  ic->mon_rkt =
      rd_kafka_topic_new(ic->mon_rk, "_quarndale-monitoring", nullptr);
  return ic;
}

/* Releases what make_instance made. */
void free_instance(w4ic *ic) {
  tpmap_destroy(&ic->tpmap);
  ic_free(ic->client_id);
  ic_free(ic->group_id);
  ic_free(ic->cluster_id);
  ic_free(ic->record_buf);
  rd_kafka_topic_destroy(ic->mon_rkt);
  rd_kafka_destroy(ic->mon_rk);
  tinycthread::cnd_destroy(&ic->cnd);
  tinycthread::mtx_destroy(&ic->lock);
  ic_free(ic);
}

/* Accounts latencies (ms) in one window of topic "t" [2], then encodes
 * that window's record as the publish pass does; the framed bytes. */
std::string window_record(w4ic *ic, const std::vector<int64_t> &latencies) {
  for (size_t i = 0; i < latencies.size(); i++)
    w4ic_account(ic, "t", 2, 10 + static_cast<int64_t>(i), NOW - 5000 + i,
                 latencies[i]);
  tp *t = tp_get(&ic->tpmap, "t", 2, 15000);
  timebucket *b = t->timebuckets.buckets.first;
  w4ic_produce_message(ic, t, &b->msg, 0, NOW);
  size_t n = 0;
  pb_get_encoded_size(&n, monitoring_MonitoringMessage_fields, &b->msg);
  std::string out(reinterpret_cast<const char *>(ic->record_buf), n + 1);
  timebuckets_clear(&t->timebuckets, 1);
  return out;
}

const char RECORD_BEFORE_HISTOGRAMS[] =
      "7f 12 06 72 65 61 64 65 72 1a 01 67 22 20 30 31 "
      "32 33 34 35 36 37 38 39 61 62 63 64 65 66 30 31 "
      "32 33 34 35 36 37 38 39 61 62 63 64 65 66 30 f8 "
      "a8 95 ff bc 31 38 80 d0 95 ff bc 31 42 01 74 48 "
      "02 50 07 58 5b 68 de a8 b9 03 78 80 ba b7 03 80 "
      "01 98 75 b2 01 09 63 6c 75 73 74 65 72 2d 31";

/* With the setting off, a record is the bytes that this traffic gave before
 * histograms existed (reference kept from then). */
TEST(HistogramOff, RecordBytesAreThoseOfBefore) {
  w4ic *ic = make_instance(0);
  std::string rec = window_record(ic, {5, 50, 500, 30000, 7200000, 0, 3});
  EXPECT_EQ(RECORD_BEFORE_HISTOGRAMS, hex(rec));
  free_instance(ic);
}

} // namespace
