/* The latency histogram: its bucket layout, its recording and encoding in
 * the plug-in, and its decoding and checks in the tools. */
#include "exporter/aggregate.h"
#include "exporter/audit.h"
#include "exporter/exposition.h"
#include "interceptors/w4ic.h"
#include "monitoring/histogram_encode.h"
#include "standalone_instance.h"
#include "testlib.h"
#include "w4record.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>

using namespace w4test;

namespace {

const char SESSION[] = "0123456789abcdef0123456789abcdef";
const int64_t NOW = 1700000000000;

/* An instance without an intercepted client and with a private producer
 * towards nowhere, a consumer of group g: enough to account messages and
 * encode records. */
w4ic *make_instance(int32_t histogram) {
  w4ic *ic = standalone_instance("127.0.0.1:1", SESSION);
  ic->histogram = histogram;
  ic->tpmap.histogram = histogram;
  ic->client_type = 0;
  ic_free(ic->client_id);
  ic->client_id = ic_strdup("reader");
  ic->group_id = ic_strdup("g");
  ic->cluster_id = ic_strdup("cluster-1");
  return ic;
}

/* Releases what make_instance made. */
void free_instance(w4ic *ic) { standalone_instance_free(ic); }

/* Encodes the first bucket of t's window as the publish pass does; the
 * framed bytes. */
std::string produce_first(w4ic *ic, tp *t) {
  timebucket *b = tp_recording_set(&ic->tpmap, t)->buckets.first;
  const uint32_t *counts = ic->histogram ? b->latency_counts : nullptr;
  w4ic_produce_message(ic, t, &b->msg, 0, NOW, counts);
  size_t n = 0;
  pb_get_encoded_size(&n, monitoring_MonitoringMessage_fields, &b->msg);
  if (counts)
    n += histogram_encoded_size(counts, b->msg.count);
  return std::string(reinterpret_cast<const char *>(ic->record_buf), n + 1);
}

/* Accounts latencies (ms) in one window of topic "t" [2], then encodes
 * that window's record as the publish pass does; the framed bytes. */
std::string window_record(w4ic *ic, const std::vector<int64_t> &latencies) {
  for (size_t i = 0; i < latencies.size(); i++)
    w4ic_account(ic, "t", 2, 10 + static_cast<int64_t>(i), NOW - 5000 + i,
                 latencies[i]);
  tp *t = tp_get(&ic->tpmap, "t", 2, 15000);
  std::string out = produce_first(ic, t);
  timebuckets_clear(tp_recording_set(&ic->tpmap, t), 1);
  return out;
}

/* Consumer latencies of one window, ms: 5, 50, 500 ms, 30 s, 2 h, 0, 3. */
const std::vector<int64_t> LATENCIES = {5, 50, 500, 30000, 7200000, 0, 3};

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
  std::string rec = window_record(ic, LATENCIES);
  EXPECT_EQ(RECORD_BEFORE_HISTOGRAMS, hex(rec));
  free_instance(ic);
}

/* Bytes as the hex text of testlib's hex(). */
std::string unhex(const std::string &text) {
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 3)
    out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  return out;
}

/* promtool check metrics accepts the text without a remark; true as well
 * when promtool is not installed. */
bool promtool_accepts(const std::string &text, std::string *out) {
  int rc = promtool_check(text, out);
  return rc == -1 || rc == 0;
}

TEST(HistogramLayout,
     FastIndexAgreesWithTheBoundsAndTheLayoutKeepsItsPromises) {
  for (uint64_t v = 0; v <= HISTOGRAM_CLAMP_MS + 1000; v++)
    ASSERT_EQ(histogram_bucket_search(v),
              static_cast<int>(histogram_index(static_cast<int64_t>(v))))
        << v;
  for (int64_t v : {INT64_C(-1), INT64_MAX, INT64_C(1) << 40})
    EXPECT_EQ(HISTOGRAM_BUCKET_CNT - 1, static_cast<int>(histogram_index(v)));
  /* Exact below 4 ms, at most 25 % wide above, up to more than an hour. */
  for (uint32_t v = 0; v < 4; v++)
    EXPECT_EQ(v, histogram_bounds[v]);
  for (int i = 4; i < HISTOGRAM_BUCKET_CNT - 1; i++) {
    double low = static_cast<double>(w4_hist_bucket_low(i));
    EXPECT_LE(histogram_bounds[i] + 1 - low, 0.25 * low) << "bucket " << i;
  }
  EXPECT_GE(HISTOGRAM_MAX_BOUND_MS, 3600000u);
  EXPECT_EQ(296u, sizeof(histogram_counts));
}

/* With the setting on, the record is the same bytes followed by the two
 * packed fields, indices ascending and counts adding up to count. */
