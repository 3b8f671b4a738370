/* w4metrics-exporter against a mock cluster: a producer and two consumer
 * groups with the plug-in, the exporter reading their records, and a real
 * Prometheus server scraping it; bad input and bad command lines. */
#include "testlib.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char *const MON_TOPIC = "_quarndale-monitoring";
const std::string P = "quarndale.monitoring.interceptor.";

using w4test::assign_at;
using w4test::child;
using w4test::child_guard;
using w4test::free_port;
using w4test::http_get;
using w4test::mock_append_time;
using w4test::prometheus_guard;
using w4test::prometheus_path;
using w4test::prometheus_query;
using w4test::prometheus_server;
using w4test::prometheus_start;
using w4test::prometheus_stop;
using w4test::prometheus_wait;
using w4test::read_file;
using w4test::remove_child_files;
using w4test::spawn;
using w4test::stop_child;
using w4test::wait_child;

std::string exporter_path(void) {
  return std::string(W4_TOOLS_DIR) + "/w4metrics-exporter";
}

using w4test::exporter_start;

/* Samples of an exposition text: "name{labels}" to value. */
std::map<std::string, double> samples_of(const std::string &text) {
  std::map<std::string, double> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    size_t sp = line.rfind(' ');
    out[line.substr(0, sp)] = atof(line.c_str() + sp + 1);
  }
  return out;
}

/* Sum of the samples of a metric whose labels contain every needle. */
double sum_of(const std::map<std::string, double> &samples,
              const std::string &name,
              const std::vector<std::string> &needles = {}) {
  double sum = 0;
  for (const auto &kv : samples) {
    if (kv.first.compare(0, name.size() + 1, name + "{") != 0 &&
        kv.first != name)
      continue;
    bool all = true;
    for (const std::string &n : needles)
      all = all && kv.first.find(n) != std::string::npos;
    if (all)
      sum += kv.second;
  }
  return sum;
}

using w4test::plugin_client;

/* Scrapes the exporter, checks the text with promtool and that no counter
 * went down since the previous scrape. */
void scrape_and_check(int port, std::map<std::string, double> *prev) {
  std::string text =
      http_get("http://127.0.0.1:" + std::to_string(port) + "/metrics");
  ASSERT_FALSE(text.empty());
  std::string out;
  int rc = w4test::promtool_check(text, &out);
  if (rc != -1) {
    EXPECT_EQ(0, rc) << out;
  }
  std::map<std::string, double> now = samples_of(text);
  for (const auto &kv : *prev) {
    const std::string &k = kv.first;
    bool counter = k.find("_total") != std::string::npos ||
                   k.find("_sum{") != std::string::npos ||
                   k.find("_count{") != std::string::npos;
    if (!counter)
      continue;
    auto it = now.find(k);
    ASSERT_NE(now.end(), it) << "series vanished: " << k;
    EXPECT_GE(it->second, kv.second) << k;
  }
  *prev = now;
}

