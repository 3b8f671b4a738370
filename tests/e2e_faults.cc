/* Faults around the built plug-in, loaded into real clients through
 * plugin.library.paths: a monitoring cluster that is down or goes down,
 * request errors, slow brokers, a cluster id that cannot be had, a client
 * destroyed while a pass runs, and process signals while the background
 * thread runs. The application's traffic goes to one mock cluster and the
 * monitoring records, through the override of bootstrap.servers, to a
 * second one. In every case the application's messages must all be
 * delivered, teardown must be bounded, and nothing may crash or leak (the
 * sanitizer build checks the leaks). */
#include "testlib.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <tuple>
#include <unistd.h>

using namespace w4test;

namespace {

const std::string P = "quarndale.monitoring.interceptor.";
const char *MON_TOPIC = "_quarndale-monitoring";
const char *APP_TOPIC = "app";
const int16_t API_PRODUCE = 0; /* Kafka protocol request keys */
const int16_t API_METADATA = 3;

/* The application's cluster and the monitoring cluster. */
struct FaultTest : ::testing::Test {
  mock_cluster *app = nullptr, *mon = nullptr;
  int delivered = 0, produced = 0;

  /* The mock clusters' threads inherit a mask without SIGUSR1: an
   * interrupted wait would end a mock cluster's thread. */
  void SetUp() override {
    sigset_t usr1, saved;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &saved);
    app = mock_cluster_start();
    mon = mock_cluster_start();
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    ASSERT_TRUE(app && mon);
    rd_kafka_mock_topic_create(app->mcluster, APP_TOPIC, 2, 1);
    rd_kafka_mock_topic_create(mon->mcluster, MON_TOPIC, 1, 1);
  }
  void TearDown() override {
    mock_cluster_stop(mon);
    mock_cluster_stop(app);
  }

  /* A producer with the plug-in, its records going to the monitoring
   * cluster; reconnects quickly so that an outage ends soon after the
   * broker is back. */
  rd_kafka_t *
  producer(const std::vector<std::pair<std::string, std::string>> &props) {
    std::vector<std::pair<std::string, std::string>> all = {
        {"bootstrap.servers", app->bootstraps},
        {"plugin.library.paths", plugin_path()},
        {"client.id", "faulty"},
        {"log_level", "0"},
        {P + "bootstrap.servers", mon->bootstraps},
        {P + "reconnect.backoff.ms", "20"},
        {P + "reconnect.backoff.max.ms", "200"}};
    all.insert(all.end(), props.begin(), props.end());
    rd_kafka_conf_t *conf = make_conf(all);
    rd_kafka_conf_set_opaque(conf, &delivered);
    rd_kafka_conf_set_dr_msg_cb(conf, dr_count);
    return client_new(RD_KAFKA_PRODUCER, conf);
  }

  /* Produces n messages of 10 bytes over both partitions and waits for
   * their delivery. */
  void produce(rd_kafka_t *rk, int n) {
    for (int i = 0; i < n; i++) {
      ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
                rd_kafka_producev(rk, RD_KAFKA_V_TOPIC(APP_TOPIC),
                                  RD_KAFKA_V_PARTITION(i % 2),
                                  RD_KAFKA_V_VALUE((void *)"0123456789", 10),
                                  RD_KAFKA_V_END));
      produced++;
    }
    EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(rk, 30000));
  }

  /* Destroys the client and returns how long that took. */
  int64_t destroy(rd_kafka_t *rk) {
    int64_t t0 = mono_ms();
    rd_kafka_destroy(rk);
    return mono_ms() - t0;
  }

  /* Every record that reached the monitoring cluster, decoded. */
  std::vector<wire_msg> records(int idle_ms = 800) {
    return read_records(mon->bootstraps, MON_TOPIC, idle_ms);
  }
};

/* A record's place: its topic-partition stream within a session. */
typedef std::tuple<std::string, int64_t, int64_t> record_place;

