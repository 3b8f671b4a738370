/* Monitoring records end to end: the built plug-in loaded into real clients
 * through plugin.library.paths, librdkafka's mock cluster, and the records
 * read back from the monitoring topic and decoded with the test's own wire
 * reader. */
#include "testlib.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unistd.h>
#ifdef W4_HAVE_RDKAFKAXX
#include <librdkafka/rdkafkacpp.h>
#endif

using namespace w4test;

namespace {

const std::string P = "quarndale.monitoring.interceptor.";
const char *MON_TOPIC = "_quarndale-monitoring";

/* Identity of a numbered stream of records. */
typedef std::tuple<std::string, std::string, std::string, int64_t> stream_key;

stream_key key_of(const wire_msg &m) {
  return stream_key(m.str(F_CLIENT_ID), m.str(F_SESSION_ID), m.str(F_TOPIC),
                    static_cast<int32_t>(m.i64(F_PARTITION)));
}

/* Records grouped by stream, each sorted by sequence. */
std::map<stream_key, std::vector<wire_msg>>
by_stream(const std::vector<wire_msg> &records) {
  std::map<stream_key, std::vector<wire_msg>> streams;
  for (const auto &m : records)
    streams[key_of(m)].push_back(m);
  for (auto &s : streams)
    std::sort(s.second.begin(), s.second.end(),
              [](const wire_msg &a, const wire_msg &b) {
                return a.i64(F_SEQUENCE) < b.i64(F_SEQUENCE);
              });
  return streams;
}

rd_kafka_conf_t *
plugin_conf(const mock_cluster *mc,
            const std::vector<std::pair<std::string, std::string>> &props) {
  std::vector<std::pair<std::string, std::string>> all = {
      {"bootstrap.servers", mc->bootstraps},
      {"plugin.library.paths", plugin_path()}};
  all.insert(all.end(), props.begin(), props.end());
  return make_conf(all);
}

struct sent_stats {
  int64_t count = 0, bytes = 0;
};

/* Produces n messages over partitions of topic with varied sizes and keys,
 * and waits for them all. */
sent_stats produce_traffic(rd_kafka_t *rk, const char *topic, int n,
                           int partition_cnt) {
  sent_stats s;
  std::string value(200, 'v');
  for (int i = 0; i < n; i++) {
    size_t vlen = (i * 37) % 200, klen = i % 3 == 0 ? 0 : 1 + i % 7;
    rd_kafka_resp_err_t err = rd_kafka_producev(
        rk, RD_KAFKA_V_TOPIC(topic), RD_KAFKA_V_PARTITION(i % partition_cnt),
        RD_KAFKA_V_VALUE((void *)value.data(), vlen),
        RD_KAFKA_V_KEY((void *)(klen ? value.data() : nullptr), klen),
        RD_KAFKA_V_END);
    EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, err);
    s.count++;
    s.bytes += vlen + klen;
  }
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(rk, 10000));
  return s;
}

/* Consumes n messages of topic in the consumer's group. */
sent_stats consume_traffic(rd_kafka_t *rk, const char *topic, int n) {
  sent_stats s;
  EXPECT_TRUE(subscribe(rk, topic));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (s.count < n && std::chrono::steady_clock::now() < deadline) {
    rd_kafka_message_t *m = rd_kafka_consumer_poll(rk, 100);
    if (!m)
      continue;
    if (!m->err) {
      s.count++;
      s.bytes += m->len + m->key_len;
    }
    rd_kafka_message_destroy(m);
  }
  return s;
}

/* The mock cluster answers produce requests with a log-append time of its
 * own, which librdkafka then reports as the acknowledged message's
 * timestamp: producer records therefore land in an early window, aligned all
 * the same. */
struct FlowTest : ::testing::Test {
  mock_cluster *mc = nullptr;
  void SetUp() override {
    mc = mock_cluster_start();
    ASSERT_NE(nullptr, mc);
    rd_kafka_mock_topic_create(mc->mcluster, "app", 3, 1);
    rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 2, 1);
  }
  void TearDown() override { mock_cluster_stop(mc); }
};