TEST(Exporter, ProducerAndTwoGroupsAuditedThroughPrometheus) {
  const int N = 400;
  const int SKIP0 = 30, SKIP1 = 20;
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, "orders", 2, 1);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 2, 1);

  /* The consumers' records of a window follow the producer's within a few
   * passes of 500 ms. */
  child exporter;
  child_guard exporter_guard(&exporter);
  int port =
      exporter_start(&exporter, {"-b", mc->bootstraps, "--from-beginning",
                                 "--settle", "3000", "--report"});
  ASSERT_GT(port, 0) << read_file(exporter.err_path);
  std::map<std::string, double> seen;
  scrape_and_check(port, &seen);

  /* A producer and two groups over three windows; group b jumps over
   * SKIP0 and SKIP1 messages of the two partitions in the second. Scraped
   * as it goes, so that no counter may go down. */
  struct scrape {
    int port;
    std::map<std::string, double> *seen;
  } sc = {port, &seen};
  w4test::two_groups t;
  t.prefix = "e2e";
  t.group_a = "audit-a";
  t.group_b = "audit-b";
  t.n = N;
  t.skip0 = SKIP0;
  t.skip1 = SKIP1;
  w4test::two_groups_traffic(
      mc, t,
      [](void *arg) {
        scrape *s = static_cast<scrape *>(arg);
        scrape_and_check(s->port, s->seen);
      },
      &sc);

  prometheus_server prom;
  prometheus_guard prom_guard(&prom);
  bool have_prometheus = !prometheus_path().empty();
  if (have_prometheus) {
    ASSERT_TRUE(prometheus_start(&prom, port)) << read_file(prom.proc.err_path);
  }

  /* The exporter's own view, once every window has settled. */
  int64_t deadline = w4test::mono_ms() + 60000;
  std::map<std::string, double> s;
  do {
    w4test::sleep_ms(500);
    scrape_and_check(port, &seen);
    s = samples_of(
        http_get("http://127.0.0.1:" + std::to_string(port) + "/metrics"));
  } while (w4test::mono_ms() < deadline &&
           (sum_of(s, "w4metrics_audit_open_windows") > 0 ||
            sum_of(s, "w4metrics_audit_messages_total") < 2 * N));
  EXPECT_EQ(
      N, sum_of(s, "w4metrics_messages_total", {"client_type=\"producer\""}));
  EXPECT_EQ(2 * N - SKIP0 - SKIP1, sum_of(s, "w4metrics_messages_total",
                                          {"client_type=\"consumer\""}));
  EXPECT_EQ(
      N, sum_of(s, "w4metrics_audit_messages_total", {"group_id=\"audit-b\""}));
  EXPECT_EQ(SKIP0 + SKIP1, sum_of(s, "w4metrics_audit_missing_messages_total",
                                  {"group_id=\"audit-b\""}));
  EXPECT_EQ(0, sum_of(s, "w4metrics_audit_missing_messages_total",
                      {"group_id=\"audit-a\""}));
  EXPECT_EQ(0, sum_of(s, "w4metrics_audit_duplicate_messages_total"));
  EXPECT_EQ(0, sum_of(s, "w4metrics_missing_records_total"));
  EXPECT_EQ(0, sum_of(s, "w4metrics_bad_records_total"));
  EXPECT_EQ(3, sum_of(s, "w4metrics_sessions_total"));

  if (have_prometheus) {
    EXPECT_EQ(N, prometheus_wait(prom,
                                 "sum(w4metrics_audit_messages_total{"
                                 "group_id=\"audit-b\"})",
                                 N));
    EXPECT_EQ(SKIP0 + SKIP1,
              prometheus_wait(prom,
                              "sum(w4metrics_audit_missing_messages_total{"
                              "group_id=\"audit-b\"})",
                              SKIP0 + SKIP1));
    EXPECT_EQ(0, prometheus_wait(prom,
                                 "sum(w4metrics_audit_missing_messages_total{"
                                 "group_id=\"audit-a\"})",
                                 0));
    EXPECT_EQ(N, prometheus_wait(prom,
                                 "sum(w4metrics_messages_total{client_type="
                                 "\"producer\"})",
                                 N));
    prometheus_stop(&prom);
  }

  EXPECT_EQ(0, stop_child(&exporter)) << read_file(exporter.err_path);
  /* --report: group b's two windows, short by the skipped messages. */
  std::string report = read_file(exporter.out_path);
  EXPECT_EQ(1, w4test::count_lines(report, "produced")) << report;
  EXPECT_EQ(2, w4test::count_lines(report, "audit-b")) << report;
  EXPECT_EQ(1, w4test::count_lines(report, " -30")) << report;
  EXPECT_EQ(1, w4test::count_lines(report, " -20")) << report;
  EXPECT_EQ(0, w4test::count_lines(report, "audit-a")) << report;
  remove_child_files(exporter);

  /* The reader's quick look gives the same table at the end of its run. */
  int st;
  std::string table = w4test::run_command(
      std::string(W4_TOOLS_DIR) + "/w4metrics-read -b " + mc->bootstraps +
          " --from-beginning --audit --settle 3000 --exit-idle 2000",
      &st);
  EXPECT_EQ(0, st) << table;
  /* Two rows and the group's total. */
  EXPECT_EQ(3, w4test::count_lines(table, "audit-b")) << table;
  EXPECT_EQ(1, w4test::count_lines(table, "produced 400, missing 50, "
                                          "duplicate 0"))
      << table;
  EXPECT_EQ(1, w4test::count_lines(table, "produced 400, missing 0, "
                                          "duplicate 0"))
      << table;
  w4test::mock_cluster_stop(mc);
  if (!have_prometheus)
    GTEST_SKIP() << "prometheus is not installed: only the exporter checked";
}

