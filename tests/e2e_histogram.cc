/* Latency histograms end to end: real clients with the plug-in on the mock
 * cluster, the monitoring topic decoded by the test's own wire reader, by
 * protoc with today's and with the 24-field schema, and by the exporter
 * under a real Prometheus server. */
#include "monitoring/histogram.h"
#include "testlib.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

using namespace w4test;

namespace {

const char *const MON_TOPIC = "_quarndale-monitoring";
const std::string P = "quarndale.monitoring.interceptor.";

/* A client with the plug-in and its histograms, publishing every 500 ms;
 * a consumer in group g fetches at once. */
rd_kafka_t *histogram_client(const mock_cluster *mc, rd_kafka_type_t type,
                             const std::string &client_id) {
  if (type != RD_KAFKA_CONSUMER)
    return plugin_client(mc, type, client_id);
  return plugin_client(mc, type, client_id, "g", {{"fetch.wait.max.ms", "5"}});
}

/* Produces one message to topic [partition] with timestamp ts. */
void produce_at(rd_kafka_t *rk, const char *topic, int32_t partition,
                int64_t ts) {
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
            rd_kafka_producev(rk, RD_KAFKA_V_TOPIC(topic),
                              RD_KAFKA_V_PARTITION(partition),
                              RD_KAFKA_V_VALUE(const_cast<char *>("v"), 1),
                              RD_KAFKA_V_TIMESTAMP(ts), RD_KAFKA_V_END));
}

/* Assigns partitions 0..n-1 of topic from their beginning. */
void assign_all(rd_kafka_t *rk, const char *topic, int n) {
  rd_kafka_poll_set_consumer(rk);
  rd_kafka_topic_partition_list_t *parts = rd_kafka_topic_partition_list_new(n);
  for (int p = 0; p < n; p++)
    rd_kafka_topic_partition_list_add(parts, topic, p)->offset =
        RD_KAFKA_OFFSET_BEGINNING;
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_assign(rk, parts));
  rd_kafka_topic_partition_list_destroy(parts);
}

/* Bucket -> count of a record's histogram, as the wire has it; every
 * index once, ascending, every count non-zero. */
std::map<int, uint64_t> histogram_of(const wire_msg &w) {
  std::vector<uint64_t> idx = packed_varints(w.str(25)),
                        cnt = packed_varints(w.str(26));
  EXPECT_EQ(idx.size(), cnt.size());
  std::map<int, uint64_t> out;
  for (size_t i = 0; i < idx.size() && i < cnt.size(); i++) {
    EXPECT_TRUE(i == 0 || idx[i] > idx[i - 1]);
    EXPECT_LT(idx[i], static_cast<uint64_t>(HISTOGRAM_BUCKET_CNT));
    EXPECT_GT(cnt[i], 0u);
    out[static_cast<int>(idx[i])] += cnt[i];
  }
  return out;
}

/* The bucket of a latency by the bounds alone. */
int bucket_of(int64_t ms) {
  return histogram_bucket_search(static_cast<uint64_t>(ms < 0 ? 0 : ms));
}

/* Where one message's latency must lie: between what the test saw before
 * and after the poll that handed it over. */
struct latency_span {
  int lo, hi; /* buckets */
};

/* A consumed message: its partition, and its latency as the wall clock
 * read just before and just after the poll that handed it over. */
struct polled {
  int32_t partition;
  int64_t lo_ms, hi_ms;
};

/* Polls until n messages are consumed or timeout_ms pass. */
std::vector<polled> consume_bracketed(rd_kafka_t *rk, int n, int timeout_ms) {
  std::vector<polled> out;
  int64_t deadline = mono_ms() + timeout_ms;
  while (static_cast<int>(out.size()) < n && mono_ms() < deadline) {
    int64_t before = wall_ms();
    rd_kafka_message_t *m = rd_kafka_consumer_poll(rk, 0);
    int64_t after = wall_ms();
    if (!m) {
      sleep_ms(1);
      continue;
    }
    if (!m->err) {
      int64_t ts = rd_kafka_message_timestamp(m, nullptr);
      out.push_back({m->partition, before - ts, after - ts});
    }
    rd_kafka_message_destroy(m);
  }
  return out;
}

/* Each partition holds messages of one age; every message must be in the
 * bucket of its latency, which the test brackets around each poll. The
 * producer, on a broker with a round-trip time of 60 ms, has its
 * acknowledgement latencies in their buckets too. */
