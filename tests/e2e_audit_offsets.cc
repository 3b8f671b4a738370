/* The delivery audit with offsets in the records, end to end: consumers
 * with the plug-in and the offsets setting on the mock cluster, a producer
 * side whose records carry the acknowledged offsets in the windows of the
 * messages' own timestamps (the twin, as on a real cluster), and the real
 * exporter. A group that jumps over 40 messages is told exactly which, and
 * the printed command reads them again; a replay names its offsets; a
 * lagging group is judged as it reads past each window, its lag told in
 * messages; a group without the setting is audited by the window rule. */
#include "testlib.h"

#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>

using namespace w4test;

namespace {

const char *const MON_TOPIC = "_quarndale-monitoring";
const std::string P = "quarndale.monitoring.interceptor.";
const int64_t WINDOW_MS = 1000;

/* The sum of the samples of name whose labels hold every needle, in the
 * exporter's current /metrics; -1 when there is no such sample. */
double metric(int port, const std::string &name,
              const std::vector<std::string> &needles) {
  std::istringstream in(
      http_get("http://127.0.0.1:" + std::to_string(port) + "/metrics"));
  std::string line;
  double sum = -1;
  while (std::getline(in, line)) {
    if (line.compare(0, name.size() + 1, name + "{") != 0)
      continue;
    bool all = true;
    for (const std::string &n : needles)
      all = all && line.find(n) != std::string::npos;
    if (all)
      sum = (sum < 0 ? 0 : sum) + atof(line.c_str() + line.rfind(' ') + 1);
  }
  return sum;
}

/* Waits up to timeout_ms until the group's metric is want; the last value. */
double metric_wait(int port, const std::string &name, const std::string &group,
                   double want, int timeout_ms = 60000) {
  std::string g = "group_id=\"" + group + "\"";
  double v = -1;
  for (int64_t end = mono_ms() + timeout_ms; mono_ms() < end; sleep_ms(300))
    if ((v = metric(port, name, {g})) == want)
      break;
  return v;
}

/* A consumer of group with the plug-in, publishing every window, with the
 * offsets setting as given, assigned partition 0 of "orders" at offset. */
rd_kafka_t *consumer_at(const mock_cluster *mc, const std::string &group,
                        bool offsets, int64_t offset) {
  rd_kafka_t *rk =
      plugin_client(mc, RD_KAFKA_CONSUMER, group + "-client", group,
                    {{P + "publishms", std::to_string(WINDOW_MS)},
                     {P + "offsets", offsets ? "true" : "false"}});
  rd_kafka_poll_set_consumer(rk);
  rd_kafka_topic_partition_list_t *parts = rd_kafka_topic_partition_list_new(1);
  rd_kafka_topic_partition_list_add(parts, "orders", 0)->offset = offset;
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_assign(rk, parts));
  rd_kafka_topic_partition_list_destroy(parts);
  return rk;
}

/* Moves the consumer to offset. */
void seek_to(rd_kafka_t *rk, int64_t offset) {
  rd_kafka_topic_partition_list_t *parts = rd_kafka_topic_partition_list_new(1);
  rd_kafka_topic_partition_list_add(parts, "orders", 0)->offset = offset;
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_assign(rk, parts));
  rd_kafka_topic_partition_list_destroy(parts);
}

/* Closes and destroys consumers. */
void close_all(const std::vector<rd_kafka_t *> &rks) {
  for (rd_kafka_t *rk : rks) {
    rd_kafka_consumer_close(rk);
    rd_kafka_destroy(rk);
  }
}

/* Produces n messages to partition 0 of "orders" in the window that starts
 * next, all stamped with its start. */
void produce_window(twin_producer *tw, int n) {
  int64_t now = wall_ms();
  int64_t start = now - now % WINDOW_MS + WINDOW_MS;
  sleep_ms(static_cast<int>(start - now + 20));
  for (int i = 0; i < n; i++)
    ASSERT_EQ(
        RD_KAFKA_RESP_ERR_NO_ERROR,
        twin_produce(tw, "orders", 0, "", "m" + std::to_string(i), start));
  ASSERT_TRUE(twin_flush(tw, 15000));
}

/* The lines of the exporter's --report that name a range, from its standard
 * output so far. */
std::vector<std::string> range_lines(const child &exporter) {
  std::istringstream in(read_file(exporter.out_path));
  std::vector<std::string> out;
  std::string line;
  while (std::getline(in, line))
    if (line.find(" at offsets ") != std::string::npos)
      out.push_back(line);
  return out;
}

/* Runs the printed command, brokers filled in and each message's offset
 * printed; the offsets it read. */
std::vector<int64_t> read_again(const std::string &line,
                                const std::string &bootstraps) {
  std::string cmd = line.substr(line.find("kcat "));
  cmd.replace(cmd.find("BROKERS"), 7, bootstraps);
  int st;
  std::istringstream in(
      run_command(cmd + " -e -q -f '%o\\n' 2>/dev/null", &st));
  EXPECT_EQ(0, st) << cmd;
  std::vector<int64_t> out;
  for (std::string o; std::getline(in, o);)
    out.push_back(atoll(o.c_str()));
  return out;
}