/* Each stream's sequence numbers, sorted; a number seen twice (a record
 * delivered twice after a retry) is kept once and counted in *dups. */
std::map<std::pair<std::string, int64_t>, std::vector<int64_t>>
streams(const std::vector<wire_msg> &recs, int64_t *count, int *dups) {
  std::map<std::pair<std::string, int64_t>, std::vector<int64_t>> s;
  std::set<record_place> seen;
  *count = 0;
  *dups = 0;
  for (const auto &m : recs) {
    record_place at(m.str(F_SESSION_ID), m.i64(F_PARTITION), m.i64(F_SEQUENCE));
    if (!seen.insert(at).second) {
      ++*dups;
      continue;
    }
    *count += m.i64(F_COUNT);
    s[{m.str(F_SESSION_ID), m.i64(F_PARTITION)}].push_back(m.i64(F_SEQUENCE));
  }
  for (auto &e : s)
    std::sort(e.second.begin(), e.second.end());
  return s;
}

/* Missing sequence numbers over all streams, those before the first record
 * of a stream included. */
int64_t missing(
    const std::map<std::pair<std::string, int64_t>, std::vector<int64_t>> &s) {
  int64_t n = 0;
  for (const auto &e : s)
    n += e.second.back() + 1 - static_cast<int64_t>(e.second.size());
  return n;
}

TEST_F(FaultTest, MonitoringClusterDownFromTheStart) {
  rd_kafka_mock_broker_set_down(mon->mcluster, 1);
  stderr_capture *cap = stderr_capture_start();
  rd_kafka_t *rk =
      producer({{P + "publishms", "200"}, {P + "icdebug", "true"}});
  for (int i = 0; i < 4; i++) {
    produce(rk, 50);
    sleep_ms(150);
  }
  int64_t took = destroy(rk);
  std::string log = stderr_capture_stop(cap);
  EXPECT_EQ(produced, delivered);
  EXPECT_LT(took, 5000); /* the final pass and a flush of at most 1000 ms */
  EXPECT_EQ(0, count_lines(log, "with 0 undelivered")) << log;
  EXPECT_EQ(1, count_lines(log, "Background thread terminating"));
  rd_kafka_mock_broker_set_up(mon->mcluster, 1);
  EXPECT_TRUE(records(300).empty()); /* dropped with the private producer */
}

/* An outage in the middle of the run: the private producer keeps the
 * records and delivers them once the broker is back, so nothing is lost. */
TEST_F(FaultTest, MonitoringClusterGoesDownMidRun) {
  rd_kafka_t *rk = producer({{P + "publishms", "200"}});
  produce(rk, 100);
  sleep_ms(500);
  rd_kafka_mock_broker_set_down(mon->mcluster, 1);
  for (int i = 0; i < 3; i++) {
    produce(rk, 50);
    sleep_ms(250);
  }
  rd_kafka_mock_broker_set_up(mon->mcluster, 1);
  sleep_ms(1500);
  produce(rk, 100);
  sleep_ms(500);
  int64_t took = destroy(rk);
  EXPECT_EQ(produced, delivered);
  EXPECT_LT(took, 5000);

  int64_t count;
  int dups;
  auto s = streams(records(), &count, &dups);
  EXPECT_EQ(2u, s.size());
  EXPECT_EQ(0, missing(s));
  EXPECT_EQ(produced, count);
}

/* Produce requests of the application fail and are retried: each message
 * is still counted once, when its delivery is settled. */