TEST_F(FlowTest, ProducerAndConsumerRecordsAccountForEveryMessage) {
  const int N = 600;
  rd_kafka_t *prod = client_new(RD_KAFKA_PRODUCER,
                                plugin_conf(mc, {{"client.id", "flow-producer"},
                                                 {P + "publishms", "300"}}));
  sent_stats sent = produce_traffic(prod, "app", N, 3);
  sleep_ms(800); /* at least one pass with idle topic-partitions */
  rd_kafka_destroy(prod);

  rd_kafka_t *cons = client_new(
      RD_KAFKA_CONSUMER, plugin_conf(mc, {{"client.id", "flow-consumer"},
                                          {"group.id", "flow-group"},
                                          {"auto.offset.reset", "earliest"},
                                          {P + "publishms", "300"}}));
  sent_stats got = consume_traffic(cons, "app", N);
  ASSERT_EQ(N, got.count);
  sleep_ms(800);
  rd_kafka_consumer_close(cons);
  rd_kafka_destroy(cons);

  std::vector<wire_msg> records = read_records(mc->bootstraps, MON_TOPIC);
  ASSERT_FALSE(records.empty());

  std::map<std::string, sent_stats> counted;
  std::set<std::string> cluster_ids;
  int empty_windows = 0;
  for (const auto &m : records) {
    std::string client = m.str(F_CLIENT_ID);
    ASSERT_TRUE(client == "flow-producer" || client == "flow-consumer")
        << client;
    EXPECT_EQ("app", m.str(F_TOPIC));
    EXPECT_EQ(300, m.i64(F_WINDOW_SIZE));
    EXPECT_EQ(0, m.i64(F_WINDOW) % 300);
    EXPECT_EQ(32u, m.str(F_SESSION_ID).size());
    EXPECT_TRUE(m.has(F_CLUSTER_ID));
    cluster_ids.insert(m.str(F_CLUSTER_ID));
    if (client == "flow-producer") {
      EXPECT_EQ(1, m.i64(F_CLIENT_TYPE));
      EXPECT_FALSE(m.has(F_GROUP_ID));
    } else {
      EXPECT_FALSE(m.has(F_CLIENT_TYPE)); /* consumer: 0, not written */
      EXPECT_EQ("flow-group", m.str(F_GROUP_ID));
    }
    if (m.i64(F_RECORD_KIND) == 2) {
      empty_windows++;
      EXPECT_FALSE(m.has(F_COUNT) || m.has(F_WINDOW) || m.has(F_MIN_LATENCY));
      continue;
    }
    EXPECT_EQ(0, m.i64(F_RECORD_KIND));
    EXPECT_GE(m.i64(F_COUNT), 1);
    EXPECT_LE(m.i64(F_MIN_LATENCY), m.i64(F_MAX_LATENCY));
    EXPECT_GE(m.i64(F_LATENCY_SUM), m.i64(F_MAX_LATENCY));
    counted[client].count += m.i64(F_COUNT);
    counted[client].bytes += m.i64(F_AGGREGATE_BYTES);
  }
  EXPECT_EQ(sent.count, counted["flow-producer"].count);
  EXPECT_EQ(sent.bytes, counted["flow-producer"].bytes);
  EXPECT_EQ(got.count, counted["flow-consumer"].count);
  EXPECT_EQ(got.bytes, counted["flow-consumer"].bytes);
  EXPECT_GT(empty_windows, 0);
  EXPECT_EQ(1u, cluster_ids.size());

  /* Each topic-partition's records within a session: 0, 1, 2, ... and only
   * the last one, from the final pass at teardown, is final. */
  auto streams = by_stream(records);
  EXPECT_EQ(6u, streams.size()); /* two clients, three partitions */
  for (const auto &s : streams) {
    const auto &recs = s.second;
    for (size_t i = 0; i < recs.size(); i++) {
      EXPECT_EQ(static_cast<int64_t>(i), recs[i].i64(F_SEQUENCE));
      EXPECT_EQ(i + 1 == recs.size() ? 1 : 0, recs[i].i64(F_FINAL))
          << std::get<0>(s.first) << " [" << std::get<3>(s.first) << "] #" << i;
    }
  }
}

TEST_F(FlowTest, ShortSessionsRenumberEveryPass) {
  rd_kafka_t *prod = client_new(
      RD_KAFKA_PRODUCER, plugin_conf(mc, {{"client.id", "short"},
                                          {P + "publishms", "200"},
                                          {P + "sessiondurationms", "1"}}));
  for (int i = 0; i < 8; i++) {
    produce_traffic(prod, "app", 5, 1);
    sleep_ms(120);
  }
  rd_kafka_destroy(prod);

  std::map<int64_t, std::vector<wire_msg>> passes; /* by pass time */
  for (const auto &m : read_records(mc->bootstraps, MON_TOPIC))
    passes[m.i64(F_TIMESTAMP)].push_back(m);
  ASSERT_GE(passes.size(), 3u);
  std::set<std::string> sessions;
  for (auto &p : passes) {
    auto &recs = p.second;
    std::sort(recs.begin(), recs.end(),
              [](const wire_msg &a, const wire_msg &b) {
                return a.i64(F_SEQUENCE) < b.i64(F_SEQUENCE);
              });
    std::string session = recs[0].str(F_SESSION_ID);
    EXPECT_TRUE(sessions.insert(session).second) << "session id reused";
    for (size_t i = 0; i < recs.size(); i++) {
      EXPECT_EQ(session, recs[i].str(F_SESSION_ID));
      EXPECT_EQ(static_cast<int64_t>(i), recs[i].i64(F_SEQUENCE));
      EXPECT_EQ(i + 1 == recs.size() ? 1 : 0, recs[i].i64(F_FINAL));
    }
  }
}

