/* Allocation failures across a client's whole life with the plug-in.
 *
 * One lifecycle, run again and again against a fresh mock cluster: register
 * the plug-in on a configuration (ic_conf_init), route its properties,
 * create the client, record its traffic, run a publish pass, destroy the
 * client and read the monitoring records back with the test's own wire
 * reader. A clean run counts the plug-in's allocations in each step; then,
 * for every allocation n of a step, a run makes exactly that one fail. Each
 * such run must leave the application's client created and delivering, must
 * not crash or leak (the sanitizer build checks the leaks at exit), and must
 * give the behaviour the code has for that failure, checked here. */
#include "interceptors/w4ic.h"
#include "testlib.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <thread>

using namespace w4test;

namespace {

const std::string P = IC_PREFIX;
const char *APP_TOPIC = "app";
const char *MON_TOPIC = IC_DEFAULT_TOPIC;
const char *OWN_TOPIC = "w4-allocfail";
const int PER_PARTITION = 20; /* messages per partition, two partitions */
const int VALUE_LEN = 10;

/* The steps of the lifecycle whose allocations are walked. */
enum step {
  S_CONF_INIT, /* ic_conf_init */
  S_ROUTING,   /* properties set on the configuration */
  S_CREATE,    /* rd_kafka_new with the plug-in */
  S_RECORD,    /* acknowledged or consumed messages */
  S_PASS,      /* one publish pass of the background thread */
  S_TEARDOWN,  /* rd_kafka_destroy: the final pass and the release */
  S_NONE,
};

/* The properties of the routing step, in order. Overrides grow the list to
 * 1 and then 3 entries. */
struct routed {
  std::string name, value;
  bool override_prop; /* a prefixed name that is not one of the settings */
};
std::vector<routed> routing_props(int32_t publishms) {
  return {
      {P + "topic", OWN_TOPIC, false},
      {P + "publishms", std::to_string(publishms), false},
      {P + "linger.ms", "7", true},
      {P + "acks", "all", true},
      {P + "message.timeout.ms", "20000", true},
      {"client.id", "allocfail", false},
      {"linger.ms", "2", false}, /* mirrored only without the override */
  };
}

struct plan {
  rd_kafka_type_t type = RD_KAFKA_PRODUCER;
  step armed = S_NONE;
  long fail_at = 0;          /* the n-th allocation of the armed step fails */
  int32_t publishms = 60000; /* no pass before teardown */
  bool timed_pass = false;   /* wait for one pass of the background thread */
};

struct outcome {
  long allocs[S_NONE] = {};
  bool fired = false; /* the armed allocation did fail */
  bool registered = false;
  std::vector<rd_kafka_conf_res_t> set_res;
  std::vector<std::string> set_err;
  std::string ov_topic;       /* the record's topic before creation */
  std::string mon_linger;     /* queue.buffering.max.ms for monitoring */
  int32_t prop_names_cnt = 0; /* before creation */
  bool client = false;
  bool monitored = false; /* an instance exists */
  std::string client_id;  /* the instance's */
  bool has_group_id = false;
  int64_t pass_seq = -1; /* timed pass: first entry's seq before it */
  int expected = 0;      /* messages produced or consumed */
  int delivered = 0;     /* delivered or consumed without error */
  int64_t teardown_ms = 0;
  std::string log;
  std::vector<wire_msg> records, own_records; /* default and own topic */
};

/* Arms the failure if this step is the armed one. */
void step_begin(const plan &p, step s) {
  ic_alloc_fail_at(p.armed == s ? p.fail_at : 0);
}

/* Disarms and stores the step's allocation count. */
void step_end(const plan &p, outcome *o, step s) {
  o->allocs[s] = ic_alloc_fail_at(0);
  if (p.armed == s && o->allocs[s] >= p.fail_at)
    o->fired = true;
}

/* A plain producer (no plug-in) fills both partitions of the application's
 * topic, for a consumer to read. */
void preload(const mock_cluster *mc) {
  char errstr[512];
  rd_kafka_t *rk = rd_kafka_new(
      RD_KAFKA_PRODUCER,
      make_conf({{"bootstrap.servers", mc->bootstraps}, {"log_level", "0"}}),
      errstr, sizeof(errstr));
  ASSERT_NE(nullptr, rk) << errstr;
  for (int i = 0; i < 2 * PER_PARTITION; i++)
    rd_kafka_producev(
        rk, RD_KAFKA_V_TOPIC(APP_TOPIC), RD_KAFKA_V_PARTITION(i % 2),
        RD_KAFKA_V_VALUE((void *)"0123456789", VALUE_LEN), RD_KAFKA_V_END);
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(rk, 10000));
  rd_kafka_destroy(rk);
}