TEST(Histogram, EveryMessageInTheBucketOfItsLatency) {
  const int64_t AGES[] = {5, 50, 500, 30000, 7200000};
  const int PARTS = 5, PER_AGE = 6;
  mock_cluster *mc = mock_cluster_start();
  rd_kafka_mock_topic_create(mc->mcluster, "ages", PARTS, 1);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);

  /* The producer's acknowledgements take the round trip at least. */
  rd_kafka_mock_broker_set_rtt(mc->mcluster, 1, 60);
  rd_kafka_mock_topic_create(mc->mcluster, "warm", 1, 1);
  rd_kafka_t *prod = histogram_client(mc, RD_KAFKA_PRODUCER, "h-producer");
  for (int i = 0; i < 10; i++)
    produce_at(prod, "warm", 0, wall_ms());
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(prod, 15000));
  rd_kafka_mock_broker_set_rtt(mc->mcluster, 1, 0);

  /* The consumer fetches before the aged messages arrive, so that they are
   * handed over within milliseconds. */
  rd_kafka_t *cons = histogram_client(mc, RD_KAFKA_CONSUMER, "h-consumer");
  assign_all(cons, "ages", PARTS);
  for (int i = 0; i < 20; i++)
    if (rd_kafka_message_t *m = rd_kafka_consumer_poll(cons, 50))
      rd_kafka_message_destroy(m);
  for (int p = 0; p < PARTS; p++)
    for (int i = 0; i < PER_AGE; i++)
      produce_at(prod, "ages", p, wall_ms() - AGES[p]);
  rd_kafka_flush(prod, 15000);

  std::map<int32_t, std::vector<latency_span>> spans;
  std::vector<polled> got = consume_bracketed(cons, PARTS * PER_AGE, 30000);
  for (const polled &m : got)
    spans[m.partition].push_back({bucket_of(m.lo_ms), bucket_of(m.hi_ms)});
  ASSERT_EQ(static_cast<size_t>(PARTS * PER_AGE), got.size());
  rd_kafka_consumer_close(cons);
  rd_kafka_destroy(cons);
  rd_kafka_destroy(prod);

  std::map<int32_t, std::map<int, uint64_t>> consumed;
  std::map<int, uint64_t> acked;
  uint64_t acked_count = 0;
  int64_t acked_min = INT64_MAX;
  for (const wire_msg &w : read_records(mc->bootstraps, MON_TOPIC)) {
    if (w.i64(F_RECORD_KIND) == RECORD_EMPTY_WINDOW) {
      EXPECT_FALSE(w.has(25) || w.has(26)) << "empty-window record";
      continue;
    }
    std::map<int, uint64_t> h = histogram_of(w);
    uint64_t sum = 0;
    for (const auto &kv : h)
      sum += kv.second;
    EXPECT_EQ(static_cast<uint64_t>(w.i64(F_COUNT)), sum);
    /* The record's own extremes are messages: in their buckets. */
    EXPECT_TRUE(h.count(bucket_of(w.i64(F_MIN_LATENCY))));
    EXPECT_TRUE(h.count(bucket_of(w.i64(F_MAX_LATENCY))));
    std::map<int, uint64_t> *into =
        w.i64(F_CLIENT_TYPE) == CLIENT_PRODUCER
            ? &acked
            : &consumed[static_cast<int32_t>(w.i64(F_PARTITION))];
    if (w.i64(F_CLIENT_TYPE) == CLIENT_PRODUCER && w.str(F_TOPIC) == "warm") {
      acked_count += sum;
      acked_min = std::min(acked_min, w.i64(F_MIN_LATENCY));
    }
    if (w.i64(F_CLIENT_TYPE) == CLIENT_PRODUCER && w.str(F_TOPIC) != "warm")
      continue;
    for (const auto &kv : h)
      (*into)[kv.first] += kv.second;
  }
  EXPECT_EQ(10u, acked_count);
  EXPECT_GE(acked_min, 60);
  for (const auto &kv : acked)
    EXPECT_GE(kv.first, bucket_of(60));

  for (int p = 0; p < PARTS; p++) {
    SCOPED_TRACE("age " + std::to_string(AGES[p]) + " ms");
    const std::vector<latency_span> &s = spans[p];
    std::map<int, uint64_t> &h = consumed[p];
    uint64_t total = 0;
    for (const auto &kv : h) {
      /* Between the messages surely in the bucket and those maybe in it. */
      uint64_t surely = 0, maybe = 0;
      for (const latency_span &l : s) {
        surely += l.lo == kv.first && l.hi == kv.first;
        maybe += l.lo <= kv.first && kv.first <= l.hi;
      }
      EXPECT_GE(kv.second, surely) << "bucket " << kv.first;
      EXPECT_LE(kv.second, maybe) << "bucket " << kv.first;
      total += kv.second;
    }
    EXPECT_EQ(static_cast<uint64_t>(PER_AGE), total);
    for (const latency_span &l : s) {
      if (l.lo == l.hi) {
        EXPECT_TRUE(h.count(l.lo)) << "bucket " << l.lo;
      }
    }
    EXPECT_GE(h.begin()->first, bucket_of(AGES[p]));
  }
  /* Two hours old: beyond the bounded buckets. */
  EXPECT_EQ(HISTOGRAM_BUCKET_CNT - 1, consumed[4].begin()->first);
  mock_cluster_stop(mc);
}

