/* The interceptor instance on real clients: creation, identity, failures,
 * the background thread, teardown, and the diagnostic log. The plug-in is
 * linked in and registered with ic_conf_init, so its records are reachable. */
#include "interceptors/w4ic.h"
#include "testlib.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <thread>

using namespace w4test;

namespace {

struct InstanceTest : ::testing::Test {
  mock_cluster *mc = nullptr;
  void SetUp() override { mc = mock_cluster_start(); }
  void TearDown() override {
    ic_alloc_fail_at(0);
    mock_cluster_stop(mc);
  }

  /* A configuration for the mock cluster carrying the plug-in. */
  rd_kafka_conf_t *
  conf_for(ic_overrides **ic_ov,
           const std::vector<std::pair<std::string, std::string>> &props) {
    rd_kafka_conf_t *conf = make_conf({{"bootstrap.servers", mc->bootstraps}});
    *ic_ov = ic_conf_init(conf);
    EXPECT_NE(nullptr, *ic_ov);
    for (const auto &p : props) {
      std::string err;
      EXPECT_EQ(RD_KAFKA_CONF_OK, conf_set(conf, p.first, p.second, &err))
          << p.first << ": " << err;
    }
    return conf;
  }
};

/* Produces n messages to partition 0 and waits for their delivery; true
 * when all made it. */
bool produce_and_flush(rd_kafka_t *rk, const char *topic, int n) {
  for (int i = 0; i < n; i++)
    if (rd_kafka_producev(rk, RD_KAFKA_V_TOPIC(topic), RD_KAFKA_V_PARTITION(0),
                          RD_KAFKA_V_VALUE((void *)"0123456789", 10),
                          RD_KAFKA_V_END))
      return false;
  return rd_kafka_flush(rk, 10000) == RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* True when both masks hold the same signals. */
bool same_signals(const sigset_t *a, const sigset_t *b) {
  for (int s = 1; s < NSIG; s++)
    if (sigismember(a, s) != sigismember(b, s))
      return false;
  return true;
}

const std::string P = IC_PREFIX;

TEST_F(InstanceTest, ProducerAndConsumerIdentity) {
  ic_overrides *pov, *cov;
  rd_kafka_conf_t *pconf = conf_for(&pov, {{"client.id", "app-producer"}});
  rd_kafka_t *prod = client_new(RD_KAFKA_PRODUCER, pconf);
  ASSERT_NE(nullptr, pov->ic);
  w4ic *pic = pov->ic;
  EXPECT_EQ(1, pic->client_type);
  EXPECT_STREQ("app-producer", pic->client_id);
  EXPECT_EQ(nullptr, pic->group_id);
  /* The private producer's id is derived behind the prefix; records and log
   * lines keep the application's id alone. */
  EXPECT_EQ(P + "app-producer", pov->client_id);
  EXPECT_EQ(P + "app-producer",
            conf_get(rd_kafka_conf(pic->mon_rk), "client.id"));
  EXPECT_EQ(nullptr, pov->conf);

  rd_kafka_conf_t *cconf = conf_for(
      &cov, {{"group.id", "the-group"}, {P + "client.id", "given-monitor-id"}});
  rd_kafka_t *cons = client_new(RD_KAFKA_CONSUMER, cconf);
  ASSERT_NE(nullptr, cov->ic);
  EXPECT_EQ(0, cov->ic->client_type);
  EXPECT_STREQ("the-group", cov->ic->group_id);
  EXPECT_STREQ("rdkafka", cov->ic->client_id); /* librdkafka's default */
  EXPECT_EQ("given-monitor-id",
            conf_get(rd_kafka_conf(cov->ic->mon_rk), "client.id"));

  rd_kafka_destroy(cons);
  rd_kafka_destroy(prod);
}

TEST_F(InstanceTest, DerivedClientIdIsCutAt511) {
  ic_overrides *ic_ov;
  std::string long_id(500, 'x');
  rd_kafka_conf_t *conf = conf_for(&ic_ov, {{"client.id", long_id}});
  rd_kafka_t *rk = client_new(RD_KAFKA_PRODUCER, conf);
  ASSERT_NE(nullptr, ic_ov->ic);
  EXPECT_EQ(511u, strlen(ic_ov->client_id));
  EXPECT_EQ((P + long_id).substr(0, 511), ic_ov->client_id);
  EXPECT_EQ(long_id, ic_ov->ic->client_id);
  rd_kafka_destroy(rk);
}

/* Each creation failure: its always-line, no instance, nothing registered
 * (teardown of the client must not reach a released instance, which the
 * sanitizer build would catch), and the application's client works. */
TEST_F(InstanceTest, CreationFailuresLeaveTheClientWorking) {
  struct {
    const char *what;
    std::vector<std::pair<std::string, std::string>> props;
    long fail_alloc; /* n-th plug-in allocation of rd_kafka_new fails */
    const char *line;
  } cases[] = {
      {"invalid private producer configuration",
       {{P + "enable.idempotence", "true"}, {P + "acks", "1"}},
       0,
       "Failed to create producer: "},
      {"topic name refused",
       {{P + "topic", std::string(600, 't')}},
       0,
       "Failed to create topic \""},
      /* instance, client id copy, map chains, then the thread's start
       * record */
      {"no memory for the thread", {}, 4, "Failed to create thread"},
      {"no memory for the instance",
       {},
       1,
       "Failed to allocate interceptor instance"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ic_overrides *ic_ov;
    rd_kafka_conf_t *conf = conf_for(&ic_ov, c.props);
    sigset_t before, after;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    stderr_capture *cap = stderr_capture_start();
    ic_alloc_fail_at(c.fail_alloc);
    rd_kafka_t *rk = client_new(RD_KAFKA_PRODUCER, conf);
    ic_alloc_fail_at(0);
    std::string err = stderr_capture_stop(cap);
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    ASSERT_NE(nullptr, rk);
    EXPECT_EQ(nullptr, ic_ov->ic);
    EXPECT_EQ(1, count_lines(err, c.line)) << err;
    EXPECT_TRUE(same_signals(&before, &after));
    EXPECT_TRUE(produce_and_flush(rk, "app", 3));
    rd_kafka_destroy(rk);
  }
}

TEST_F(InstanceTest, SecondClientOfOneConfigurationIsNotMonitored) {
  ic_overrides *ic_ov;
  rd_kafka_conf_t *conf = conf_for(&ic_ov, {});
  /* Take the monitoring configuration as a first client would. */
  rd_kafka_conf_t *taken = ic_ov->conf;
  ic_ov->conf = nullptr;
  ic_ov->taken = 1;
  rd_kafka_conf_destroy(taken);

  stderr_capture *cap = stderr_capture_start();
  rd_kafka_t *rk = client_new(RD_KAFKA_PRODUCER, conf);
  std::string err = stderr_capture_stop(cap);
  ASSERT_NE(nullptr, rk);
  EXPECT_EQ(nullptr, ic_ov->ic);
  EXPECT_EQ(1, count_lines(err, "W4IC: : Configuration already used by "
                                "another client: this client is not "
                                "monitored"))
      << err;
  EXPECT_TRUE(produce_and_flush(rk, "app", 1));
  rd_kafka_destroy(rk);
}

TEST_F(InstanceTest, EarlyTeardownGetsOneFinalPassAndIsBounded) {
  ic_overrides *ic_ov;
  rd_kafka_conf_t *conf = conf_for(&ic_ov, {{P + "publishms", "60000"},
                                            {P + "icdebug", "true"},
                                            {"client.id", "early"}});
  sigset_t before, after;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  stderr_capture *cap = stderr_capture_start();
  rd_kafka_t *rk = client_new(RD_KAFKA_PRODUCER, conf);
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  EXPECT_TRUE(produce_and_flush(rk, "app", 5));
  stderr_wait(cap, "W4IC: early: Background thread with interval", 1, 5000);
  auto t0 = std::chrono::steady_clock::now();
  rd_kafka_destroy(rk);
  auto took = std::chrono::steady_clock::now() - t0;
  std::string err = stderr_capture_stop(cap);

  EXPECT_TRUE(same_signals(&before, &after));
  /* Lifecycle lines in order, one pass with one (final) record. */
  const char *lines[] = {
      "W4IC: early: Creating w4 metrics interceptor",
      "W4IC: early: Starting new session ",
      "W4IC: early: Background thread with interval 60000, W4 topic "
      "_quarndale-monitoring",
      "W4IC: early: Destroying interceptor",
      "W4IC: early: Background thread terminating",
      "W4IC: early: Acquired ClusterId ",
      "W4IC: early: Producing record (",
      "W4IC: early: Destroying interceptor: flushing 1 message(s)",
      "W4IC: early: Destroying interceptor with 0 undelivered message(s)",
  };
  size_t pos = 0;
  for (const char *line : lines) {
    size_t at = err.find(line, pos);
    EXPECT_NE(std::string::npos, at)
        << "missing or out of order: " << line << "\n"
        << err;
    if (at != std::string::npos)
      pos = at;
  }
  EXPECT_EQ(1, count_lines(err, "Producing "));
  /* The final pass, a flush of at most a second, and the client itself. */
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(),
            5000);
}

TEST(Log, FormatLevelsAndTruncation) {
  w4ic ic{};
  char id[] = "cid";
  ic.client_id = id;
  std::string long_msg(600, 'm');

  stderr_capture *cap = stderr_capture_start();
  w4ic_log0(nullptr, 0, "always %d", 1);
  w4ic_log0(nullptr, 1, "debug without instance");
  w4ic_log0(&ic, 1, "debug while off");
  w4ic_log0(&ic, 0, "always with instance");
  ic.icdebug = 1;
  w4ic_log0(&ic, 1, "debug while on");
  w4ic_log0(&ic, 0, "%s", long_msg.c_str());
  std::string err = stderr_capture_stop(cap);

  EXPECT_EQ("W4IC: : always 1\n"
            "W4IC: cid: always with instance\n"
            "W4IC: cid: debug while on\n"
            "W4IC: cid: " +
                long_msg.substr(0, 511) + "\n",
            err);
}

TEST(Platform, UuidStrings) {
  char a[40], b[40];
  memset(a, 'Z', sizeof(a));
  ic_uuid_str(a, 33);
  ic_uuid_str(b, 33);
  EXPECT_EQ('\0', a[32]);
  EXPECT_EQ('Z', a[33]); /* nothing beyond the terminator */
  std::string s(a);
  ASSERT_EQ(32u, s.size());
  EXPECT_EQ(std::string::npos, s.find_first_not_of("0123456789abcdef"));
  EXPECT_EQ('4', s[12]);
  EXPECT_NE(std::string::npos, std::string("89ab").find(s[16]));
  EXPECT_STRNE(a, b);
}

TEST(Platform, ThreadPrimitives) {
  using namespace tinycthread;
  /* The deadline carries one second at most. */
  struct timespec ts = cnd_deadline(10, 999999, 1);
  EXPECT_EQ(11, ts.tv_sec);
  EXPECT_EQ(999000, ts.tv_nsec);
  ts = cnd_deadline(10, 500000, 2500);
  EXPECT_EQ(13, ts.tv_sec);
  EXPECT_EQ(0, ts.tv_nsec);

  mtx_t m;
  cnd_t c;
  ASSERT_EQ(thrd_success, mtx_init(&m, mtx_plain));
  ASSERT_EQ(thrd_success, cnd_init(&c));
  mtx_lock(&m);
  EXPECT_EQ(thrd_timedout, cnd_timedwait_ms(&c, &m, 20));
  mtx_unlock(&m);
  cnd_destroy(&c);
  mtx_destroy(&m);

  thrd_t t;
  static int arg = 41;
  ASSERT_EQ(thrd_success,
            thrd_create(
                &t, [](void *a) { return *static_cast<int *>(a) + 1; }, &arg));
  int res = 0;
  EXPECT_EQ(thrd_success, thrd_join(t, &res));
  EXPECT_EQ(42, res);

  ic_alloc_fail_at(1);
  EXPECT_EQ(thrd_nomem, thrd_create(
                            &t, [](void *) { return 0; }, nullptr));
  ic_alloc_fail_at(0);
}

} // namespace