#ifdef W4_HAVE_RDKAFKAXX
TEST_F(FlowTest, CxxClientHasExactlyOneInstanceAndNoSelfMonitoring) {
  std::string err;
  RdKafka::Conf *conf = RdKafka::Conf::create(RdKafka::Conf::CONF_GLOBAL);
  ASSERT_EQ(RdKafka::Conf::CONF_OK,
            conf->set("bootstrap.servers", mc->bootstraps, err));
  ASSERT_EQ(RdKafka::Conf::CONF_OK,
            conf->set("plugin.library.paths", plugin_path(), err))
      << err;
  ASSERT_EQ(RdKafka::Conf::CONF_OK, conf->set("client.id", "cxx", err));
  ASSERT_EQ(RdKafka::Conf::CONF_OK, conf->set(P + "publishms", "250", err));
  ASSERT_EQ(RdKafka::Conf::CONF_OK, conf->set(P + "icdebug", "true", err));

  stderr_capture *cap = stderr_capture_start();
  RdKafka::Producer *prod = RdKafka::Producer::create(conf, err);
  ASSERT_NE(nullptr, prod) << err;
  delete conf; /* the client works from its own duplicate */
  int n = 50;
  for (int i = 0; i < n; i++)
    ASSERT_EQ(RdKafka::ERR_NO_ERROR,
              prod->produce("app", 0, RdKafka::Producer::RK_MSG_COPY,
                            (void *)"cxx-value", 9, nullptr, 0, 0, nullptr));
  ASSERT_EQ(RdKafka::ERR_NO_ERROR, prod->flush(10000));
  sleep_ms(600);
  delete prod;
  std::string lines = stderr_capture_stop(cap);

  EXPECT_EQ(1, count_lines(lines, "Creating w4 metrics interceptor")) << lines;
  EXPECT_EQ(1, count_lines(lines, "Background thread terminating"));
  int64_t counted = 0;
  for (const auto &m : read_records(mc->bootstraps, MON_TOPIC)) {
    EXPECT_NE(MON_TOPIC, m.str(F_TOPIC));
    EXPECT_EQ("cxx", m.str(F_CLIENT_ID));
    counted += m.i64(F_COUNT);
  }
  EXPECT_EQ(n, counted);
}
#endif

TEST_F(FlowTest, UnreachableMonitoringClusterNeverHoldsTheApplication) {
  int delivered = 0;
  rd_kafka_conf_t *conf = plugin_conf(
      mc, {{P + "bootstrap.servers", "127.0.0.1:1"}, {P + "publishms", "200"}});
  rd_kafka_conf_set_opaque(conf, &delivered);
  rd_kafka_conf_set_dr_msg_cb(
      conf, [](rd_kafka_t *, const rd_kafka_message_t *m, void *opaque) {
        if (!m->err)
          ++*static_cast<int *>(opaque);
      });
  stderr_capture *cap = stderr_capture_start();
  rd_kafka_t *prod = client_new(RD_KAFKA_PRODUCER, conf);
  for (int i = 0; i < 4; i++) {
    produce_traffic(prod, "app", 50, 3);
    rd_kafka_poll(prod, 0);
    sleep_ms(150);
  }
  auto t0 = std::chrono::steady_clock::now();
  rd_kafka_destroy(prod);
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - t0)
                  .count();
  std::string lines = stderr_capture_stop(cap);
  EXPECT_EQ(200, delivered);
  EXPECT_EQ(0, count_lines(lines, "W4IC: ")) << lines; /* icdebug off */
  EXPECT_LT(took, 5000); /* final pass, a flush of at most 1000 ms */
  EXPECT_TRUE(consume_all(mc->bootstraps, MON_TOPIC, 500, 3000).empty());
}

/* A full private queue loses records: the sequence shows the gap, nothing
 * else is reported without debug lines. The private producer may hold one
 * record, which a slow broker keeps in flight across passes. */