/* Produces to both partitions and waits for every delivery. */
void produce(rd_kafka_t *rk, outcome *o) {
  for (int i = 0; i < 2 * PER_PARTITION; i++) {
    EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
              rd_kafka_producev(
                  rk, RD_KAFKA_V_TOPIC(APP_TOPIC), RD_KAFKA_V_PARTITION(i % 2),
                  RD_KAFKA_V_VALUE((void *)"0123456789", VALUE_LEN),
                  RD_KAFKA_V_END));
    o->expected++;
  }
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(rk, 15000));
}

/* Reads both partitions from the start until every message has come. */
void consume(rd_kafka_t *rk, outcome *o) {
  rd_kafka_topic_partition_list_t *parts = rd_kafka_topic_partition_list_new(2);
  for (int p = 0; p < 2; p++)
    rd_kafka_topic_partition_list_add(parts, APP_TOPIC, p)->offset =
        RD_KAFKA_OFFSET_BEGINNING;
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_assign(rk, parts));
  rd_kafka_topic_partition_list_destroy(parts);
  o->expected = 2 * PER_PARTITION;
  o->delivered += consume_n(rk, o->expected - o->delivered, 15000);
}

/* Passes the background thread has completed. Read under the instance lock:
 * the thread counts a pass under it once the pass is over, and holding the
 * lock keeps it from starting the next one. */
int64_t pass_count(w4ic *ic) {
  tinycthread::mtx_lock(&ic->lock);
  int64_t n = ic->pass_cnt;
  tinycthread::mtx_unlock(&ic->lock);
  return n;
}

/* Waits until the background thread has completed more than `from`
 * passes. */