/* A producer's data record of count messages for topic "t", partition 0,
 * written byte by byte; client_type as given. */
std::string raw_record(int client_type, int count) {
  std::string r = "\x7f";
  r += "\x08";
  r.push_back(static_cast<char>(client_type));
  r += std::string("\x12\x01p", 3);
  r += "\x22\x20" + std::string(32, 'f');
  r += std::string("\x42\x01t", 3);
  r += "\x50";
  r.push_back(static_cast<char>(count));
  r += "\x80\x01\x98\x75"; /* window_size 15000 */
  return r;
}

TEST(Exporter, BadRecordsAreCountedAndReportedOncePerPartition) {
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 2, 1);
  std::string good = raw_record(w4test::CLIENT_PRODUCER, 5);
  w4test::produce_values(mc, MON_TOPIC, 0,
                         {"hello", good.substr(0, 20), raw_record(7, 5), good});
  w4test::produce_values(mc, MON_TOPIC, 1,
                         {std::string("\x7f\xff\xff", 3), good});

  child exporter;
  child_guard exporter_guard(&exporter);
  int port = exporter_start(
      &exporter, {"-b", mc->bootstraps, "--from-beginning", "--by", "topic"});
  ASSERT_GT(port, 0) << read_file(exporter.err_path);
  std::map<std::string, double> s;
  int64_t deadline = w4test::mono_ms() + 30000;
  do {
    w4test::sleep_ms(300);
    s = samples_of(
        http_get("http://127.0.0.1:" + std::to_string(port) + "/metrics"));
  } while (w4test::mono_ms() < deadline &&
           sum_of(s, "w4metrics_records_total") < 2);
  EXPECT_EQ(4, sum_of(s, "w4metrics_bad_records_total"));
  EXPECT_EQ(10, sum_of(s, "w4metrics_messages_total"));
  EXPECT_EQ(2, sum_of(s, "w4metrics_records_total"));
  /* --by topic: no partition label. */
  EXPECT_EQ(0, sum_of(s, "w4metrics_records_total", {"partition="}));
  /* Other paths and methods. */
  int st;
  http_get("http://127.0.0.1:" + std::to_string(port) + "/nothing", &st);
  EXPECT_NE(0, st);
  EXPECT_EQ(0, stop_child(&exporter));
  std::string err = read_file(exporter.err_path);
  EXPECT_EQ(2, w4test::count_lines(err, "not a monitoring record")) << err;
  EXPECT_EQ(1, w4test::count_lines(err, "partition 0 offset 0 ")) << err;
  EXPECT_EQ(1, w4test::count_lines(err, "partition 1 offset 0 ")) << err;
  remove_child_files(exporter);
  w4test::mock_cluster_stop(mc);
}

/* Sample lines of an exposition text. */
size_t sample_count(const std::string &text) {
  size_t n = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    n += !line.empty() && line[0] != '#';
  return n;
}

/* 20 producers, one record each: with --max-series 100 the exporter makes
 * the series of 9 (9 lines and a sessions line each, and the 5 fixed
 * lines), counts the records of the others as dropped and says so once;
 * 3 s after their records everything of theirs has left /metrics and the
 * page. */
