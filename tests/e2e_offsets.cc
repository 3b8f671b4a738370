/* Offset ranges end to end: real clients with the plug-in on the mock
 * cluster; the monitoring topic decoded by the test's own wire reader, by
 * protoc with the schema and by the reader's JSON. */
#include "testlib.h"

#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <unistd.h>

using namespace w4test;

namespace {

const char *const MON_TOPIC = "_quarndale-monitoring";
const std::string P = "quarndale.monitoring.interceptor.";

/* Offsets per partition, as the delivery reports or the polls gave them. */
typedef std::map<int32_t, std::multiset<int64_t>> offsets_by_partition;

/* Delivery report callback: the acknowledged offset of every message
 * delivered without error. */
void dr_offsets(rd_kafka_t *, const rd_kafka_message_t *m, void *opaque) {
  if (!m->err)
    (*static_cast<offsets_by_partition *>(opaque))[m->partition].insert(
        m->offset);
}

/* What one client's records say of one topic: per partition the offsets
 * that their ranges cover, each range walked in full; records without a
 * range and offset fields out of place counted apart. */
struct ranges {
  offsets_by_partition covered;
  int64_t count = 0;          /* messages in the data records */
  int data_records = 0;       /* with a range */
  int without_range = 0;      /* data records without one */
  int empty_with_offsets = 0; /* empty-window records with either field */
};

/* Reads the ranges of client_id's records of topic; every range must be as
 * wide as its record's count (offsets of one partition are contiguous on
 * this cluster, so a record's range holds its messages and no others). */
ranges ranges_of(const std::vector<wire_msg> &records,
                 const std::string &client_id, const std::string &topic) {
  ranges r;
  for (const wire_msg &w : records) {
    if (w.str(F_CLIENT_ID) != client_id || w.str(F_TOPIC) != topic)
      continue;
    bool either = w.has(27) || w.has(28);
    if (w.i64(F_RECORD_KIND) == RECORD_EMPTY_WINDOW) {
      r.empty_with_offsets += either;
      continue;
    }
    r.count += w.i64(F_COUNT);
    if (!either) {
      r.without_range++;
      continue;
    }
    EXPECT_TRUE(w.has(27) && w.has(28)) << "both or neither";
    int64_t lo = w.i64(27), hi = w.i64(28);
    EXPECT_EQ(w.i64(F_COUNT), hi - lo + 1) << "range " << lo << "-" << hi;
    int32_t part = static_cast<int32_t>(w.i64(F_PARTITION));
    for (int64_t o = lo; o <= hi && o - lo < 100000; o++)
      r.covered[part].insert(o);
    r.data_records++;
  }
  return r;
}

/* A producer with the plug-in, its offsets setting as given (none: not
 * set), its delivery reports into *acked; linger lets a batch form. */
rd_kafka_t *producer_with(const mock_cluster *mc, const std::string &client_id,
                          const char *offsets, offsets_by_partition *acked) {
  std::vector<std::pair<std::string, std::string>> props = {
      {"bootstrap.servers", mc->bootstraps},
      {"client.id", client_id},
      {"plugin.library.paths", plugin_path()},
      {"linger.ms", "20"},
      {P + "publishms", "500"}};
  if (offsets)
    props.push_back({P + "offsets", offsets});
  rd_kafka_conf_t *conf = make_conf(props);
  rd_kafka_conf_set_dr_msg_cb(conf, dr_offsets);
  rd_kafka_conf_set_opaque(conf, acked);
  return client_new(RD_KAFKA_PRODUCER, conf);
}

/* Produces n messages round robin to partitions 0 and 1 of topic and waits
 * for their acknowledgements. */
void produce_n(rd_kafka_t *rk, const char *topic, int n) {
  for (int i = 0; i < n; i++)
    ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
              rd_kafka_producev(rk, RD_KAFKA_V_TOPIC(topic),
                                RD_KAFKA_V_PARTITION(i % 2),
                                RD_KAFKA_V_VALUE(const_cast<char *>("v"), 1),
                                RD_KAFKA_V_END));
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(rk, 15000));
}

/* Polls until n messages came without error or timeout_ms passed; their
 * offsets per partition. */
offsets_by_partition consume_offsets(rd_kafka_t *rk, int n, int timeout_ms) {
  offsets_by_partition out;
  int got = 0;
  int64_t deadline = mono_ms() + timeout_ms;
  while (got < n && mono_ms() < deadline) {
    rd_kafka_message_t *m = rd_kafka_consumer_poll(rk, 100);
    if (!m)
      continue;
    if (!m->err) {
      out[m->partition].insert(m->offset);
      got++;
    }
    rd_kafka_message_destroy(m);
  }
  return out;
}

/* Runs protoc --decode with the installed schema over a record's message. */
std::string protoc_decode(const std::string &value, int *status) {
  std::string proto = W4_PROTO_PATH;
  std::string path = temp_file();
  std::ofstream(path) << value.substr(1);
  std::string text =
      run_command("protoc --decode=monitoring.MonitoringMessage -I '" +
                      proto.substr(0, proto.rfind('/')) +
                      "' monitoring.proto < '" + path + "' 2>&1",
                  status);
  unlink(path.c_str());
  return text;
}

/* A producer with the setting writes 60 messages to two partitions: its
 * ranges cover exactly the offsets that the broker acknowledged, from 0,
 * each once. The same traffic from a producer without the setting gives
 * records without fields 27 and 28. protoc and the reader read the range,
 * a present 0 included. */