/* Runs protoc --decode with the schema in dir over a record's message. */
std::string protoc_decode(const std::string &dir, const std::string &value,
                          int *status) {
  std::string path = temp_file();
  std::ofstream(path) << value.substr(1);
  std::string text =
      run_command("protoc --decode=monitoring.MonitoringMessage -I '" + dir +
                      "' monitoring.proto < '" + path + "' 2>&1",
                  status);
  unlink(path.c_str());
  return text;
}

/* A record with a histogram decodes with today's schema, and with the
 * 24-field schema of before, which shows the new fields as unknown. */
TEST(Histogram, RecordsDecodeWithTheOldAndTheNewSchema) {
  mock_cluster *mc = mock_cluster_start();
  rd_kafka_mock_topic_create(mc->mcluster, "app", 1, 1);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);
  /* The three in one request, so that one record counts them. */
  rd_kafka_t *prod = plugin_client(mc, RD_KAFKA_PRODUCER, "schema", "",
                                   {{"linger.ms", "100"}});
  for (int i = 0; i < 3; i++)
    produce_at(prod, "app", 0, wall_ms());
  rd_kafka_flush(prod, 15000);
  rd_kafka_destroy(prod);
  std::string value;
  for (const consumed &c : consume_all(mc->bootstraps, MON_TOPIC))
    if (record_decode(c.value).i64(F_COUNT) == 3)
      value = c.value;
  /* The reader prints it with its histogram and estimates. */
  int status;
  std::string json = run_command(std::string(W4_TOOLS_DIR) +
                                     "/w4metrics-read -b " + mc->bootstraps +
                                     " --from-beginning --json --exit-idle "
                                     "3000 2>/dev/null",
                                 &status);
  mock_cluster_stop(mc);
  ASSERT_FALSE(value.empty());
  EXPECT_EQ(0, status);
  size_t at = json.find("\"count\":3,");
  ASSERT_NE(std::string::npos, at) << json;
  std::string line = json.substr(at, json.find('\n', at) - at);
  EXPECT_NE(std::string::npos, line.find("\"latency_histogram\":[{\"le_ms\":"))
      << line;
  EXPECT_NE(std::string::npos, line.find("\"p99_ms\":")) << line;

  std::string proto = W4_PROTO_PATH;
  std::string src = proto.substr(0, proto.rfind("/src/"));
  std::string now =
      protoc_decode(proto.substr(0, proto.rfind('/')), value, &status);
  ASSERT_EQ(0, status) << now;
  EXPECT_NE(std::string::npos, now.find("latency_bucket_index: ")) << now;
  /* The three may lie in neighbouring buckets (exact below 8 ms): their
   * counts add up to 3. */
  long counted = 0;
  const std::string count_field = "latency_bucket_count: ";
  for (size_t pos = now.find(count_field); pos != std::string::npos;
       pos = now.find(count_field, pos + 1))
    counted += atol(now.c_str() + pos + count_field.size());
  EXPECT_EQ(3, counted) << now;
  std::string old = protoc_decode(src + "/tests/schema", value, &status);
  ASSERT_EQ(0, status) << old;
  for (const char *field :
       {"client_id: \"schema\"", "count: 3", "window_size: 500"})
    EXPECT_NE(std::string::npos, old.find(field)) << field << "\n" << old;
  /* protoc prints an unknown length-delimited field as a message when its
   * bytes happen to parse as one (bucket index 33 is "4: 33"). */
  for (const char *field : {"\n25", "\n26"}) {
    size_t line_at = old.find(field);
    ASSERT_NE(std::string::npos, line_at) << field << "\n" << old;
    std::string rest = old.substr(line_at + 3, 2);
    EXPECT_TRUE(rest == ": " || rest == " {") << field << "\n" << old;
  }
  EXPECT_EQ(std::string::npos, old.find("latency_bucket"));
}

/* promtool check metrics accepts the text without a remark; true as well
 * when promtool is not installed. */