TEST_F(FaultTest, ApplicationProduceErrorsAreRetriedAndCountedOnce) {
  rd_kafka_t *rk =
      producer({{P + "publishms", "300"}, {"retry.backoff.ms", "10"}});
  produce(rk, 10); /* connected, metadata known */
  rd_kafka_mock_push_request_errors(
      app->mcluster, API_PRODUCE, 4, RD_KAFKA_RESP_ERR_NOT_ENOUGH_REPLICAS,
      RD_KAFKA_RESP_ERR_REQUEST_TIMED_OUT,
      RD_KAFKA_RESP_ERR_NOT_ENOUGH_REPLICAS,
      RD_KAFKA_RESP_ERR_NOT_ENOUGH_REPLICAS_AFTER_APPEND);
  produce(rk, 100);
  sleep_ms(400);
  int64_t took = destroy(rk);
  EXPECT_EQ(produced, delivered);
  EXPECT_LT(took, 5000);

  int64_t count;
  int dups;
  auto s = streams(records(), &count, &dups);
  EXPECT_EQ(0, dups);
  EXPECT_EQ(0, missing(s));
  EXPECT_EQ(produced, count);
}

/* Produce requests of the private producer fail: retriable errors are
 * retried, permanent ones lose the records of their request, which the
 * numbering shows. */
TEST_F(FaultTest, MonitoringProduceErrorsLoseRecordsVisibly) {
  rd_kafka_t *rk =
      producer({{P + "publishms", "150"}, {P + "retry.backoff.ms", "10"}});
  produce(rk, 20);
  sleep_ms(400); /* the private producer is connected */
  rd_kafka_mock_push_request_errors(
      mon->mcluster, API_PRODUCE, 4, RD_KAFKA_RESP_ERR_NOT_ENOUGH_REPLICAS,
      RD_KAFKA_RESP_ERR_REQUEST_TIMED_OUT, RD_KAFKA_RESP_ERR_MSG_SIZE_TOO_LARGE,
      RD_KAFKA_RESP_ERR_MSG_SIZE_TOO_LARGE);
  for (int i = 0; i < 6; i++) {
    produce(rk, 20);
    sleep_ms(100);
  }
  sleep_ms(300);
  int64_t took = destroy(rk);
  EXPECT_EQ(produced, delivered);
  EXPECT_LT(took, 5000);

  int64_t count;
  int dups;
  auto s = streams(records(), &count, &dups);
  ASSERT_EQ(2u, s.size());
  EXPECT_GT(missing(s), 0); /* the permanently failed records */
  EXPECT_LT(count, produced);
  EXPECT_EQ(0, dups);
}

/* A topic authorization failure puts librdkafka's handle of the monitoring
 * topic in error: every later record of the private producer is refused at
 * once by produce(), which only the debug line shows. The application is
 * not affected. */
TEST_F(FaultTest, MonitoringTopicAuthorizationFailureRefusesLaterRecords) {
  stderr_capture *cap = stderr_capture_start();
  rd_kafka_t *rk =
      producer({{P + "publishms", "150"}, {P + "icdebug", "true"}});
  produce(rk, 20);
  sleep_ms(400);
  rd_kafka_mock_push_request_errors(
      mon->mcluster, API_PRODUCE, 1,
      RD_KAFKA_RESP_ERR_TOPIC_AUTHORIZATION_FAILED);
  for (int i = 0; i < 4; i++) {
    produce(rk, 20);
    sleep_ms(150);
  }
  int64_t took = destroy(rk);
  std::string log = stderr_capture_stop(cap);
  EXPECT_EQ(produced, delivered);
  EXPECT_LT(took, 5000);
  EXPECT_GT(count_lines(log, "W4IC: faulty: W4 produce() failed: Broker: "
                             "Topic authorization failed"),
            0)
      << log;
  int64_t count;
  int dups;
  streams(records(), &count, &dups);
  EXPECT_LT(count, produced);
}

/* A slow application broker: passes hold the lock while acknowledgements
 * arrive, which wait for them; none is lost. A slow monitoring broker only
 * keeps records in flight until the bounded flush at teardown. */