TEST(AuditOffsets, AJumpIsNamedByItsOffsetsAndReadAgain) {
  mock_cluster *mc = mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, "orders", 1, 1);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 2, 1);
  child exporter;
  child_guard guard(&exporter);
  int port =
      exporter_start(&exporter, {"-b", mc->bootstraps, "--from-beginning",
                                 "--settle", "3000", "--report"});
  ASSERT_GT(port, 0) << read_file(exporter.err_path);

  /* Three windows: offsets 0-49, 50-149 and 150-199. */
  twin_producer *tw = twin_start(mc, "offsets-producer", WINDOW_MS);
  ASSERT_NE(nullptr, tw);
  twin_guard tw_guard(tw);
  tw->offsets = true;
  produce_window(tw, 50);
  produce_window(tw, 100);
  produce_window(tw, 50);
  twin_stop(tw);

  /* "jumper" reads 0-109 and jumps over 110-149 to the next window;
   * "replayer" reads everything; "lagger" stops at 99; "plain" reads
   * everything without the setting. */
  rd_kafka_t *jumper = consumer_at(mc, "jumper", true, 0);
  rd_kafka_t *replayer = consumer_at(mc, "replayer", true, 0);
  rd_kafka_t *lagger = consumer_at(mc, "lagger", true, 0);
  rd_kafka_t *plain = consumer_at(mc, "plain", false, 0);
  EXPECT_EQ(110, consume_n(jumper, 110, 30000));
  seek_to(jumper, 150);
  EXPECT_EQ(50, consume_n(jumper, 50, 30000));
  EXPECT_EQ(200, consume_n(replayer, 200, 30000));
  EXPECT_EQ(100, consume_n(lagger, 100, 30000));
  EXPECT_EQ(200, consume_n(plain, 200, 30000));

  /* The jump: 40 missing, judged as soon as its window has settled. */
  EXPECT_EQ(40, metric_wait(port, "w4metrics_audit_missing_messages_total",
                            "jumper", 40));
  EXPECT_EQ(200,
            metric_wait(port, "w4metrics_audit_messages_total", "jumper", 200));
  /* The lagger: the first window judged, the second pending while it has
   * not read past it, its lag in messages exact. */
  EXPECT_EQ(50,
            metric_wait(port, "w4metrics_audit_messages_total", "lagger", 50));
  EXPECT_EQ(100,
            metric_wait(port, "w4metrics_audit_lag_messages", "lagger", 100));
  EXPECT_EQ(100, metric_wait(port, "w4metrics_audit_pending_messages", "lagger",
                             100));
  EXPECT_EQ(0, metric(port, "w4metrics_audit_missing_messages_total",
                      {"group_id=\"lagger\""}));
  EXPECT_EQ(
      -1, metric(port, "w4metrics_audit_lag_messages", {"group_id=\"plain\""}));
  EXPECT_EQ(200,
            metric_wait(port, "w4metrics_audit_messages_total", "plain", 200));

  /* The replay, once its windows are judged: 140-199 read twice. */
  EXPECT_EQ(200, metric_wait(port, "w4metrics_audit_messages_total", "replayer",
                             200));
  seek_to(replayer, 140);
  EXPECT_EQ(60, consume_n(replayer, 60, 30000));
  EXPECT_EQ(60, metric_wait(port, "w4metrics_audit_duplicate_messages_total",
                            "replayer", 60));
  /* The lagger reads on: every window judged, nothing missing. */
  EXPECT_EQ(100, consume_n(lagger, 100, 30000));
  EXPECT_EQ(200,
            metric_wait(port, "w4metrics_audit_messages_total", "lagger", 200));
  EXPECT_EQ(0, metric_wait(port, "w4metrics_audit_lag_messages", "lagger", 0));
  EXPECT_EQ(0, metric(port, "w4metrics_audit_missing_messages_total",
                      {"group_id=\"lagger\""}));
  EXPECT_EQ(0, metric(port, "w4metrics_audit_duplicate_messages_total",
                      {"group_id=\"plain\""}));
  EXPECT_EQ(0, metric(port, "w4metrics_audit_missing_messages_total",
                      {"group_id=\"plain\""}));
  close_all({jumper, replayer, lagger, plain});

  /* --report names the offsets: exactly the 40 skipped, and the replayed
   * ones by window. */
  EXPECT_EQ(0, stop_child(&exporter));
  std::vector<std::string> lines = range_lines(exporter);
  std::string missing, report = read_file(exporter.out_path);
  std::set<int64_t> replayed;
  for (const std::string &l : lines) {
    if (l.find("missing at offsets ") != std::string::npos) {
      EXPECT_TRUE(missing.empty()) << report;
      missing = l;
    } else {
      int64_t lo = 0, hi = 0;
      ASSERT_EQ(2, sscanf(l.c_str(), " duplicate at offsets %lld-%lld",
                          reinterpret_cast<long long *>(&lo),
                          reinterpret_cast<long long *>(&hi)))
          << l;
      for (int64_t o = lo; o <= hi; o++)
        replayed.insert(o);
    }
  }
  EXPECT_NE(std::string::npos,
            missing.find("missing at offsets 110-149: kcat -C -b BROKERS -t "
                         "orders -p 0 -o 110 -c 40"))
      << report;
  EXPECT_EQ(60u, replayed.size()) << report;
  EXPECT_EQ(140, *replayed.begin()) << report;
  EXPECT_EQ(199, *replayed.rbegin()) << report;

  /* The printed command reads exactly those 40 again. */
  int st;
  if (!run_command("command -v kcat", &st).empty() && !missing.empty()) {
    std::vector<int64_t> got = read_again(missing, mc->bootstraps);
    ASSERT_EQ(40u, got.size());
    for (int i = 0; i < 40; i++)
      EXPECT_EQ(110 + i, got[static_cast<size_t>(i)]);
  }
  remove_child_files(exporter);
  mock_cluster_stop(mc);
}

} // namespace