bool wait_pass(w4ic *ic, int64_t from) {
  int64_t deadline = mono_ms() + 10000;
  while (mono_ms() < deadline) {
    if (pass_count(ic) > from)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

/* The timed pass: its record buffer is dropped under the lock between two
 * passes, so that the pass allocates afresh, then the failure is armed and
 * the pass awaited. */
void timed_pass(w4ic *ic, const plan &p, outcome *o) {
  /* Let a pass that began after the last acknowledgement go by first: the
   * pass under test then finds entries without buckets, and its records are
   * empty-window records. */
  ASSERT_TRUE(wait_pass(ic, pass_count(ic))) << "no pass within 10 s";
  tinycthread::mtx_lock(&ic->lock);
  int64_t passes = ic->pass_cnt;
  ic_free(ic->record_buf);
  ic->record_buf = nullptr;
  ic->record_buf_size = 0;
  o->pass_seq = ic->tpmap.tps.first->seq;
  step_begin(p, S_PASS);
  tinycthread::mtx_unlock(&ic->lock);
  ASSERT_TRUE(wait_pass(ic, passes)) << "no second pass within 10 s";
  step_end(p, o, S_PASS);
}

/* One whole lifecycle under the plan. */
outcome run(const plan &p) {
  outcome o;
  mock_cluster *mc = mock_cluster_start();
  if (!mc)
    return o;
  rd_kafka_mock_topic_create(mc->mcluster, APP_TOPIC, 2, 1);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);
  rd_kafka_mock_topic_create(mc->mcluster, OWN_TOPIC, 1, 1);
  if (p.type == RD_KAFKA_CONSUMER)
    preload(mc);

  stderr_capture *cap = stderr_capture_start();
  rd_kafka_conf_t *conf =
      make_conf({{"bootstrap.servers", mc->bootstraps}, {"log_level", "0"}});
  if (p.type == RD_KAFKA_CONSUMER)
    conf_set(conf, "group.id", "allocfail-group");
  else {
    rd_kafka_conf_set_opaque(conf, &o.delivered);
    rd_kafka_conf_set_dr_msg_cb(conf, dr_count);
  }

  step_begin(p, S_CONF_INIT);
  ic_overrides *ic_ov = ic_conf_init(conf);
  step_end(p, &o, S_CONF_INIT);
  o.registered = ic_ov != nullptr;

  step_begin(p, S_ROUTING);
  for (const auto &r : routing_props(p.publishms)) {
    std::string err;
    o.set_res.push_back(conf_set(conf, r.name, r.value, &err));
    o.set_err.push_back(err);
  }
  step_end(p, &o, S_ROUTING);
  if (ic_ov) {
    o.ov_topic = ic_ov->topic;
    o.prop_names_cnt = ic_ov->prop_names_cnt;
    if (ic_ov->conf)
      o.mon_linger = conf_get(ic_ov->conf, "queue.buffering.max.ms");
  }

  char errstr[512];
  step_begin(p, S_CREATE);
  rd_kafka_t *rk = rd_kafka_new(p.type, conf, errstr, sizeof(errstr));
  step_end(p, &o, S_CREATE);
  o.client = rk != nullptr;
  if (!rk) {
    ADD_FAILURE() << "the application's client was not created: " << errstr;
    rd_kafka_conf_destroy(conf);
    o.log = stderr_capture_stop(cap);
    mock_cluster_stop(mc);
    return o;
  }
  w4ic *ic = ic_ov ? ic_ov->ic : nullptr;
  o.monitored = ic != nullptr;
  if (ic) {
    o.client_id = ic->client_id;
    o.has_group_id = ic->group_id != nullptr;
  }

  step_begin(p, S_RECORD);
  if (p.type == RD_KAFKA_CONSUMER)
    consume(rk, &o);
  else
    produce(rk, &o);
  step_end(p, &o, S_RECORD);

  if (p.timed_pass && ic)
    timed_pass(ic, p, &o);

  int64_t t0 = mono_ms();
  step_begin(p, S_TEARDOWN);
  if (p.type == RD_KAFKA_CONSUMER)
    rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk); /* the configuration goes with the client */
  step_end(p, &o, S_TEARDOWN);
  o.teardown_ms = mono_ms() - t0;
  o.log = stderr_capture_stop(cap);

  /* The reader waits 1200 ms for the first record, enough also under
   * valgrind. */
  o.records = read_records(mc->bootstraps, MON_TOPIC, 1200, 10000);
  o.own_records = read_records(mc->bootstraps, OWN_TOPIC, 1200, 10000);
  mock_cluster_stop(mc);
  return o;
}

/* Adds up the data records' counts and bytes. */
void sums(const std::vector<wire_msg> &records, int64_t *count,
          int64_t *bytes) {
  *count = *bytes = 0;
  for (const auto &m : records) {
    *count += m.i64(F_COUNT);
    *bytes += m.i64(F_AGGREGATE_BYTES);
  }
}

/* Sequence numbers of each topic-partition's records, sorted. */
std::map<int64_t, std::vector<int64_t>>
sequences(const std::vector<wire_msg> &records) {
  std::map<int64_t, std::vector<int64_t>> seqs;
  for (const auto &m : records)
    seqs[m.i64(F_PARTITION)].push_back(m.i64(F_SEQUENCE));
  for (auto &s : seqs)
    std::sort(s.second.begin(), s.second.end());
  return seqs;
}

/* What every run must show: the client worked, teardown was bounded. */
void expect_client_fine(const outcome &o) {
  EXPECT_TRUE(o.client);
  EXPECT_EQ(o.expected, o.delivered);
  EXPECT_GT(o.expected, 0);
  EXPECT_LT(o.teardown_ms, 5000);
}