TEST_F(FaultTest, SlowBrokers) {
  rd_kafka_mock_broker_set_rtt(app->mcluster, 1, 900);
  rd_kafka_mock_broker_set_rtt(mon->mcluster, 1, 700);
  rd_kafka_t *rk = producer({{P + "publishms", "100"}});
  produce(rk, 60);
  sleep_ms(300);
  int64_t took = destroy(rk);
  EXPECT_EQ(produced, delivered);
  /* A pass that may still wait for the cluster id, the final pass, the
   * flush of at most 1000 ms and the client's own teardown. */
  EXPECT_LT(took, 8000);
  rd_kafka_mock_broker_set_rtt(mon->mcluster, 1, 0);

  int64_t count;
  int dups;
  std::vector<wire_msg> recs = records();
  auto s = streams(recs, &count, &dups);
  EXPECT_LE(count, produced);
  EXPECT_EQ(0, dups);
  for (const auto &m : recs) {
    if (m.i64(F_COUNT) > 0) {
      EXPECT_GE(m.i64(F_MIN_LATENCY), 900);
    }
  }
}

/* Brokers that only speak Metadata versions without the cluster id: every
 * pass with records says so, records carry no cluster id, and nothing else
 * changes. */
TEST_F(FaultTest, ClusterIdUnavailable) {
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
            rd_kafka_mock_set_apiversion(app->mcluster, API_METADATA, 0, 1));
  stderr_capture *cap = stderr_capture_start();
  rd_kafka_t *rk = producer({{P + "publishms", "200"}});
  produce(rk, 40);
  const std::string unable = "W4IC: faulty: Unable to acquire ClusterId "
                             "from intercepted client (missing "
                             "api.version.request=true?)";
  stderr_wait(cap, unable, 3, 15000);
  int64_t took = destroy(rk);
  std::string log = stderr_capture_stop(cap);
  EXPECT_EQ(produced, delivered);
  EXPECT_LT(took, 5000);
  /* The regular passes (at least three) and nothing else; the final pass
   * takes no cluster id that is not already known, and says nothing. */
  int lines = count_lines(log, unable);
  EXPECT_GE(lines, 3) << log;
  EXPECT_EQ(lines, count_lines(log, "W4IC: ")) << log;

  int64_t count;
  int dups;
  std::vector<wire_msg> recs = records();
  auto s = streams(recs, &count, &dups);
  EXPECT_EQ(produced, count);
  EXPECT_EQ(0, missing(s));
  for (const auto &m : recs)
    EXPECT_FALSE(m.has(F_CLUSTER_ID));
}

/* The topic-partition of a "Producing" debug line, or "". */
std::string entry_of(const std::string &line) {
  if (line.find("Producing ") == std::string::npos)
    return "";
  size_t from = line.find(" for "), to = line.find(" window ");
  if (from == std::string::npos || to == std::string::npos || to < from)
    return "";
  return line.substr(from, to - from);
}

/* Teardown while the background thread is inside a pass: it waits for the
 * pass, then runs the final one, and is bounded. Passes run back to back
 * (an interval of 1 ms, 64 records each); the destroy is begun at varied
 * moments until one lands inside a pass, which the debug lines show: the
 * line "Destroying interceptor" comes between two records of one pass. */