TEST(Exporter, NewSeriesStopAtTheLimitAndSilentClientsExpire) {
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);
  std::vector<std::string> values;
  for (int i = 0; i < 20; i++) {
    std::string r = raw_record(w4test::CLIENT_PRODUCER, 5);
    /* client id "p" becomes "p<i>": its length and the bytes. */
    std::string id = "p" + std::to_string(i);
    size_t at = r.find(std::string("\x12\x01p", 3));
    r.replace(at, 3, std::string("\x12") + static_cast<char>(id.size()) + id);
    values.push_back(r);
  }
  w4test::produce_values(mc, MON_TOPIC, 0, values);

  child exporter;
  child_guard exporter_guard(&exporter);
  int port = exporter_start(
      &exporter, {"-b", mc->bootstraps, "--from-beginning", "--no-state",
                  "--expire-after", "3s", "--max-series", "100"});
  ASSERT_GT(port, 0) << read_file(exporter.err_path);
  const std::string url =
      "http://127.0.0.1:" + std::to_string(port) + "/metrics";
  std::string text;
  std::map<std::string, double> s;
  int64_t deadline = w4test::mono_ms() + 30000;
  do {
    w4test::sleep_ms(100);
    text = http_get(url);
    s = samples_of(text);
  } while (w4test::mono_ms() < deadline &&
           sum_of(s, "w4metrics_records_total") +
                   sum_of(s, "w4metrics_dropped_series_total") <
               20);
  EXPECT_EQ(9, sum_of(s, "w4metrics_records_total")) << text;
  EXPECT_EQ(11, sum_of(s, "w4metrics_dropped_series_total",
                       {"reason=\"max_series\""}))
      << text;
  EXPECT_LE(sample_count(text), 100u) << text;

  /* Expiry: the series and the page's clients go. */
  do {
    w4test::sleep_ms(200);
    text = http_get(url);
  } while (w4test::mono_ms() < deadline &&
           text.find("w4metrics_records_total{") != std::string::npos);
  EXPECT_EQ(std::string::npos, text.find("w4metrics_sessions_total{")) << text;
  EXPECT_EQ(std::string::npos, text.find("w4metrics_records_total{")) << text;
  std::string clients =
      http_get("http://127.0.0.1:" + std::to_string(port) + "/api/clients");
  EXPECT_EQ(0u, clients.find("{\"total\":0,")) << clients;
  EXPECT_EQ(0, stop_child(&exporter));
  std::string err = read_file(exporter.err_path);
  EXPECT_EQ(1, w4test::count_lines(err, "holds --max-series 100 lines")) << err;
  remove_child_files(exporter);
  w4test::mock_cluster_stop(mc);
}

/* Runs the exporter to its end; its exit code and standard error. */
int run_exporter(const std::vector<std::string> &args, std::string *err) {
  std::vector<std::string> argv = {exporter_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  child c = spawn(argv);
  int code = wait_child(&c, 30000);
  *err = read_file(c.err_path);
  remove_child_files(c);
  return code;
}

TEST(Exporter, ClearErrorsForPortInUseUnreachableClusterAndBadOptions) {
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  std::string err;

  /* A port that another socket listens on. */
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)));
  ASSERT_EQ(0, listen(fd, 1));
  socklen_t len = sizeof(sa);
  getsockname(fd, reinterpret_cast<struct sockaddr *>(&sa), &len);
  std::string busy = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
  EXPECT_EQ(1, run_exporter({"-b", mc->bootstraps, "--listen", busy}, &err));
  EXPECT_EQ(1, w4test::count_lines(err, "cannot listen on " + busy +
                                            ": Address already in use"))
      << err;
  close(fd);

  /* Nothing listens at the cluster's address. */
  std::string nowhere = "127.0.0.1:" + std::to_string(free_port());
  EXPECT_EQ(1, run_exporter({"-b", nowhere, "--listen", "127.0.0.1:0",
                             "--connect-timeout", "1500"},
                            &err));
  EXPECT_EQ(1,
            w4test::count_lines(err, "cannot reach the cluster at " + nowhere))
      << err;

  /* A property librdkafka does not know, and other wrong command lines. */
  EXPECT_EQ(2,
            run_exporter({"-b", mc->bootstraps, "-X", "no.such.prop=1"}, &err));
  EXPECT_EQ(1, w4test::count_lines(err, "bad property no.such.prop")) << err;
  EXPECT_EQ(2, run_exporter({"-b", mc->bootstraps, "-X", "noequals"}, &err));
  EXPECT_EQ(2, run_exporter({"-b", mc->bootstraps, "--settle", "soon"}, &err));
  EXPECT_EQ(2, run_exporter({"-b", mc->bootstraps, "--by", "client"}, &err));
  EXPECT_EQ(2,
            run_exporter({"-b", mc->bootstraps, "--expire-after", "1x"}, &err));
  EXPECT_EQ(1, w4test::count_lines(err, "--expire-after needs a duration"))
      << err;
  EXPECT_EQ(2,
            run_exporter({"-b", mc->bootstraps, "--max-series", "10"}, &err));
  EXPECT_EQ(2, run_exporter({"-b", mc->bootstraps, "--listen", "9478"}, &err));
  EXPECT_EQ(2, run_exporter({"--from-beginning"}, &err));
  EXPECT_EQ(1, w4test::count_lines(err, "-b BOOTSTRAP is required")) << err;
  EXPECT_EQ(2, run_exporter({"-b", mc->bootstraps, "--frobnicate"}, &err));
  EXPECT_EQ(0, run_exporter({"--help"}, &err));
  w4test::mock_cluster_stop(mc);
}

} // namespace
