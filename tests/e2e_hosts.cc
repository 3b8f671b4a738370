/* The plug-in in hosts as they are found in the field, loaded through
 * plugin.library.paths into real clients on librdkafka's mock cluster:
 * clients whose brokers are added through the API, transactional
 * producers, clients destroyed at once, consumers of old data, and a
 * configuration that would make the private producer load the plug-in. */
#include "testlib.h"

#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>
#ifdef W4_HAVE_RDKAFKAXX
#include <librdkafka/rdkafkacpp.h>
#endif

using namespace w4test;

namespace {

const std::string P = "quarndale.monitoring.interceptor.";
const char *MON_TOPIC = "_quarndale-monitoring";
const char *APP_TOPIC = "app";
const int64_t DAY_MS = 24LL * 3600 * 1000;

struct HostTest : ::testing::Test {
  mock_cluster *mc = nullptr;
  int delivered = 0;

  void SetUp() override {
    mc = mock_cluster_start();
    ASSERT_NE(nullptr, mc);
    rd_kafka_mock_topic_create(mc->mcluster, APP_TOPIC, 2, 1);
    rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);
  }
  void TearDown() override { mock_cluster_stop(mc); }

  /* A client of type created from the properties, in order; delivery
   * reports are counted in `delivered`. */
  rd_kafka_t *
  client(rd_kafka_type_t type,
         const std::vector<std::pair<std::string, std::string>> &props) {
    rd_kafka_conf_t *conf = make_conf(props);
    rd_kafka_conf_set_opaque(conf, &delivered);
    rd_kafka_conf_set_dr_msg_cb(conf, dr_count);
    return client_new(type, conf);
  }

  /* Produces n messages of 10 bytes over both partitions, timestamped ts
   * (0: now), without waiting. */
  void produce(rd_kafka_t *rk, int n, int64_t ts = 0) {
    for (int i = 0; i < n; i++)
      ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
                rd_kafka_producev(rk, RD_KAFKA_V_TOPIC(APP_TOPIC),
                                  RD_KAFKA_V_PARTITION(i % 2),
                                  RD_KAFKA_V_VALUE((void *)"0123456789", 10),
                                  RD_KAFKA_V_TIMESTAMP(ts), RD_KAFKA_V_END));
  }

  /* Data records of the monitoring topic of cluster, by client id. */
  std::map<std::string, std::vector<wire_msg>>
  records(const mock_cluster *cluster, int idle_ms = 800) {
    std::map<std::string, std::vector<wire_msg>> out;
    for (const wire_msg &m :
         read_records(cluster->bootstraps, MON_TOPIC, idle_ms))
      if (m.i64(F_RECORD_KIND) == 0)
        out[m.str(F_CLIENT_ID)].push_back(m);
    return out;
  }

  static int64_t counted(const std::vector<wire_msg> &recs) {
    int64_t n = 0;
    for (const auto &m : recs)
      n += m.i64(F_COUNT);
    return n;
  }
};

/* Hosts that add their brokers with rd_kafka_brokers_add() and set no
 * bootstrap.servers: the private producer takes the client's brokers before
 * its first record. A producer with passes, one destroyed before its first
 * pass (its final records are all it publishes), and a consumer. */
