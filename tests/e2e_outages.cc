/* Outages of the monitoring path made visible on the exporter's /metrics:
 * the mock cluster's broker set down and up again (w4metrics_cluster_up),
 * the time of the last record read, and records that retention removed
 * before the exporter read them (w4metrics_offset_reset_records_total). */
#include "testlib.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char *const MON_TOPIC = "_quarndale-monitoring";

using w4test::child;
using w4test::child_guard;
using w4test::read_file;

/* A producer's data record of count messages for topic "t", partition 0,
 * written byte by byte. */
std::string raw_record(int count) {
  std::string r = "\x7f";
  r += "\x08";
  r.push_back(static_cast<char>(w4test::CLIENT_PRODUCER));
  r += std::string("\x12\x01p", 3);
  r += "\x22\x20" + std::string(32, 'f');
  r += std::string("\x42\x01t", 3);
  r += "\x50";
  r.push_back(static_cast<char>(count));
  r += "\x80\x01\x98\x75"; /* window_size 15000 */
  return r;
}

/* The value of a sample without labels on the exporter's /metrics; -1 when
 * it is not there. */
double metric(int port, const std::string &name) {
  std::istringstream in(w4test::http_get(
      "http://127.0.0.1:" + std::to_string(port) + "/metrics"));
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, name.size() + 1, name + " ") == 0)
      return atof(line.c_str() + name.size() + 1);
  return -1;
}

/* Waits up to timeout_ms until the sample is want (ok(value) when given);
 * its last value. */
double metric_wait(int port, const std::string &name, bool (*ok)(double),
                   int timeout_ms) {
  double v = metric(port, name);
  for (int64_t end = w4test::mono_ms() + timeout_ms;
       !ok(v) && w4test::mono_ms() < end; w4test::sleep_ms(200))
    v = metric(port, name);
  return v;
}

TEST(Outages, ClusterDownAndUpAndTheLastRecordsTime) {
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);
  child exporter;
  child_guard guard(&exporter);
  int port = w4test::exporter_start(&exporter, {"-b", mc->bootstraps});
  ASSERT_GT(port, 0) << read_file(exporter.err_path);
  EXPECT_EQ(1, metric(port, "w4metrics_cluster_up"));
  EXPECT_EQ(0, metric(port, "w4metrics_last_record_timestamp_seconds"));
  EXPECT_EQ(0, metric(port, "w4metrics_offset_reset_records_total"));

  /* A record read: the gauge holds when, within the test's clock; a later
   * one moves it on. */
  auto positive = [](double v) { return v > 0; };
  double before = static_cast<double>(w4test::wall_ms()) / 1000;
  double first = 0;
  for (int64_t end = w4test::mono_ms() + 20000;
       first <= 0 && w4test::mono_ms() < end;) {
    w4test::produce_values(mc, MON_TOPIC, 0, {raw_record(3)});
    first = metric_wait(port, "w4metrics_last_record_timestamp_seconds",
                        positive, 2000);
  }
  EXPECT_GE(first, before - 0.001);
  EXPECT_LE(first, static_cast<double>(w4test::wall_ms()) / 1000 + 0.001);
  w4test::sleep_ms(50); /* the next record's time differs */
  w4test::produce_values(mc, MON_TOPIC, 0, {raw_record(4)});
  double second = first;
  for (int64_t end = w4test::mono_ms() + 20000;
       second <= first && w4test::mono_ms() < end; w4test::sleep_ms(200))
    second = metric(port, "w4metrics_last_record_timestamp_seconds");
  EXPECT_GT(second, first);

  /* The broker goes down: 0 soon; back up: 1 again. */
  rd_kafka_mock_broker_set_down(mc->mcluster, 1);
  EXPECT_EQ(0, metric_wait(
                   port, "w4metrics_cluster_up",
                   [](double v) { return v == 0; }, 30000));
  EXPECT_EQ(second, metric(port, "w4metrics_last_record_timestamp_seconds"));
  rd_kafka_mock_broker_set_up(mc->mcluster, 1);
  EXPECT_EQ(1, metric_wait(
                   port, "w4metrics_cluster_up",
                   [](double v) { return v == 1; }, 40000));
  EXPECT_EQ(0, metric(port, "w4metrics_offset_reset_records_total"));
  EXPECT_EQ(0, w4test::stop_child(&exporter));
  std::string err = read_file(exporter.err_path);
  EXPECT_EQ(1, w4test::count_lines(err, "the cluster does not answer")) << err;
  EXPECT_EQ(1, w4test::count_lines(err, "the cluster answers again")) << err;
  w4test::remove_child_files(exporter);
  w4test::mock_cluster_stop(mc);
}

/* The partition's earliest offset as the cluster reports it; -1 when it
 * does not answer. */
int64_t log_start(const w4test::mock_cluster *mc) {
  rd_kafka_t *rk = w4test::client_new(
      RD_KAFKA_CONSUMER,
      w4test::make_conf({{"bootstrap.servers", mc->bootstraps},
                         {"group.id", "w4-log-start"}}));
  int64_t low = -1, high = -1;
  if (rk &&
      rd_kafka_query_watermark_offsets(rk, MON_TOPIC, 0, &low, &high, 10000))
    low = -1;
  if (rk)
    rd_kafka_destroy(rk);
  return low;
}

/* The exporter stops after reading three records and saving its position;
 * while it is down, the mock's log (5 MB a partition) drops its oldest
 * messages under 7 of 900 kB. Restarted, it goes on from the saved
 * position, which the topic no longer holds: librdkafka resets it to the
 * oldest offset kept, and the jump is counted. */
TEST(Outages, RecordsThatRetentionRemovedBeforeTheyWereReadAreCounted) {
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);
  w4test::produce_values(mc, MON_TOPIC, 0,
                         {raw_record(1), raw_record(2), raw_record(3)});
  child exporter;
  child_guard guard(&exporter);
  int port = w4test::exporter_start(&exporter,
                                    {"-b", mc->bootstraps, "--from-beginning"});
  ASSERT_GT(port, 0) << read_file(exporter.err_path);
  EXPECT_EQ(3, metric_wait(
                   port,
                   "w4metrics_records_total{client_type=\"producer\","
                   "client_id=\"p\",group_id=\"\",cluster_id=\"\","
                   "topic=\"t\",partition=\"0\"}",
                   [](double v) { return v == 3; }, 20000));
  ASSERT_EQ(0, w4test::stop_child(&exporter)) << read_file(exporter.err_path);
  w4test::remove_child_files(exporter);

  w4test::produce_values(mc, MON_TOPIC, 0,
                         std::vector<std::string>(7, std::string(900000, 'x')));
  w4test::produce_values(mc, MON_TOPIC, 0, {raw_record(4), raw_record(5)});
  int64_t start = log_start(mc);
  ASSERT_GT(start, 3) << "the mock kept the saved position";

  port = w4test::exporter_start(&exporter, {"-b", mc->bootstraps});
  ASSERT_GT(port, 0) << read_file(exporter.err_path);
  EXPECT_EQ(static_cast<double>(start - 3),
            metric_wait(
                port, "w4metrics_offset_reset_records_total",
                [](double v) { return v > 0; }, 20000));
  EXPECT_EQ(0, w4test::stop_child(&exporter));
  std::string err = read_file(exporter.err_path);
  EXPECT_EQ(1, w4test::count_lines(err, std::to_string(start - 3) +
                                            " records skipped, offsets 3 to " +
                                            std::to_string(start - 1)))
      << err;
  w4test::remove_child_files(exporter);
  w4test::mock_cluster_stop(mc);
}

} // namespace