TEST_F(FlowTest, FullPrivateQueueLeavesSequenceGaps) {
  rd_kafka_mock_broker_set_rtt(mc->mcluster, 1, 300);
  stderr_capture *cap = stderr_capture_start();
  rd_kafka_t *prod =
      client_new(RD_KAFKA_PRODUCER,
                 plugin_conf(mc, {{"client.id", "gappy"},
                                  {P + "publishms", "150"},
                                  {P + "queue.buffering.max.messages", "1"}}));
  for (int i = 0; i < 4; i++)
    produce_traffic(prod, "app", 30, 2);
  sleep_ms(1000);
  rd_kafka_destroy(prod);
  std::string lines = stderr_capture_stop(cap);
  EXPECT_EQ(0, count_lines(lines, "W4IC: ")) << lines;
  rd_kafka_mock_broker_set_rtt(mc->mcluster, 1, 0);

  std::vector<wire_msg> records = read_records(mc->bootstraps, MON_TOPIC);
  ASSERT_FALSE(records.empty());
  int gaps = 0;
  for (const auto &s : by_stream(records)) {
    int64_t expect = 0;
    for (const auto &m : s.second) {
      EXPECT_GE(m.i64(F_SEQUENCE), expect); /* never repeated */
      gaps += m.i64(F_SEQUENCE) != expect;
      expect = m.i64(F_SEQUENCE) + 1;
    }
  }
  EXPECT_GT(gaps, 0);
  /* The broker's round trip is in every acknowledgement's latency, which is
   * librdkafka's microseconds counted in milliseconds. */
  for (const auto &m : records)
    if (m.i64(F_COUNT) > 0) {
      EXPECT_GE(m.i64(F_MIN_LATENCY), 300);
      EXPECT_LT(m.i64(F_MAX_LATENCY), 30000);
    }
}

/* Acknowledgements may arrive after the client's teardown has begun; the
 * sanitizer build turns any use of released memory into a failure. */
TEST_F(FlowTest, ClientDestroyedWithMessagesInFlight) {
  /* Teardown takes the final pass and a flush of 1000 ms towards the
   * unreachable monitoring cluster; responses delayed by about that long
   * arrive while it ends. */
  for (int rtt : {900, 1100, 1300, 1500}) {
    rd_kafka_mock_broker_set_rtt(mc->mcluster, 1, 0);
    rd_kafka_t *prod = client_new(
        RD_KAFKA_PRODUCER,
        plugin_conf(mc, {{P + "publishms", "100"}, {"linger.ms", "0"}}));
    produce_traffic(prod, "app", 3, 3); /* connection and metadata ready */
    rd_kafka_mock_broker_set_rtt(mc->mcluster, 1, rtt);
    for (int i = 0; i < 300; i++) {
      rd_kafka_producev(prod, RD_KAFKA_V_TOPIC("app"),
                        RD_KAFKA_V_PARTITION(i % 3),
                        RD_KAFKA_V_VALUE((void *)"late", 4), RD_KAFKA_V_END);
      if (i % 30 == 0)
        sleep_ms(10);
    }
    rd_kafka_destroy(prod);
  }
}

/* One record through the cluster, decoded with protoc and the schema: the
 * schema's names and the encoder agree. */
TEST_F(FlowTest, RecordsDecodeWithTheSchema) {
  rd_kafka_t *prod = client_new(
      RD_KAFKA_PRODUCER,
      plugin_conf(mc, {{"client.id", "schema"},
                       {"linger.ms", "100"}, /* one request, one record */
                       {P + "publishms", "200"}}));
  produce_traffic(prod, "app", 3, 1);
  sleep_ms(500);
  rd_kafka_destroy(prod);
  std::vector<consumed> values = consume_all(mc->bootstraps, MON_TOPIC);
  ASSERT_FALSE(values.empty());
  const consumed *data = nullptr;
  for (const auto &c : values)
    if (record_decode(c.value).i64(F_COUNT) == 3)
      data = &c;
  ASSERT_NE(nullptr, data);

  std::string path_tmpl = std::string(P_tmpdir) + "/w4test-record-XXXXXX";
  char *path = &path_tmpl[0];
  int fd = mkstemp(path);
  ASSERT_EQ(static_cast<ssize_t>(data->value.size() - 1),
            write(fd, data->value.data() + 1, data->value.size() - 1));
  close(fd);
  std::string proto = W4_PROTO_PATH;
  std::string dir = proto.substr(0, proto.rfind('/'));
  int status;
  std::string text =
      run_command("protoc --decode=monitoring.MonitoringMessage -I '" + dir +
                      "' monitoring.proto < " + path,
                  &status);
  unlink(path);
  ASSERT_EQ(0, status) << text;
  for (const char *field :
       {"client_type: 1", "client_id: \"schema\"", "session_id: \"",
        "topic: \"app\"", "count: 3", "aggregate_bytes: ", "window_size: 200",
        "cluster_id: \"", "timestamp: "})
    EXPECT_NE(std::string::npos, text.find(field)) << field << "\n" << text;
  EXPECT_EQ(std::string::npos, text.find("group_id"));
  EXPECT_EQ(std::string::npos, text.find("final"));
}

} // namespace