TEST(OffsetsEndToEnd, ProducerRangesAreTheAcknowledgedOffsets) {
  const int N = 60;
  mock_cluster *mc = mock_cluster_start();
  rd_kafka_mock_topic_create(mc->mcluster, "acked", 2, 1);
  rd_kafka_mock_topic_create(mc->mcluster, "plain", 2, 1);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);

  offsets_by_partition acked, acked_off;
  rd_kafka_t *on = producer_with(mc, "p-on", "true", &acked);
  rd_kafka_t *off = producer_with(mc, "p-off", nullptr, &acked_off);
  ASSERT_NE(nullptr, on);
  ASSERT_NE(nullptr, off);
  produce_n(on, "acked", N);
  produce_n(off, "plain", N);
  rd_kafka_destroy(on); /* the final pass publishes every window */
  rd_kafka_destroy(off);

  std::vector<consumed> values = consume_all(mc->bootstraps, MON_TOPIC);
  std::vector<wire_msg> records;
  for (const consumed &c : values)
    records.push_back(record_decode(c.value));
  ranges r = ranges_of(records, "p-on", "acked");
  EXPECT_EQ(N, r.count);
  EXPECT_EQ(0, r.without_range);
  EXPECT_EQ(0, r.empty_with_offsets);
  ASSERT_EQ(2u, acked.size());
  EXPECT_EQ(acked, r.covered) << "every acknowledged offset once, no other";
  EXPECT_EQ(0, *r.covered[0].begin());
  EXPECT_EQ(N / 2 - 1, *r.covered[1].rbegin());

  ranges plain = ranges_of(records, "p-off", "plain");
  EXPECT_EQ(N, plain.count);
  EXPECT_EQ(0, plain.data_records) << "no range without the setting";
  EXPECT_GT(plain.without_range, 0);
  for (const wire_msg &w : records) {
    if (w.str(F_CLIENT_ID) == "p-off") {
      EXPECT_FALSE(w.has(27) || w.has(28));
    }
  }

  /* The record that starts partition 0 at offset 0, read by protoc. */
  std::string first;
  for (size_t i = 0; i < records.size(); i++)
    if (records[i].str(F_CLIENT_ID) == "p-on" && records[i].has(27) &&
        records[i].i64(27) == 0 && records[i].i64(F_PARTITION) == 0)
      first = values[i].value;
  ASSERT_FALSE(first.empty());
  int status;
  std::string text = protoc_decode(first, &status);
  ASSERT_EQ(0, status) << text;
  EXPECT_NE(std::string::npos, text.find("\nmin_offset: 0\n")) << text;
  EXPECT_NE(std::string::npos, text.find("\nmax_offset: ")) << text;

  std::string json = run_command(std::string(W4_TOOLS_DIR) +
                                     "/w4metrics-read -b " + mc->bootstraps +
                                     " --from-beginning --json --exit-idle "
                                     "3000 2>/dev/null",
                                 &status);
  mock_cluster_stop(mc);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, json.find(",\"min_offset\":0,\"max_offset\":"))
      << json;
  for (size_t at = json.find("\"client_id\":\"p-off\"");
       at != std::string::npos;
       at = json.find("\"client_id\":\"p-off\"", at + 1))
    EXPECT_EQ(std::string::npos,
              json.substr(at, json.find('\n', at) - at).find("offset"));
}

/* A consumer with the setting that starts at offset 40 of both partitions
 * reports exactly the offsets it consumed, from 40; one without the setting
 * reading the same reports none. */
TEST(OffsetsEndToEnd, ConsumerRangesStartWhereItStarted) {
  mock_cluster *mc = mock_cluster_start();
  rd_kafka_mock_topic_create(mc->mcluster, "events", 2, 1);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);
  for (int32_t p = 0; p < 2; p++)
    produce_values(mc, "events", p, std::vector<std::string>(60, "v"));

  rd_kafka_t *on = plugin_client(mc, RD_KAFKA_CONSUMER, "c-on", "g-on",
                                 {{P + "offsets", "true"}});
  rd_kafka_t *off = plugin_client(mc, RD_KAFKA_CONSUMER, "c-off", "g-off");
  assign_at(on, "events", 40, 40);
  assign_at(off, "events", 40, 40);
  offsets_by_partition got = consume_offsets(on, 40, 30000);
  offsets_by_partition got_off = consume_offsets(off, 40, 30000);
  rd_kafka_destroy(on);
  rd_kafka_destroy(off);
  std::vector<wire_msg> records = read_records(mc->bootstraps, MON_TOPIC);
  mock_cluster_stop(mc);

  ASSERT_EQ(2u, got.size());
  ASSERT_EQ(20u, got[0].size());
  ASSERT_EQ(20u, got_off[1].size());
  ranges r = ranges_of(records, "c-on", "events");
  EXPECT_EQ(40, r.count);
  EXPECT_EQ(0, r.without_range);
  EXPECT_EQ(0, r.empty_with_offsets);
  EXPECT_EQ(got, r.covered);
  EXPECT_EQ(40, *r.covered[0].begin());
  EXPECT_EQ(40, *r.covered[1].begin());
  EXPECT_EQ(59, *r.covered[1].rbegin());
  ranges plain = ranges_of(records, "c-off", "events");
  EXPECT_EQ(40, plain.count);
  EXPECT_EQ(0, plain.data_records);
}

} // namespace
