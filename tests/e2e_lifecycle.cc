/* A client's whole life at scale, with the plug-in loaded into real clients
 * on librdkafka's mock cluster: topic-partitions that fall idle are released
 * once their session closes, messages acknowledged while the client is
 * being destroyed are counted, and every session of a topic-partition has
 * exactly one final record, however teardown meets the publish interval. */
#include "testlib.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace w4test;

namespace {

const std::string P = "quarndale.monitoring.interceptor.";
const char *MON_TOPIC = "_quarndale-monitoring";

/* Records of one client, grouped by the pass (timestamp) that made them. */
std::map<int64_t, std::vector<wire_msg>>
passes_of(const std::vector<wire_msg> &recs, const std::string &client_id) {
  std::map<int64_t, std::vector<wire_msg>> out;
  for (const wire_msg &m : recs)
    if (m.str(F_CLIENT_ID) == client_id)
      out[m.i64(F_TIMESTAMP)].push_back(m);
  return out;
}

/* A consumer assigned 2,000 partitions once, then one: once the session in
 * which the others had no traffic has closed, each pass has the records of
 * that one alone. */
TEST(Lifecycle, IdleTopicPartitionsAreReleasedAfterTheirSession) {
  const int PARTITIONS = 2000;
  mock_cluster *mc = mock_cluster_start();
  rd_kafka_mock_topic_create(mc->mcluster, "wide", PARTITIONS, 1);
  /* Records one by one over many partitions: the mock cluster keeps only
   * the latest few tens of thousands of each partition's messages. */
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 16, 1);
  {
    rd_kafka_t *prod = client_new(
        RD_KAFKA_PRODUCER, make_conf({{"bootstrap.servers", mc->bootstraps},
                                      {"linger.ms", "50"},
                                      {"log_level", "0"}}));
    for (int p = 0; p < PARTITIONS; p++)
      ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
                rd_kafka_producev(
                    prod, RD_KAFKA_V_TOPIC("wide"), RD_KAFKA_V_PARTITION(p),
                    RD_KAFKA_V_VALUE((void *)"x", 1), RD_KAFKA_V_END));
    ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(prod, 30000));
    rd_kafka_destroy(prod);
  }

  rd_kafka_t *rk = client_new(
      RD_KAFKA_CONSUMER, make_conf({{"plugin.library.paths", plugin_path()},
                                    {P + "publishms", "300"},
                                    {P + "sessiondurationms", "1500"},
                                    {P + "sticky.partitioning.linger.ms", "0"},
                                    {"bootstrap.servers", mc->bootstraps},
                                    {"client.id", "wide-consumer"},
                                    {"group.id", "wide"},
                                    {"log_level", "0"}}));
  rd_kafka_topic_partition_list_t *all =
      rd_kafka_topic_partition_list_new(PARTITIONS);
  for (int p = 0; p < PARTITIONS; p++)
    rd_kafka_topic_partition_list_add(all, "wide", p)->offset =
        RD_KAFKA_OFFSET_BEGINNING;
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_assign(rk, all));
  rd_kafka_topic_partition_list_destroy(all);
  ASSERT_EQ(PARTITIONS, consume_n(rk, PARTITIONS, 60000));

  /* From now on one partition only, with a message now and then. */
  rd_kafka_topic_partition_list_t *one = rd_kafka_topic_partition_list_new(1);
  rd_kafka_topic_partition_list_add(one, "wide", 0)->offset =
      RD_KAFKA_OFFSET_END;
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_assign(rk, one));
  rd_kafka_topic_partition_list_destroy(one);
  /* The 2,000 live for two sessions of 1.5 s; the margin is for a busy
   * machine, whose passes of 2,000 records drift. */
  int64_t end = mono_ms() + 8000;
  while (mono_ms() < end) {
    produce_values(mc, "wide", 0, {"y"});
    consume_n(rk, 1, 400);
  }
  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);

  auto passes =
      passes_of(read_records(mc->bootstraps, MON_TOPIC), "wide-consumer");
  /* Sessions in order of their first pass, the partitions each pass
   * published, and the partitions with traffic in each session. */
  std::vector<std::string> sessions;
  std::map<std::string, std::vector<std::set<int64_t>>> published;
  std::map<std::string, std::set<int64_t>> traffic, finals;
  std::set<int64_t> consumed;
  for (const auto &kv : passes) {
    std::string s = kv.second.front().str(F_SESSION_ID);
    if (!published.count(s))
      sessions.push_back(s);
    std::set<int64_t> parts;
    for (const wire_msg &m : kv.second) {
      parts.insert(m.i64(F_PARTITION));
      if (m.i64(F_COUNT) > 0) {
        traffic[s].insert(m.i64(F_PARTITION));
        consumed.insert(m.i64(F_PARTITION));
      }
      if (m.i64(F_FINAL))
        finals[s].insert(m.i64(F_PARTITION));
    }
    published[s].push_back(parts);
  }
  EXPECT_EQ(static_cast<size_t>(PARTITIONS), consumed.size());
  /* A partition is published for the rest of every session in which it had
   * traffic and for the whole of the next one, closing it with a final
   * record; then it is released. So after the first session each pass
   * publishes exactly the partitions with traffic in this session or the
   * last, and from the third session after the last of the 2,000 on, one
   * partition alone. */
  size_t last_busy = 0;
  for (size_t i = 0; i < sessions.size(); i++)
    for (int64_t p : traffic[sessions[i]])
      if (p != 0)
        last_busy = i;
  ASSERT_GE(sessions.size(), last_busy + 3) << "sessions seen";
  for (size_t i = 1; i < sessions.size(); i++) {
    std::set<int64_t> live = traffic[sessions[i - 1]];
    live.insert(traffic[sessions[i]].begin(), traffic[sessions[i]].end());
    live.insert(0);
    SCOPED_TRACE("session " + std::to_string(i));
    for (const auto &parts : published[sessions[i]])
      EXPECT_TRUE(
          std::includes(live.begin(), live.end(), parts.begin(), parts.end()));
    /* and at least what had traffic in the session before. */
    for (const auto &parts : published[sessions[i]])
      EXPECT_TRUE(std::includes(parts.begin(), parts.end(),
                                traffic[sessions[i - 1]].begin(),
                                traffic[sessions[i - 1]].end()));
    if (i + 1 < sessions.size()) { /* the last one is closed by teardown */
      EXPECT_EQ(published[sessions[i]].back(), finals[sessions[i]]);
    }
  }
  for (size_t i = last_busy + 2; i < sessions.size(); i++) {
    for (const auto &parts : published[sessions[i]]) {
      EXPECT_EQ(std::set<int64_t>{0}, parts) << "session " << i;
    }
  }
  mock_cluster_stop(mc);
}

