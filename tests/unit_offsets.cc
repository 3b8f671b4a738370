/* The offset range of a window: its recording and encoding in the plug-in,
 * byte for byte against records kept from before the setting existed, and
 * its decoding, printing and checks in the tools. */
#include "exporter/aggregate.h"
#include "interceptors/w4ic.h"
#include "monitoring/histogram_encode.h"
#include "monitoring/offsets_encode.h"
#include "standalone_instance.h"
#include "testlib.h"
#include "w4record.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace w4test;

namespace {

const char SESSION[] = "0123456789abcdef0123456789abcdef";
const int64_t NOW = 1700000000000;

/* A consumer of group g with a cluster id, no intercepted client and a
 * private producer towards nowhere; the two settings as given. */
w4ic *make_instance(int32_t histogram, int32_t offsets) {
  w4ic *ic = standalone_instance("127.0.0.1:1", SESSION);
  ic->histogram = ic->tpmap.histogram = histogram;
  ic->offsets = ic->tpmap.offsets = offsets;
  ic->client_type = 0;
  ic_free(ic->client_id);
  ic->client_id = ic_strdup("reader");
  ic->group_id = ic_strdup("g");
  ic->cluster_id = ic_strdup("cluster-1");
  return ic;
}

/* Bytes as the hex text of testlib's hex(). */
std::string unhex(const std::string &text) {
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 3)
    out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  return out;
}

/* Latencies of one window (ms), and the offsets of its seven messages. */
const std::vector<int64_t> LATENCIES = {5, 50, 500, 30000, 7200000, 0, 3};

/* The record of that window before either setting existed, kept from then
 * (the histogram's test keeps the same reference). */
const char RECORD_BEFORE[] = "7f 12 06 72 65 61 64 65 72 1a 01 67 22 20 30 31 "
                             "32 33 34 35 36 37 38 39 61 62 63 64 65 66 30 31 "
                             "32 33 34 35 36 37 38 39 61 62 63 64 65 66 30 f8 "
                             "a8 95 ff bc 31 38 80 d0 95 ff bc 31 42 01 74 48 "
                             "02 50 07 58 5b 68 de a8 b9 03 78 80 ba b7 03 80 "
                             "01 98 75 b2 01 09 63 6c 75 73 74 65 72 2d 31";

/* Accounts the window's messages with these offsets into topic "t" [2],
 * then encodes its record as the publish pass does; the framed bytes. */
std::string window_record(w4ic *ic, const std::vector<int64_t> &offsets) {
  for (size_t i = 0; i < LATENCIES.size(); i++)
    w4ic_account(ic, "t", 2, 10 + static_cast<int64_t>(i), NOW - 5000 + i,
                 LATENCIES[i], offsets[i]);
  tp *t = tp_get(&ic->tpmap, "t", 2, 15000);
  timebuckets *set = tp_recording_set(&ic->tpmap, t);
  timebucket *b = set->buckets.first;
  const uint32_t *counts = set->histogram ? b->latency_counts : nullptr;
  const offset_range *range =
      set->offsets ? timebucket_offsets(set, b) : nullptr;
  w4ic_produce_message(ic, t, &b->msg, 0, NOW, counts, range);
  size_t n = 0;
  pb_get_encoded_size(&n, monitoring_MonitoringMessage_fields, &b->msg);
  if (counts)
    n += histogram_encoded_size(counts, b->msg.count);
  if (range)
    n += offset_range_encoded_size(range);
  std::string out(reinterpret_cast<const char *>(ic->record_buf), n + 1);
  timebuckets_clear(set, 1);
  return out;
}

/* Fields 27 and 28 as the plug-in must write them. */
std::string offset_fields(int64_t lo, int64_t hi) {
  return std::string("\xd8\x01", 2) + varint(static_cast<uint64_t>(lo)) +
         std::string("\xe0\x01", 2) + varint(static_cast<uint64_t>(hi));
}

const std::vector<int64_t> SOME = {120, 159, 133, -1, 121, 140, 130};
const std::vector<int64_t> NONE = {-1, -1, -1, -1001, -1, -1, -1};