TEST(HistogramOn, RecordIsTheOldOneAndTwoPackedFields) {
  w4ic *ic = make_instance(1);
  std::string rec = window_record(ic, LATENCIES);
  std::string before = unhex(RECORD_BEFORE_HISTOGRAMS);
  ASSERT_GT(rec.size(), before.size());
  EXPECT_EQ(hex(before), hex(rec.substr(0, before.size())));

  std::map<int, uint64_t> expect; /* by the bounds' own search */
  for (int64_t l : LATENCIES)
    expect[histogram_bucket_search(static_cast<uint64_t>(l))]++;
  std::string idx, cnt;
  for (const auto &kv : expect) {
    idx += varint(static_cast<uint64_t>(kv.first));
    cnt += varint(kv.second);
  }
  EXPECT_EQ(hex(std::string("\xca\x01", 2) + varint(idx.size()) + idx +
                std::string("\xd2\x01", 2) + varint(cnt.size()) + cnt),
            hex(rec.substr(before.size())));
  wire_msg w = record_decode(rec);
  ASSERT_TRUE(w.ok);
  std::vector<uint64_t> counts = packed_varints(w.str(26));
  uint64_t sum = 0;
  for (uint64_t c : counts)
    sum += c;
  EXPECT_EQ(static_cast<uint64_t>(w.i64(F_COUNT)), sum);

  /* A window whose 32-bit counts wrapped is published without them. */
  w4ic_account(ic, "t", 2, 1, NOW, 7);
  tp *t = tp_get(&ic->tpmap, "t", 2, 15000);
  timebucket *b = tp_recording_set(&ic->tpmap, t)->buckets.first;
  b->msg.count += INT64_C(1) << 32;
  wire_msg wrapped = record_decode(produce_first(ic, t));
  EXPECT_TRUE(wrapped.ok);
  EXPECT_FALSE(wrapped.has(25) || wrapped.has(26));
  free_instance(ic);
}

/* The tools read the histogram back, print it, and refuse every histogram
 * that the plug-in cannot have sent. */
TEST(HistogramTools, DecodedPrintedAndCheckedAsTheExporterDoes) {
  w4ic *ic = make_instance(1);
  std::string good = window_record(ic, LATENCIES);
  free_instance(ic);
  w4_record rec;
  std::string err;
  ASSERT_TRUE(w4_record_decode(good.data(), good.size(), &rec, &err)) << err;
  ASSERT_TRUE(w4_record_sane(rec, &err)) << err;
  EXPECT_EQ((std::vector<uint32_t>{0, 3, 5, 18, 29, 49, 73}), rec.hist_index);
  EXPECT_EQ((std::vector<uint64_t>{1, 1, 1, 1, 1, 1, 1}), rec.hist_count);
  std::string json = w4_record_json(rec);
  EXPECT_NE(std::string::npos,
            json.find(",\"latency_histogram\":[{\"le_ms\":0,\"count\":1},"
                      "{\"le_ms\":3,\"count\":1},{\"le_ms\":5,\"count\":1},"
                      "{\"le_ms\":55,\"count\":1},{\"le_ms\":548,\"count\":1},"
                      "{\"le_ms\":30000,\"count\":1},{\"le_ms\":null,"
                      "\"count\":1}],\"p50_ms\":50.5,\"p99_ms\":4163244.0}"))
      << json;
  EXPECT_NE(std::string::npos,
            w4_record_line(rec).find("  p50 50.5 p99 4163244.0 ms"));

  std::string off = unhex(RECORD_BEFORE_HISTOGRAMS);
  ASSERT_TRUE(w4_record_decode(off.data(), off.size(), &rec, &err)) << err;
  EXPECT_EQ(std::string::npos, w4_record_json(rec).find("latency_histogram"));
  EXPECT_EQ(std::string::npos, w4_record_json(rec).find("p99_ms"));
  EXPECT_EQ(std::string::npos, w4_record_line(rec).find("p50"));

  /* The histogram's two fields, rebuilt with other contents. */
  auto with = [&](const std::string &idx, const std::string &cnt) {
    return off + std::string("\xca\x01", 2) + varint(idx.size()) + idx +
           std::string("\xd2\x01", 2) + varint(cnt.size()) + cnt;
  };
  /* count is 7 in this record. */
  const std::string ok = with(std::string("\x00\x05", 2), "\x03\x04");
  ASSERT_TRUE(w4_record_decode(ok.data(), ok.size(), &rec, &err)) << err;
  EXPECT_TRUE(w4_record_sane(rec, &err)) << err;
  const std::string i05("\x00\x05", 2);
  const struct {
    const char *what;
    std::string value;
  } bad[] = {
      {"cut inside the counts", good.substr(0, good.size() - 2)},
      {"counts missing", good.substr(0, good.find(std::string("\xd2\x01", 2)))},
      {"index out of range", with(std::string("\x00\x4a", 2), "\x03\x04")},
      {"indices not ascending", with("\x05\x01", "\x03\x04")},
      {"the same index twice", with("\x05\x05", "\x03\x04")},
      {"counts that do not add up", with(i05, "\x03\x05")},
      {"a zero count",
       with(std::string("\x00\x05\x06", 3), std::string("\x03\x04\x00", 3))},
      {"more counts than indices", with(std::string("\x00", 1), "\x03\x04")},
      {"more values than buckets",
       with(std::string(75, '\x01'), std::string(75, '\x01'))},
      {"index beyond 32 bits", with(varint(UINT64_C(1) << 32), "\x07")},
      {"a histogram in an empty-window record",
       unhex("7f 22 20") + SESSION +
           unhex("80 01 98 75 88 01 02 ca 01 01 00 d2 01 01 01")},
  };
  for (const auto &b : bad) {
    bool decoded = w4_record_decode(b.value.data(), b.value.size(), &rec, &err);
    EXPECT_FALSE(decoded && w4_record_sane(rec, &err)) << b.what;
  }
}