TEST_F(HostTest, BrokersAddedThroughTheApi) {
  const int N = 60;
  stderr_capture *cap = stderr_capture_start();
  rd_kafka_t *prod =
      client(RD_KAFKA_PRODUCER, {{"plugin.library.paths", plugin_path()},
                                 {"client.id", "api-brokers"},
                                 {P + "icdebug", "true"},
                                 {P + "publishms", "300"}});
  ASSERT_EQ(1, rd_kafka_brokers_add(prod, mc->bootstraps.c_str()));
  produce(prod, N);
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(prod, 10000));
  sleep_ms(700);
  produce(prod, N);
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(prod, 10000));
  rd_kafka_destroy(prod);
  std::string log = stderr_capture_stop(cap);
  EXPECT_EQ(1, count_lines(log, "W4IC: api-brokers: Monitoring producer takes "
                                "broker " +
                                    mc->bootstraps + " of the client"))
      << log;
  EXPECT_EQ(1, count_lines(log, "with 0 undelivered message(s)")) << log;

  rd_kafka_t *brief =
      client(RD_KAFKA_PRODUCER, {{"plugin.library.paths", plugin_path()},
                                 {"client.id", "api-brokers-brief"}});
  ASSERT_EQ(1, rd_kafka_brokers_add(brief, mc->bootstraps.c_str()));
  produce(brief, N);
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(brief, 10000));
  int64_t t0 = mono_ms();
  rd_kafka_destroy(brief);
  int64_t took = mono_ms() - t0;
  EXPECT_EQ(3 * N, delivered);
  EXPECT_LT(took, 3000); /* final pass, brokers taken, flush */

  rd_kafka_t *cons =
      client(RD_KAFKA_CONSUMER, {{"plugin.library.paths", plugin_path()},
                                 {"client.id", "api-brokers-consumer"},
                                 {"group.id", "api-brokers"},
                                 {"auto.offset.reset", "earliest"},
                                 {P + "publishms", "300"}});
  ASSERT_EQ(1, rd_kafka_brokers_add(cons, mc->bootstraps.c_str()));
  ASSERT_TRUE(subscribe(cons, APP_TOPIC));
  EXPECT_EQ(3 * N, consume_n(cons, 3 * N, 30000));
  sleep_ms(500);
  rd_kafka_consumer_close(cons);
  rd_kafka_destroy(cons);

  auto recs = records(mc);
  EXPECT_EQ(2 * N, counted(recs["api-brokers"]));
  EXPECT_EQ(N, counted(recs["api-brokers-brief"]));
  EXPECT_EQ(3 * N, counted(recs["api-brokers-consumer"]));
}

/* A configuration that names the monitoring brokers keeps them: the
 * client's own brokers, added through the API, are not taken. */
TEST_F(HostTest, BrokersOfTheConfigurationAreKept) {
  mock_cluster *mon = mock_cluster_start();
  ASSERT_NE(nullptr, mon);
  rd_kafka_mock_topic_create(mon->mcluster, MON_TOPIC, 1, 1);
  const int N = 40;
  rd_kafka_t *prod =
      client(RD_KAFKA_PRODUCER, {{"plugin.library.paths", plugin_path()},
                                 {"client.id", "api-brokers-override"},
                                 {P + "bootstrap.servers", mon->bootstraps},
                                 {P + "publishms", "300"}});
  ASSERT_EQ(1, rd_kafka_brokers_add(prod, mc->bootstraps.c_str()));
  produce(prod, N);
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(prod, 10000));
  sleep_ms(700);
  rd_kafka_destroy(prod);
  EXPECT_EQ(N, delivered);
  EXPECT_EQ(N, counted(records(mon)["api-brokers-override"]));
  EXPECT_TRUE(records(mc, 300).empty());
  mock_cluster_stop(mon);
}

/* Transactional producers, with transactional.id set before the plug-in is
 * loaded (the monitoring configuration's duplicate) and after it
 * (mirroring): the application's transactions work, and every acknowledged
 * message of them is accounted for, that of an aborted transaction too. An
 * override of it is refused. */