/* The records of a fully monitored run: every message counted once, in
 * numbered, gapless streams, with the application's identity. */
void expect_monitored_fine(const outcome &o, const std::vector<wire_msg> &recs,
                           const std::string &client_id = "allocfail") {
  int64_t count, bytes;
  sums(recs, &count, &bytes);
  EXPECT_EQ(o.delivered, count);
  EXPECT_EQ(o.delivered * VALUE_LEN, bytes);
  for (const auto &m : recs)
    EXPECT_EQ(client_id, m.str(F_CLIENT_ID));
  for (const auto &s : sequences(recs))
    for (size_t i = 0; i < s.second.size(); i++)
      EXPECT_EQ(static_cast<int64_t>(i), s.second[i])
          << "partition " << s.first;
}

/* Lines of the diagnostic log, all of them always-lines here. */
int w4_lines(const outcome &o) { return count_lines(o.log, "W4IC: "); }

struct AllocFail : ::testing::Test {
  void TearDown() override { ic_alloc_fail_at(0); }
};

/* The clean run: the counts that the walks rely on, and a healthy result. */
TEST_F(AllocFail, CleanRunCountsTheSteps) {
  outcome o = run(plan());
  expect_client_fine(o);
  ASSERT_TRUE(o.monitored);
  EXPECT_EQ(0, w4_lines(o)) << o.log;
  EXPECT_TRUE(o.records.empty());
  expect_monitored_fine(o, o.own_records);
  EXPECT_EQ("7", o.mon_linger); /* the override, not the mirrored 2 */
  EXPECT_EQ(3, o.prop_names_cnt);
  EXPECT_EQ(2, o.allocs[S_CONF_INIT]); /* the record, its topic */
  EXPECT_EQ(6, o.allocs[S_ROUTING]);   /* topic; 2 growths, 3 names */
  EXPECT_EQ(4, o.allocs[S_CREATE]);    /* instance, id, map, thread */
  /* Entry (with its topic) and bucket for each of two partitions; one more
   * bucket each if the traffic straddles a window boundary. */
  EXPECT_GE(o.allocs[S_RECORD], 4);
  EXPECT_LE(o.allocs[S_RECORD], 6);
  EXPECT_EQ(1, o.allocs[S_TEARDOWN]); /* the final pass's buffer */
}

TEST_F(AllocFail, ConfInit) {
  long n = run(plan()).allocs[S_CONF_INIT];
  ASSERT_GT(n, 0);
  for (long k = 1; k <= n; k++) {
    SCOPED_TRACE("conf_init allocation " + std::to_string(k));
    plan p;
    p.armed = S_CONF_INIT;
    p.fail_at = k;
    outcome o = run(p);
    ASSERT_TRUE(o.fired);
    expect_client_fine(o);
    /* The record is given up whole: nothing is registered, so librdkafka
     * itself answers the plug-in's properties as unknown, and the client
     * runs unmonitored. */
    EXPECT_FALSE(o.registered);
    EXPECT_FALSE(o.monitored);
    EXPECT_EQ(1, count_lines(o.log, "W4IC: : Failed to allocate configuration "
                                    "record: clients of this configuration "
                                    "are not monitored"))
        << o.log;
    for (size_t i = 0; i < o.set_res.size(); i++) {
      if (routing_props(60000)[i].name.rfind(P, 0) == 0) {
        EXPECT_EQ(RD_KAFKA_CONF_UNKNOWN, o.set_res[i]) << o.set_err[i];
      }
    }
    EXPECT_TRUE(o.records.empty());
    EXPECT_TRUE(o.own_records.empty());
  }
}

/* The routing step's allocations in the clean run: per property, and which
 * of them grow the override list (its first allocation then). */