/* The first record of that window on a fresh instance with the two
 * settings as given. */
std::string first_record(int32_t histogram, int32_t offsets,
                         const std::vector<int64_t> &offs) {
  w4ic *ic = make_instance(histogram, offsets);
  std::string out = window_record(ic, offs);
  standalone_instance_free(ic);
  return out;
}

/* Off, offsets fed or not, every record is the bytes of before, histogram
 * or not; on, the same bytes and the two fields last, in field order. */
TEST(Offsets, OffIsTheRecordOfBeforeAndOnAppendsTheTwoFields) {
  const std::string before = unhex(RECORD_BEFORE);
  EXPECT_EQ(hex(before), hex(first_record(0, 0, SOME)));

  std::string with_hist = first_record(1, 0, SOME);
  std::string both = first_record(1, 1, SOME);
  EXPECT_EQ(hex(with_hist + offset_fields(120, 159)), hex(both));
  wire_msg w = record_decode(both);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ((std::vector<int>{25, 26, 27, 28}),
            std::vector<int>(w.order.end() - 4, w.order.end()));

  EXPECT_EQ(hex(before + offset_fields(120, 159)),
            hex(first_record(0, 1, SOME)));
  /* Offset 0 is an offset: both fields, the 0 written. */
  EXPECT_EQ(hex(before + std::string("\xd8\x01\x00\xe0\x01\x05", 6)),
            hex(first_record(0, 1, {5, -1, 0, 3, -1, 0, 1})));
  /* Messages without offsets: neither field. */
  EXPECT_EQ(hex(before), hex(first_record(0, 1, NONE)));
  /* Beyond 32 bits, and the largest offset there is. */
  const int64_t big = (INT64_C(1) << 40) + 3;
  EXPECT_EQ(hex(before + offset_fields(big, INT64_MAX)),
            hex(first_record(
                0, 1, {big, INT64_MAX, big + 1, -1, big, big, INT64_MAX - 1})));
}

/* The range is 16 bytes behind the record and any latency counts, only
 * with the setting on, and starts empty in every new bucket. */
TEST(Offsets, BucketCarriesTheRangeOnlyWithTheSetting) {
  EXPECT_EQ(16u, sizeof(offset_range));
  for (int8_t h = 0; h < 2; h++) {
    timebuckets set;
    timebuckets_init(&set, TIMEBUCKETS_CHAIN_CNT, 15000);
    set.histogram = h;
    set.offsets = 1;
    timebucket *b = timebucket_get(&set, NOW);
    ASSERT_NE(nullptr, b);
    offset_range *r = timebucket_offsets(&set, b);
    EXPECT_EQ(sizeof(timebucket) + (h ? HISTOGRAM_COUNTS_SIZE : 0),
              static_cast<size_t>(reinterpret_cast<char *>(r) -
                                  reinterpret_cast<char *>(b)));
    EXPECT_FALSE(offset_range_present(r));
    EXPECT_EQ(0u, offset_range_encoded_size(r));
    offset_range_add(r, -1);
    offset_range_add(r, INT64_MIN);
    EXPECT_FALSE(offset_range_present(r));
    offset_range_add(r, 7);
    EXPECT_EQ(7, r->min);
    EXPECT_EQ(7, r->max);
    timebuckets_destroy(&set);
  }
}

/* The length of the last record that the pass produced, from its debug
 * line. */
size_t last_produced_len(const std::string &lines) {
  size_t at = lines.rfind("record (");
  return at == std::string::npos ? 0 : std::stoul(lines.substr(at + 8));
}

/* A pass publishes a window's range; the next pass's empty-window record
 * carries none, and a new window starts with an empty range. */