TEST_F(HostTest, TransactionalProducers) {
  const int N = 30;
  std::vector<std::vector<std::pair<std::string, std::string>>> confs = {
      {{"bootstrap.servers", mc->bootstraps},
       {"transactional.id", "txn-before"},
       {"client.id", "txn-before"},
       {"plugin.library.paths", plugin_path()},
       {P + "publishms", "300"}},
      {{"bootstrap.servers", mc->bootstraps},
       {"plugin.library.paths", plugin_path()},
       {"client.id", "txn-after"},
       {"transactional.id", "txn-after"},
       {P + "publishms", "300"}},
  };
  for (const auto &props : confs) {
    SCOPED_TRACE(props[2].second);
    delivered = 0;
    rd_kafka_t *prod = client(RD_KAFKA_PRODUCER, props);
    rd_kafka_error_t *error = rd_kafka_init_transactions(prod, 10000);
    ASSERT_EQ(nullptr, error) << rd_kafka_error_string(error);
    for (int txn = 0; txn < 2; txn++) {
      ASSERT_EQ(nullptr, rd_kafka_begin_transaction(prod));
      produce(prod, N);
      error = rd_kafka_commit_transaction(prod, 10000);
      ASSERT_EQ(nullptr, error) << rd_kafka_error_string(error);
      sleep_ms(400);
    }
    /* Acknowledged, then aborted: counted like any acknowledged message. */
    ASSERT_EQ(nullptr, rd_kafka_begin_transaction(prod));
    produce(prod, N);
    ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(prod, 10000));
    error = rd_kafka_abort_transaction(prod, 10000);
    ASSERT_EQ(nullptr, error) << rd_kafka_error_string(error);
    rd_kafka_destroy(prod);
    EXPECT_EQ(3 * N, delivered);
  }
  auto recs = records(mc);
  EXPECT_EQ(3 * N, counted(recs["txn-before"]));
  EXPECT_EQ(3 * N, counted(recs["txn-after"]));

  rd_kafka_conf_t *conf = make_conf({{"plugin.library.paths", plugin_path()}});
  std::string err;
  EXPECT_EQ(RD_KAFKA_CONF_INVALID,
            conf_set(conf, P + "transactional.id", "mon-txn", &err));
  EXPECT_EQ("Invalid value for configuration property \"" + P +
                "transactional.id\"",
            err);
  rd_kafka_conf_destroy(conf);
}

#ifdef W4_HAVE_RDKAFKAXX
/* The C++ API, which creates the client from a duplicate of its
 * configuration: a transactional producer there too. */
TEST_F(HostTest, TransactionalProducerOfTheCxxApi) {
  std::string err;
  RdKafka::Conf *conf = RdKafka::Conf::create(RdKafka::Conf::CONF_GLOBAL);
  for (const auto &p : std::vector<std::pair<std::string, std::string>>{
           {"bootstrap.servers", mc->bootstraps},
           {"transactional.id", "txn-cxx"},
           {"plugin.library.paths", plugin_path()},
           {"client.id", "txn-cxx"},
           {P + "publishms", "300"}})
    ASSERT_EQ(RdKafka::Conf::CONF_OK, conf->set(p.first, p.second, err))
        << p.first << ": " << err;
  RdKafka::Producer *prod = RdKafka::Producer::create(conf, err);
  ASSERT_NE(nullptr, prod) << err;
  delete conf;
  RdKafka::Error *error = prod->init_transactions(10000);
  ASSERT_EQ(nullptr, error) << error->str();
  ASSERT_EQ(nullptr, prod->begin_transaction());
  const int N = 25;
  for (int i = 0; i < N; i++)
    ASSERT_EQ(RdKafka::ERR_NO_ERROR,
              prod->produce(APP_TOPIC, i % 2, RdKafka::Producer::RK_MSG_COPY,
                            (void *)"cxx-value", 9, nullptr, 0, 0, nullptr));
  error = prod->commit_transaction(10000);
  ASSERT_EQ(nullptr, error) << error->str();
  sleep_ms(400);
  delete prod;
  EXPECT_EQ(N, counted(records(mc)["txn-cxx"]));
}
#endif

/* Clients destroyed right after their creation, connected or never able to
 * connect: teardown does not wait for a cluster id and says nothing. */
TEST_F(HostTest, ShortLivedClientsAreDestroyedAtOnce) {
  stderr_capture *cap = stderr_capture_start();
  int64_t slowest = 0;
  for (int i = 0; i < 10; i++) {
    std::string brokers = i % 2 ? "127.0.0.1:1" : mc->bootstraps;
    rd_kafka_type_t type = i % 4 < 2 ? RD_KAFKA_PRODUCER : RD_KAFKA_CONSUMER;
    rd_kafka_t *rk = client(type, {{"bootstrap.servers", brokers},
                                   {"plugin.library.paths", plugin_path()},
                                   {"group.id", "short-lived"},
                                   {"client.id", "short-lived"}});
    int64_t t0 = mono_ms();
    rd_kafka_destroy(rk);
    slowest = std::max(slowest, mono_ms() - t0);
  }
  std::string log = stderr_capture_stop(cap);
  EXPECT_LT(slowest, 2000); /* far below a wait for the cluster id */
  EXPECT_EQ(0, count_lines(log, "W4IC: ")) << log;
}