struct routing_walk {
  std::vector<int> prop_of; /* allocation index -> property */
  std::vector<bool> growth; /* allocation index -> grows the list */
};
routing_walk routing_allocations(void) {
  /* Routing alone, counted property by property. */
  routing_walk w;
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  ic_overrides *ic_ov = ic_conf_init(conf);
  EXPECT_NE(nullptr, ic_ov);
  const auto props = routing_props(60000);
  for (size_t i = 0; ic_ov && i < props.size(); i++) {
    bool grows = props[i].override_prop &&
                 ic_ov->prop_names_cnt == ic_ov->prop_names_size;
    ic_alloc_fail_at(0);
    conf_set(conf, props[i].name, props[i].value);
    long n = ic_alloc_fail_at(0);
    for (long a = 0; a < n; a++) {
      w.prop_of.push_back(static_cast<int>(i));
      w.growth.push_back(grows && a == 0);
    }
  }
  rd_kafka_conf_destroy(conf);
  return w;
}

TEST_F(AllocFail, Routing) {
  routing_walk w = routing_allocations();
  ASSERT_EQ(6u, w.prop_of.size());
  const auto props = routing_props(60000);
  for (size_t k = 1; k <= w.prop_of.size(); k++) {
    if (w.growth[k - 1])
      continue; /* stops the process: OverrideListGrowth */
    const routed &r = props[w.prop_of[k - 1]];
    SCOPED_TRACE("routing allocation " + std::to_string(k) + " (" + r.name +
                 ")");
    plan p;
    p.armed = S_ROUTING;
    p.fail_at = static_cast<long>(k);
    outcome o = run(p);
    ASSERT_TRUE(o.fired);
    expect_client_fine(o);
    ASSERT_TRUE(o.monitored);
    EXPECT_EQ(0, w4_lines(o)) << o.log; /* routing has no log line */
    if (!r.override_prop) {
      /* The topic copy: the set is refused and the topic in force stays,
       * so the records go to the default topic. */
      ASSERT_EQ(P + "topic", r.name);
      EXPECT_EQ(RD_KAFKA_CONF_INVALID, o.set_res[0]);
      EXPECT_EQ("Out of memory for configuration property \"" + P + "topic\"",
                o.set_err[0]);
      EXPECT_EQ(MON_TOPIC, o.ov_topic);
      EXPECT_TRUE(o.own_records.empty());
      expect_monitored_fine(o, o.records);
      continue;
    }
    /* An override name that cannot be copied: the override applies, but it
     * is not remembered, so a later application value of the same property
     * is mirrored over it. */
    EXPECT_EQ(RD_KAFKA_CONF_OK, o.set_res[w.prop_of[k - 1]]);
    EXPECT_EQ(2, o.prop_names_cnt);
    EXPECT_EQ(r.name == P + "linger.ms" ? "2" : "7", o.mon_linger);
    EXPECT_TRUE(o.records.empty());
    expect_monitored_fine(o, o.own_records);
  }
}

/* Growing the override list must succeed: a failed growth stops the
 * process on the assertion, at every growth (1, 3, 7 entries). */
TEST_F(AllocFail, OverrideListGrowth) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  routing_walk w = routing_allocations();
  int growths = 0;
  for (size_t k = 1; k <= w.prop_of.size(); k++) {
    if (!w.growth[k - 1])
      continue;
    growths++;
    SCOPED_TRACE("routing allocation " + std::to_string(k));
    EXPECT_DEATH(
        {
          rd_kafka_conf_t *conf = rd_kafka_conf_new();
          ic_conf_init(conf);
          ic_alloc_fail_at(static_cast<long>(k));
          for (const auto &r : routing_props(60000))
            conf_set(conf, r.name, r.value);
        },
        "ic_ov->prop_names");
  }
  EXPECT_EQ(2, growths);

  /* The third growth, from 3 to 7 entries. */
  EXPECT_DEATH(
      {
        rd_kafka_conf_t *conf = rd_kafka_conf_new();
        ic_conf_init(conf);
        for (const char *s : {"linger.ms", "acks", "retries"})
          conf_set(conf, P + s, "1");
        ic_alloc_fail_at(1);
        conf_set(conf, P + "socket.timeout.ms", "1000");
      },
      "ic_ov->prop_names");
}