bool promtool_accepts(const std::string &text, std::string *out) {
  int rc = promtool_check(text, out);
  return rc == -1 || rc == 0;
}

/* 980 fresh messages and 20 that are 40 s old: the true p99 lies in
 * (30 s, 60 s], and so must Prometheus' estimate from the exporter's
 * histogram; the share within 1 s is what the test saw around each poll. One
 * record with a histogram that does not add up is a bad record. */
TEST(Histogram, PrometheusAnswersTheP99WithinItsBucket) {
  int st;
  run_command("command -v prometheus", &st);
  if (st != 0)
    GTEST_SKIP() << "prometheus is not installed";
  mock_cluster *mc = mock_cluster_start();
  rd_kafka_mock_topic_create(mc->mcluster, "orders", 2, 1);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);

  child exporter;
  child_guard exporter_guard(&exporter);
  int port = exporter_start(
      &exporter, {"-b", mc->bootstraps, "--from-beginning", "--by", "topic"});
  ASSERT_GT(port, 0) << read_file(exporter.err_path);

  rd_kafka_t *cons = histogram_client(mc, RD_KAFKA_CONSUMER, "p-consumer");
  assign_all(cons, "orders", 2);
  rd_kafka_t *prod = histogram_client(mc, RD_KAFKA_PRODUCER, "p-producer");
  for (int i = 0; i < 1000; i++)
    produce_at(prod, "orders", i % 2, wall_ms() - (i % 50 == 7 ? 40000 : 0));
  rd_kafka_flush(prod, 15000);
  /* How many were surely, and how many maybe, consumed within 1 s: a
   * loaded machine may hand even the fresh ones over later. */
  std::vector<polled> got = consume_bracketed(cons, 1000, 30000);
  int surely_1s = 0, maybe_1s = 0;
  for (const polled &m : got) {
    surely_1s += m.hi_ms <= 1000;
    maybe_1s += m.lo_ms <= 1000;
  }
  EXPECT_EQ(1000u, got.size());
  sleep_ms(700); /* a pass publishes the last messages */
  rd_kafka_consumer_close(cons);
  rd_kafka_destroy(cons);
  rd_kafka_destroy(prod);
  /* count 1, one message in bucket 3 counted twice. */
  produce_values(mc, MON_TOPIC, 0,
                 {std::string("\x7f\x22\x20", 3) +
                  "0123456789abcdef0123456789abcdef" +
                  std::string("\x50\x01\x80\x01\x98\x75\xca\x01\x01\x03\xd2"
                              "\x01\x01\x02",
                              14)});

  prometheus_server prom;
  prometheus_guard prom_guard(&prom);
  ASSERT_TRUE(prometheus_start(&prom, port)) << read_file(prom.proc.err_path);

  const std::string sel =
      "w4metrics_message_latency_seconds_bucket{client_type=\"consumer\","
      "group_id=\"g\"}";
  const std::string count_q =
      "sum(w4metrics_message_latency_seconds_count{client_type="
      "\"consumer\"})";
  double count = -1, bad = -1;
  int64_t deadline = mono_ms() + 60000;
  while (mono_ms() < deadline &&
         ((count = prometheus_query(prom, count_q)) != 1000 ||
          (bad = prometheus_query(prom, "w4metrics_bad_records_total")) != 1))
    sleep_ms(500);
  EXPECT_EQ(1000, count);
  EXPECT_EQ(1, bad);
  double p99 = prometheus_query(prom, "histogram_quantile(0.99, sum by (le) (" +
                                          sel + "))");
  EXPECT_GT(p99, 30);
  EXPECT_LE(p99, 60);
  double within_1s = prometheus_query(
      prom, "sum(w4metrics_message_latency_seconds_bucket{client_type="
            "\"consumer\",le=\"1\"}) / " +
                count_q);
  EXPECT_GE(within_1s * 1000, surely_1s - 1e-6);
  EXPECT_LE(within_1s * 1000, maybe_1s + 1e-6);
  EXPECT_LE(maybe_1s, 980) << "the old ones are 40 s old";

  std::string text = run_command("curl -s -f --max-time 20 http://127.0.0.1:" +
                                     std::to_string(port) + "/metrics",
                                 &st);
  ASSERT_EQ(0, st);
  EXPECT_EQ(std::string::npos, text.find("partition=")) << "--by topic";
  std::string out;
  EXPECT_TRUE(promtool_accepts(text, &out)) << out;

  prometheus_stop(&prom);
  stop_child(&exporter);
  remove_child_files(exporter);
  mock_cluster_stop(mc);
}

} // namespace