TEST_F(FaultTest, ClientDestroyedDuringAPass) {
  const int PARTS = 64;
  rd_kafka_mock_topic_create(app->mcluster, "wide", PARTS, 1);
  int inside = 0, cycles = 0;
  for (; cycles < 40 && inside == 0; cycles++) {
    SCOPED_TRACE("cycle " + std::to_string(cycles));
    stderr_capture *cap = stderr_capture_start();
    rd_kafka_t *rk =
        producer({{P + "publishms", "1"}, {P + "icdebug", "true"}});
    for (int p = 0; p < PARTS; p++) {
      ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
                rd_kafka_producev(
                    rk, RD_KAFKA_V_TOPIC("wide"), RD_KAFKA_V_PARTITION(p),
                    RD_KAFKA_V_VALUE((void *)"x", 1), RD_KAFKA_V_END));
      produced++;
    }
    EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(rk, 20000));
    sleep_ms(cycles % 7);
    int64_t took = destroy(rk);
    std::string log = stderr_capture_stop(cap);
    EXPECT_LT(took, 5000);
    EXPECT_EQ(1, count_lines(log, "Background thread terminating"));

    /* Every pass begins with the first entry's record. Teardown began
     * inside a pass when the record after its line is another entry's. */
    std::string first, next;
    bool destroying = false;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line) && next.empty()) {
      if (line == "W4IC: faulty: Destroying interceptor")
        destroying = true;
      std::string tp = entry_of(line);
      if (tp.empty())
        continue;
      if (first.empty())
        first = tp;
      else if (destroying)
        next = tp;
    }
    ASSERT_TRUE(destroying) << log.substr(0, 2000);
    if (!next.empty() && next != first)
      inside++;
  }
  EXPECT_EQ(produced, delivered);
  EXPECT_GT(inside, 0) << "no teardown began inside a pass in " << cycles
                       << " cycles";
}

/* Signal records: the kernel thread id of each handler run. */
std::atomic<int> sig_runs{0};
pid_t sig_tids[4096];

void on_usr1(int) {
  int i = sig_runs.fetch_add(1);
  if (i < 4096)
    sig_tids[i] = static_cast<pid_t>(syscall(SYS_gettid));
}

/* The blocked-signal mask of a thread, from /proc. */
uint64_t blocked_mask(pid_t tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("SigBlk:", 0) == 0)
      return std::stoull(line.substr(7), nullptr, 16);
  return 0;
}

/* Process signals while the background thread runs its passes: its mask
 * blocks every signal, and no handler ever runs on it, also when no other
 * thread of the application accepts the signal. librdkafka names its own
 * threads "rdk:..."; the plug-in's thread is the only new one without. */
TEST_F(FaultTest, SignalsNeverReachTheBackgroundThread) {
  struct sigaction sa = {}, old_sa;
  sa.sa_handler = on_usr1;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old_sa));

  std::map<pid_t, std::string> before = thread_names();
  rd_kafka_t *rk = producer({{P + "publishms", "2"}});
  sleep_ms(200);
  std::vector<pid_t> plugin = plugin_threads_since(before);
  ASSERT_EQ(1u, plugin.size()) << "cannot tell the plug-in's thread apart";
  pid_t bg = plugin[0];

  uint64_t mask = blocked_mask(bg);
  for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM,
                SIGTERM, SIGCHLD, SIGWINCH, SIGRTMIN + 1})
    EXPECT_TRUE(mask & (1ull << (s - 1)))
        << "signal " << s << " not blocked: " << std::hex << mask;

  /* The application's thread accepts the signal. */
  for (int i = 0; i < 200; i++) {
    kill(getpid(), SIGUSR1);
    if (i % 20 == 0)
      produce(rk, 10);
    usleep(500);
  }
  /* No application thread accepts it: it stays pending unless some thread
   * fails to block it. */
  sigset_t usr1, saved;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, &saved);
  for (int i = 0; i < 50; i++) {
    kill(getpid(), SIGUSR1);
    usleep(2000);
  }
  produce(rk, 20);
  struct timespec ts = {0, 100 * 1000 * 1000};
  sigtimedwait(&usr1, nullptr, &ts); /* take the pending one */
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);

  int64_t took = destroy(rk);
  sigaction(SIGUSR1, &old_sa, nullptr);
  EXPECT_EQ(produced, delivered);
  EXPECT_LT(took, 5000);
  /* Every run was on the application's thread, none on the plug-in's. */
  int runs = std::min(sig_runs.load(), 4096);
  EXPECT_GT(runs, 0);
  pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  for (int i = 0; i < runs; i++) {
    EXPECT_NE(bg, sig_tids[i]) << "a handler ran on the plug-in's thread";
    EXPECT_EQ(self, sig_tids[i]);
  }
}

} // namespace