/* Instance creation, for a producer and for a consumer: the allocations in
 * the order in which creation makes them. */
void walk_creation(rd_kafka_type_t type, const std::vector<std::string> &what) {
  plan clean;
  clean.type = type;
  outcome base = run(clean);
  expect_client_fine(base);
  ASSERT_EQ(static_cast<long>(what.size()), base.allocs[S_CREATE]);
  EXPECT_TRUE(base.has_group_id == (type == RD_KAFKA_CONSUMER));

  for (size_t k = 1; k <= what.size(); k++) {
    const std::string &alloc = what[k - 1];
    SCOPED_TRACE("creation allocation " + std::to_string(k) + " (" + alloc +
                 ")");
    plan p = clean;
    p.armed = S_CREATE;
    p.fail_at = static_cast<long>(k);
    outcome o = run(p);
    ASSERT_TRUE(o.fired);
    expect_client_fine(o);
    if (alloc == "instance" || alloc == "thread start") {
      /* No instance: an always-line, no record, and nothing left registered
       * on the client (its teardown would reach a released instance). */
      EXPECT_FALSE(o.monitored);
      const char *line = alloc == "instance"
                             ? "W4IC: : Failed to allocate interceptor instance"
                             : "W4IC: allocfail: Failed to create thread";
      EXPECT_EQ(1, count_lines(o.log, line)) << o.log;
      EXPECT_EQ(1, w4_lines(o)) << o.log;
      EXPECT_TRUE(o.own_records.empty());
    } else if (alloc == "group id copy") {
      /* The consumer is monitored without its group id. */
      EXPECT_TRUE(o.monitored);
      EXPECT_FALSE(o.has_group_id);
      EXPECT_EQ(0, w4_lines(o)) << o.log;
      expect_monitored_fine(o, o.own_records);
      for (const auto &m : o.own_records)
        EXPECT_FALSE(m.has(F_GROUP_ID));
    } else if (alloc == "client id copy") {
      /* The copy of the application's id failed: the instance falls back
       * on librdkafka's default id, and its records carry "rdkafka". */
      EXPECT_TRUE(o.monitored);
      EXPECT_EQ("rdkafka", o.client_id);
      EXPECT_EQ(0, w4_lines(o)) << o.log;
      expect_monitored_fine(o, o.own_records, "rdkafka");
    } else if (alloc == "map chains") {
      /* The map has no chains: the instance runs, but records nothing and
       * publishes nothing, without a line. */
      EXPECT_TRUE(o.monitored);
      EXPECT_EQ(0, w4_lines(o)) << o.log;
      EXPECT_TRUE(o.own_records.empty());
    } else {
      ADD_FAILURE() << "unexpected allocation " << alloc;
    }
    EXPECT_TRUE(o.records.empty());
  }
}

TEST_F(AllocFail, ProducerCreation) {
  walk_creation(RD_KAFKA_PRODUCER,
                {"instance", "client id copy", "map chains", "thread start"});
}

TEST_F(AllocFail, ConsumerCreation) {
  walk_creation(RD_KAFKA_CONSUMER,
                {"instance", "group id copy", "client id copy", "map chains",
                 "thread start"});
}

/* Recording: a failed entry or bucket drops the metrics of exactly the
 * message being recorded, silently; the next message tries again. */
TEST_F(AllocFail, Recording) {
  long n = run(plan()).allocs[S_RECORD];
  ASSERT_GT(n, 0);
  for (long k = 1; k <= n; k++) {
    SCOPED_TRACE("recording allocation " + std::to_string(k));
    plan p;
    p.armed = S_RECORD;
    p.fail_at = k;
    outcome o = run(p);
    expect_client_fine(o);
    ASSERT_TRUE(o.monitored);
    EXPECT_EQ(0, w4_lines(o)) << o.log;
    int64_t count, bytes;
    sums(o.own_records, &count, &bytes);
    int64_t lost = o.fired ? 1 : 0;
    EXPECT_EQ(o.delivered - lost, count);
    EXPECT_EQ((o.delivered - lost) * VALUE_LEN, bytes);
    for (const auto &s : sequences(o.own_records))
      for (size_t i = 0; i < s.second.size(); i++)
        EXPECT_EQ(static_cast<int64_t>(i), s.second[i]);
  }
}