/* Merged histograms: the exporter's cumulative buckets at the fixed bounds,
 * the aggregate's group p99 and the audit's. */
TEST(HistogramTools, ExportedBucketsAndGroupPercentiles) {
  w4_aggregate agg;
  w4_audit audit;
  /* Two partitions of one group: 90 messages at 10 ms, 10 at 40 s. */
  for (int32_t part = 0; part < 2; part++) {
    w4_record rec;
    rec.msg = monitoring_MonitoringMessage_init_zero;
    rec.client_id = "c";
    rec.group_id = "g";
    rec.topic = "t";
    rec.session_id = SESSION;
    rec.msg.partition = part;
    rec.msg.window = 15000;
    rec.msg.window_size = 15000;
    rec.msg.count = 50;
    rec.msg.min_latency = 10;
    rec.msg.max_latency = 40000;
    rec.msg.latency_sum = 45 * 10 + 5 * 40000;
    rec.hist_index = {9, static_cast<uint32_t>(histogram_index(40000))};
    rec.hist_count = {45, 5};
    std::string err;
    ASSERT_TRUE(w4_record_sane(rec, &err)) << err;
    w4_aggregate_add(&agg, rec, 0);
    w4_audit_add(&audit, rec, 0);
    /* The producers acknowledged 40 of them in the window. */
    w4_record prod = rec;
    prod.msg.client_type = 1;
    prod.client_id = "p";
    prod.group_id.clear();
    prod.msg.count = 40;
    prod.hist_index.clear();
    prod.hist_count.clear();
    w4_audit_add(&audit, prod, 0);
  }
  /* Rank 99 of 100 lies in (35676, 42426]: 4 of its 10 messages in. */
  double p99 = 35677 + (42426 - 35677) * 9.0 / 10.0;
  EXPECT_DOUBLE_EQ(p99, w4_aggregate_group_p99(agg, "g"));
  EXPECT_EQ(-1, w4_aggregate_group_p99(agg, "other"));
  std::vector<w4_audit_row> rows;
  w4_audit_finish(&audit, &rows);
  ASSERT_EQ(2u, rows.size());            /* 10 more consumed: excess rows */
  EXPECT_DOUBLE_EQ(p99, rows[0].p99_ms); /* the same in either partition */
  EXPECT_DOUBLE_EQ(p99, rows[1].p99_ms);
  char p99_text[32];
  snprintf(p99_text, sizeof(p99_text), " %.1f\n", p99);
  EXPECT_NE(std::string::npos, w4_audit_table_line(rows[0]).find(p99_text));
  EXPECT_DOUBLE_EQ(p99, w4_audit_totals_p99(audit.totals.begin()->second));
  EXPECT_EQ("p99 -", w4_audit_p99_str(-1));

  agg.by_topic = false;
  std::string text = w4_exposition(&agg, &audit, w4_exposition_opts());
  const std::string lbl = "client_type=\"consumer\",client_id=\"c\",group_id="
                          "\"g\",cluster_id=\"\",topic=\"t\",partition=\"0\"";
  for (const std::string &line :
       {std::string("# TYPE w4metrics_message_latency_seconds histogram\n"),
        "w4metrics_message_latency_seconds_bucket{" + lbl +
            ",le=\"0.005\"} 0\n",
        "w4metrics_message_latency_seconds_bucket{" + lbl +
            ",le=\"0.01\"} 45\n",
        "w4metrics_message_latency_seconds_bucket{" + lbl + ",le=\"30\"} 45\n",
        "w4metrics_message_latency_seconds_bucket{" + lbl + ",le=\"60\"} 50\n",
        "w4metrics_message_latency_seconds_bucket{" + lbl +
            ",le=\"+Inf\"} 50\n",
        "w4metrics_message_latency_seconds_sum{" + lbl + "} 200.450\n",
        "w4metrics_message_latency_seconds_count{" + lbl + "} 50\n"})
    EXPECT_NE(std::string::npos, text.find(line)) << line << text;
  std::string out;
  EXPECT_TRUE(promtool_accepts(text, &out)) << out;
}

} // namespace