/* Counts acknowledgements without error, as a second interceptor on the
 * same client sees them. */
rd_kafka_resp_err_t count_ack(rd_kafka_t *, rd_kafka_message_t *m,
                              void *opaque) {
  if (!m->err)
    __atomic_add_fetch(static_cast<int *>(opaque), 1, __ATOMIC_RELAXED);
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* Another interceptor's teardown that takes its time, as one that flushes
 * does: the client's broker threads go on meanwhile. */
rd_kafka_resp_err_t slow_destroy(rd_kafka_t *, void *) {
  sleep_ms(1000);
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

rd_kafka_resp_err_t add_ack_counter(rd_kafka_t *rk, const rd_kafka_conf_t *,
                                    void *opaque, char *, size_t) {
  rd_kafka_interceptor_add_on_acknowledgement(rk, "ack-counter", count_ack,
                                              opaque);
  rd_kafka_interceptor_add_on_destroy(rk, "ack-counter", slow_destroy, nullptr);
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* A producer destroyed without flushing, its messages in flight on a
 * cluster 300 ms away, with a second interceptor whose teardown takes a
 * while: the responses arrive after the plug-in's on_destroy, inside
 * rd_kafka_destroy(). Every message acknowledged without error is in the
 * client's records. The records go to a cluster of their own, without the
 * delay. */
TEST(Lifecycle, MessagesAcknowledgedDuringDestroyAreCounted) {
  mock_cluster *app = mock_cluster_start();
  mock_cluster *mon = mock_cluster_start();
  rd_kafka_mock_topic_create(app->mcluster, "slow", 4, 1);
  rd_kafka_mock_topic_create(mon->mcluster, MON_TOPIC, 1, 1);
  rd_kafka_mock_broker_set_rtt(app->mcluster, 1, 300);

  int acked = 0;
  rd_kafka_conf_t *conf = make_conf({{"plugin.library.paths", plugin_path()},
                                     {P + "publishms", "60000"},
                                     {P + "bootstrap.servers", mon->bootstraps},
                                     {"bootstrap.servers", app->bootstraps},
                                     {"client.id", "in-flight"},
                                     {"linger.ms", "5"},
                                     {"log_level", "0"}});
  rd_kafka_conf_interceptor_add_on_new(conf, "ack-counter", add_ack_counter,
                                       &acked);
  rd_kafka_t *rk = client_new(RD_KAFKA_PRODUCER, conf);
  /* One message first, so that the client is connected and knows its
   * cluster, then 2,000 without waiting. */
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
            rd_kafka_producev(rk, RD_KAFKA_V_TOPIC("slow"),
                              RD_KAFKA_V_VALUE((void *)"first", 5),
                              RD_KAFKA_V_END));
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(rk, 10000));
  for (int i = 0; i < 2000; i++)
    ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
              rd_kafka_producev(
                  rk, RD_KAFKA_V_TOPIC("slow"), RD_KAFKA_V_PARTITION(i % 4),
                  RD_KAFKA_V_VALUE((void *)"0123456789", 10), RD_KAFKA_V_END));
  sleep_ms(30); /* sent, not yet answered */
  int before = __atomic_load_n(&acked, __ATOMIC_RELAXED);
  rd_kafka_destroy(rk);

  int64_t counted = 0;
  for (const wire_msg &m : read_records(mon->bootstraps, MON_TOPIC))
    counted += m.i64(F_COUNT);
  printf("acknowledged without error: %d before rd_kafka_destroy, %d in all; "
         "counted in the records: %ld\n",
         before, acked, static_cast<long>(counted));
  EXPECT_GT(acked, before) << "nothing was acknowledged during destroy";
  EXPECT_EQ(acked, counted);
  mock_cluster_stop(mon);
  mock_cluster_stop(app);
}