/* Each record buffer that cannot be had: the always-line with the size
 * asked for, the record dropped and its sequence number spent. */
void expect_dropped_record(const outcome &o, int dropped) {
  const std::string head = "W4IC: allocfail: Failed to allocate ";
  const std::string tail = " bytes for protobuf: Cannot allocate memory";
  int lines = 0;
  std::istringstream in(o.log);
  std::string l;
  while (std::getline(in, l)) {
    size_t at = l.find(head);
    if (at == std::string::npos)
      continue;
    lines++;
    std::string rest = l.substr(at + head.size());
    size_t digits = rest.find_first_not_of("0123456789");
    ASSERT_NE(0u, digits) << l;
    EXPECT_EQ(tail, rest.substr(digits)) << l;
    long size = std::stol(rest.substr(0, digits));
    EXPECT_TRUE(size > 34 && size % 2 == 0) << l; /* 2 x N + 34 */
  }
  EXPECT_EQ(dropped, lines) << o.log;
  EXPECT_EQ(dropped, w4_lines(o)) << o.log;
}

/* A pass of the background thread, walked over its allocations: the pass
 * under test has empty-window records only, so a dropped one loses no
 * count but leaves a gap in its topic-partition's numbering. */
TEST_F(AllocFail, PublishPass) {
  plan clean;
  clean.publishms = 300;
  clean.timed_pass = true;
  outcome base = run(clean);
  expect_client_fine(base);
  expect_monitored_fine(base, base.own_records);
  long n = base.allocs[S_PASS];
  ASSERT_EQ(1, n); /* one buffer, reused by the pass's second record */

  for (long k = 1; k <= n + 1; k++) {
    SCOPED_TRACE("pass allocation " + std::to_string(k));
    plan p = clean;
    p.armed = S_PASS;
    p.fail_at = k;
    outcome o = run(p);
    expect_client_fine(o);
    ASSERT_TRUE(o.monitored);
    int64_t count, bytes;
    sums(o.own_records, &count, &bytes);
    EXPECT_EQ(o.delivered, count);
    /* The first record of the pass is the first entry's (partition 0 or
     * 1, whichever was acknowledged first). With k = 2 the second record
     * finds the buffer again and nothing fails. */
    int gaps = 0;
    for (const auto &s : sequences(o.own_records)) {
      const auto &seq = s.second;
      for (size_t i = 0, want = 0; i < seq.size(); i++, want++) {
        if (seq[i] != static_cast<int64_t>(want)) {
          gaps++;
          EXPECT_EQ(o.pass_seq, static_cast<int64_t>(want));
          want = seq[i];
        }
      }
    }
    EXPECT_EQ(o.fired ? 1 : 0, gaps);
    expect_dropped_record(o, o.fired ? 1 : 0);
  }
}

/* The final pass at teardown: a first record without a buffer is dropped
 * and the next record allocates again. */
TEST_F(AllocFail, FinalPass) {
  plan p;
  p.armed = S_TEARDOWN;
  p.fail_at = 1;
  outcome o = run(p);
  ASSERT_TRUE(o.fired);
  expect_client_fine(o);
  EXPECT_EQ(2, o.allocs[S_TEARDOWN]); /* the failed one, then a fresh one */
  expect_dropped_record(o, 1);
  /* Two entries, one record each: one of them is lost. */
  ASSERT_EQ(1u, o.own_records.size());
  EXPECT_EQ(PER_PARTITION, o.own_records[0].i64(F_COUNT));
  EXPECT_EQ(1, o.own_records[0].i64(F_FINAL));
}

} // namespace