/* A consumer reading data 30 and 40 days old: each window's minimum latency
 * is the smallest age recorded, like its maximum. */
TEST_F(HostTest, OldDataHasItsRealMinimumLatency) {
  int64_t now = wall_ms();
  const int64_t ages[] = {40 * DAY_MS, 30 * DAY_MS};
  rd_kafka_t *prod =
      client(RD_KAFKA_PRODUCER, {{"bootstrap.servers", mc->bootstraps}});
  for (int64_t age : ages)
    produce(prod, 10, now - age);
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(prod, 10000));
  rd_kafka_destroy(prod);

  rd_kafka_t *cons =
      client(RD_KAFKA_CONSUMER, {{"bootstrap.servers", mc->bootstraps},
                                 {"plugin.library.paths", plugin_path()},
                                 {"client.id", "old-data"},
                                 {"group.id", "old-data"},
                                 {"auto.offset.reset", "earliest"},
                                 {P + "publishms", "60000"}});
  ASSERT_TRUE(subscribe(cons, APP_TOPIC));
  ASSERT_EQ(20, consume_n(cons, 20, 30000));
  int64_t done = wall_ms();
  rd_kafka_consumer_close(cons);
  rd_kafka_destroy(cons);

  /* One window per age and partition, from the final pass. */
  auto recs = records(mc)["old-data"];
  ASSERT_EQ(4u, recs.size());
  for (const auto &m : recs) {
    int64_t age = m.i64(F_WINDOW) < now - 35 * DAY_MS ? ages[0] : ages[1];
    SCOPED_TRACE("age " + std::to_string(age / DAY_MS) + " days");
    EXPECT_EQ(5, m.i64(F_COUNT));
    EXPECT_NE(2147483647, m.i64(F_MIN_LATENCY));
    EXPECT_GE(m.i64(F_MIN_LATENCY), age);
    EXPECT_LE(m.i64(F_MIN_LATENCY), m.i64(F_MAX_LATENCY));
    EXPECT_LE(m.i64(F_MAX_LATENCY), age + (done - now));
    EXPECT_GE(m.i64(F_LATENCY_SUM), 5 * m.i64(F_MIN_LATENCY));
  }
}

/* An override that would make the private producer load the plug-in is
 * refused and changes nothing: one plug-in thread, one client's records. */
TEST_F(HostTest, PrivateProducerNeverLoadsThePlugin) {
  rd_kafka_conf_t *conf = make_conf({{"bootstrap.servers", mc->bootstraps},
                                     {"plugin.library.paths", plugin_path()},
                                     {"client.id", "self-load"},
                                     {P + "publishms", "300"}});
  std::string err;
  EXPECT_EQ(RD_KAFKA_CONF_INVALID,
            conf_set(conf, P + "plugin.library.paths", plugin_path(), &err));
  EXPECT_EQ("Invalid value for configuration property \"" + P +
                "plugin.library.paths\"",
            err);
  rd_kafka_conf_set_opaque(conf, &delivered);
  rd_kafka_conf_set_dr_msg_cb(conf, dr_count);

  auto before = thread_names();
  rd_kafka_t *prod = client_new(RD_KAFKA_PRODUCER, conf);
  ASSERT_NE(nullptr, prod);
  sleep_ms(200);
  EXPECT_EQ(1u, plugin_threads_since(before).size());
  produce(prod, 20);
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(prod, 10000));
  sleep_ms(700);
  rd_kafka_destroy(prod);
  EXPECT_EQ(20, delivered);

  auto recs = records(mc);
  EXPECT_EQ(1u, recs.size());
  EXPECT_EQ(20, counted(recs["self-load"]));
}

} // namespace