TEST(Offsets, PassPublishesTheRangeAndEmptyWindowsCarryNone) {
  w4ic *ic = make_instance(0, 1);
  ic->icdebug = 1;
  int64_t now = ic_now_ms();
  w4ic_account(ic, "t", 0, 1, now, 1, 0);
  w4ic_account(ic, "t", 0, 1, now, 1, 39);
  const bool data[] = {true, false, true};
  wire_msg w[3];
  for (int i = 0; i < 3; i++) {
    if (i == 2)
      w4ic_account(ic, "t", 0, 1, now, 1, 41);
    stderr_capture *cap = stderr_capture_start();
    w4ic_pass pass;
    w4ic_pass_begin(ic, &pass);
    w4ic_pass_publish(ic, pass, 0, now);
    std::string lines = stderr_capture_stop(cap);
    size_t len = last_produced_len(lines);
    ASSERT_GT(len, 0u) << lines;
    w[i] = record_decode(
        std::string(reinterpret_cast<const char *>(ic->record_buf), len));
    ASSERT_TRUE(w[i].ok);
    EXPECT_EQ(data[i] ? RECORD_DATA : RECORD_EMPTY_WINDOW,
              w[i].i64(F_RECORD_KIND));
  }
  EXPECT_TRUE(w[0].has(27) && w[0].has(28));
  EXPECT_EQ(0, w[0].i64(27));
  EXPECT_EQ(39, w[0].i64(28));
  EXPECT_FALSE(w[1].has(27) || w[1].has(28));
  EXPECT_EQ(41, w[2].i64(27));
  EXPECT_EQ(41, w[2].i64(28));
  standalone_instance_free(ic);
}

/* The tools read the range back, print it, and refuse every range that the
 * plug-in cannot have sent. */
TEST(OffsetsTools, DecodedPrintedAndChecked) {
  const std::string before = unhex(RECORD_BEFORE);
  w4_record rec;
  std::string err;
  std::string zero = before + offset_fields(0, 0);
  ASSERT_TRUE(w4_record_decode(zero.data(), zero.size(), &rec, &err)) << err;
  ASSERT_TRUE(w4_record_sane(rec, &err)) << err;
  EXPECT_TRUE(rec.has_min_offset && rec.has_max_offset);
  EXPECT_EQ(0, rec.min_offset);
  EXPECT_EQ(7, rec.msg.count) << "the fields before are read as before";
  std::string json = w4_record_json(rec);
  EXPECT_EQ(",\"min_offset\":0,\"max_offset\":0}",
            json.substr(json.size() - 31))
      << json;

  std::string some = before + offset_fields(120, 159);
  ASSERT_TRUE(w4_record_decode(some.data(), some.size(), &rec, &err)) << err;
  EXPECT_TRUE(w4_record_sane(rec, &err)) << err;
  EXPECT_NE(std::string::npos, w4_record_line(rec).find("  offsets 120-159"));
  EXPECT_NE(std::string::npos,
            w4_record_json(rec).find("\"min_offset\":120,\"max_offset\":159"));

  /* A record reused for a value without the range forgets it. */
  ASSERT_TRUE(w4_record_decode(before.data(), before.size(), &rec, &err));
  EXPECT_FALSE(rec.has_min_offset || rec.has_max_offset);
  EXPECT_EQ(std::string::npos, w4_record_json(rec).find("offset"));
  EXPECT_EQ(std::string::npos, w4_record_line(rec).find("offsets"));

  const std::string d8("\xd8\x01", 2), e0("\xe0\x01", 2);
  const struct {
    const char *what;
    std::string value;
  } bad[] = {
      {"only min_offset", before + d8 + varint(5)},
      {"only max_offset", before + e0 + varint(5)},
      {"a negative offset", before + offset_fields(-1, 5)},
      {"min above max", before + offset_fields(160, 159)},
      {"offsets in an empty-window record", unhex("7f 22 20") + SESSION +
                                                unhex("80 01 98 75 88 01 02") +
                                                offset_fields(0, 3)},
      {"an offset that is not a varint",
       before + std::string("\xda\x01\x01\x05", 4) + e0 + varint(5)},
      {"cut inside max_offset", some.substr(0, some.size() - 1)},
  };
  for (const auto &b : bad) {
    bool decoded = w4_record_decode(b.value.data(), b.value.size(), &rec, &err);
    EXPECT_FALSE(decoded && w4_record_sane(rec, &err)) << b.what;
  }
}

} // namespace