/* Clients destroyed at random points of a 1 ms publish interval: every
 * session of every topic-partition has exactly one final record, its
 * last. */
TEST(Lifecycle, OneFinalRecordPerSessionWhateverTheTeardownMeets) {
  mock_cluster *mc = mock_cluster_start();
  rd_kafka_mock_topic_create(mc->mcluster, "app", 2, 1);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);
  const int CLIENTS = 60;
  for (int c = 0; c < CLIENTS; c++) {
    rd_kafka_t *rk =
        client_new(RD_KAFKA_PRODUCER,
                   make_conf({{"plugin.library.paths", plugin_path()},
                              {P + "publishms", "1"},
                              {"bootstrap.servers", mc->bootstraps},
                              {"client.id", "short-" + std::to_string(c)},
                              {"log_level", "0"}}));
    for (int i = 0; i < 4; i++)
      rd_kafka_producev(rk, RD_KAFKA_V_TOPIC("app"),
                        RD_KAFKA_V_PARTITION(i % 2),
                        RD_KAFKA_V_VALUE((void *)"v", 1), RD_KAFKA_V_END);
    rd_kafka_flush(rk, 10000);
    sleep_ms(c % 5);
    rd_kafka_destroy(rk);
  }
  /* client, session, partition -> sequence -> final */
  std::map<std::string, std::map<int64_t, bool>> seqs;
  for (const wire_msg &m : read_records(mc->bootstraps, MON_TOPIC, 1500)) {
    std::string key = m.str(F_CLIENT_ID) + "/" + m.str(F_SESSION_ID) + "/" +
                      std::to_string(m.i64(F_PARTITION));
    seqs[key][m.i64(F_SEQUENCE)] = m.i64(F_FINAL) == 1;
  }
  EXPECT_EQ(static_cast<size_t>(2 * CLIENTS), seqs.size());
  for (const auto &kv : seqs) {
    int finals = 0;
    for (const auto &q : kv.second)
      finals += q.second;
    EXPECT_EQ(1, finals) << kv.first;
    EXPECT_TRUE(kv.second.rbegin()->second) << "last not final: " << kv.first;
  }
  mock_cluster_stop(mc);
}

} // namespace
