/* The delivery audit end to end: consumers with the plug-in, the producer
 * side played by testlib's twin (whose windows are the consumers' windows,
 * as on a real cluster), the exporter reading their records, and the
 * verdict read from its /metrics. Truth is what the test produced and
 * consumed. First the twin itself, against the plug-in's records and the
 * exporter's counters. */
#include "exposition_text.h"
#include "testlib.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using w4test::child;
using w4test::child_guard;
using w4test::group_labels;
using w4test::labels;
using w4test::metric;
using w4test::mono_ms;
using w4test::parse_exposition;
using w4test::read_file;
using w4test::sample;
using w4test::samples;
using w4test::series_count;
using w4test::sleep_ms;
using w4test::twin_producer;
using w4test::verdict;
using w4test::verdict_of;
using w4test::verdict_str;
using w4test::wall_ms;
using w4test::wire_msg;

const char *const MON_TOPIC = "_quarndale-monitoring";
const std::string P = "quarndale.monitoring.interceptor.";
const int SETTLE_MS = 4000;

/* Scrapes the exporter's /metrics; empty when it did not answer. */
samples scrape(int port) {
  return parse_exposition(w4test::http_get(
      "http://127.0.0.1:" + std::to_string(port) + "/metrics"));
}

/* Scrapes every 500 ms until done() holds of the samples or timeout_ms
 * passed; the last scrape. */
samples metrics_wait(int port, int timeout_ms,
                     const std::function<bool(const samples &)> &done) {
  int64_t deadline = mono_ms() + timeout_ms;
  samples ss = scrape(port);
  while (!done(ss) && mono_ms() < deadline) {
    sleep_ms(500);
    ss = scrape(port);
  }
  return ss;
}

/* Scrapes every 500 ms until the judged windows (all series) have not
 * changed for quiet_ms, timeout_ms at most; the last scrape. Once it
 * returns, what the audit would still add is what the wait was for. */
samples metrics_quiet(int port, int quiet_ms, int timeout_ms) {
  int64_t deadline = mono_ms() + timeout_ms;
  samples ss = scrape(port);
  double windows = metric(ss, "audit_windows_total");
  int64_t since = mono_ms();
  while (mono_ms() - since < quiet_ms && mono_ms() < deadline) {
    sleep_ms(500);
    ss = scrape(port);
    double now = metric(ss, "audit_windows_total");
    if (now != windows) {
      windows = now;
      since = mono_ms();
    }
  }
  return ss;
}

/* The mock cluster with the monitoring topic (2 partitions, as the
 * exporter's other tests) and topic with its partitions. */
w4test::mock_cluster *cluster_with(const std::string &topic, int partitions) {
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  if (!mc)
    return nullptr;
  rd_kafka_mock_topic_create(mc->mcluster, topic.c_str(), partitions, 1);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 2, 1);
  return mc;
}

/* Stops the mock cluster on leaving scope. */
struct cluster_guard {
  w4test::mock_cluster *mc;
  explicit cluster_guard(w4test::mock_cluster *m) : mc(m) {}
  ~cluster_guard() { w4test::mock_cluster_stop(mc); }
};

/* A consumer with the plug-in, publishing every second (the twin's
 * window), in group; extra properties come last. */
rd_kafka_t *group_consumer(const w4test::mock_cluster *mc,
                           const std::string &client_id,
                           const std::string &group, const labels &extra = {}) {
  std::vector<std::pair<std::string, std::string>> props = {
      {P + "publishms", "1000"}};
  props.insert(props.end(), extra.begin(), extra.end());
  return w4test::plugin_client(mc, RD_KAFKA_CONSUMER, client_id, group, props);
}

/* Closes and destroys a consumer (its plug-in publishes a final pass). */
void consumer_close(rd_kafka_t *rk) {
  if (!rk)
    return;
  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
}

/* What one consumer has consumed: messages, the offset and timestamp of
 * the latest and the timestamp of the first, per partition. on_message,
 * when set, sees every message consumed (to seek, say). */
struct reader {
  rd_kafka_t *rk = nullptr;
  std::map<int32_t, int64_t> consumed;
  std::map<int32_t, int64_t> last_offset;
  std::map<int32_t, int64_t> first_ts, last_ts;
  std::set<std::pair<int32_t, int64_t>> offsets; /* every one consumed */
  int64_t total = 0;
  std::function<void(reader *, const rd_kafka_message_t *)> on_message;
};

/* Polls once, up to ms; true when a message came without error (it is
 * then counted). */
bool reader_poll(reader *r, int ms) {
  rd_kafka_message_t *m = rd_kafka_consumer_poll(r->rk, ms);
  if (!m)
    return false;
  bool ok = !m->err;
  if (ok) {
    int64_t ts = rd_kafka_message_timestamp(m, nullptr);
    if (!r->consumed[m->partition]++)
      r->first_ts[m->partition] = ts;
    r->last_ts[m->partition] = std::max(r->last_ts[m->partition], ts);
    r->last_offset[m->partition] = m->offset;
    r->offsets.insert({m->partition, m->offset});
    r->total++;
    if (r->on_message)
      r->on_message(r, m);
  }
  rd_kafka_message_destroy(m);
  return ok;
}

/* Consumes until total messages have been consumed or timeout_ms passed;
 * the total. */
int64_t reader_until(reader *r, int64_t total, int timeout_ms) {
  int64_t deadline = mono_ms() + timeout_ms;
  while (r->total < total && mono_ms() < deadline)
    reader_poll(r, 100);
  return r->total;
}

/* Closes the reader's consumer (its plug-in publishes a final pass). */
void reader_close(reader *r) {
  consumer_close(r->rk);
  r->rk = nullptr;
}

/* Closes the reader's consumer on leaving scope, unless the test did. */
struct reader_guard {
  reader *r;
  explicit reader_guard(reader *rd) : r(rd) {}
  ~reader_guard() { reader_close(r); }
};

/* Assigns every partition of topic (0 .. n-1) from the beginning. */
void assign_all(rd_kafka_t *rk, const std::string &topic, int n) {
  rd_kafka_poll_set_consumer(rk);
  rd_kafka_topic_partition_list_t *parts = rd_kafka_topic_partition_list_new(n);
  for (int p = 0; p < n; p++)
    rd_kafka_topic_partition_list_add(parts, topic.c_str(), p)->offset =
        RD_KAFKA_OFFSET_BEGINNING;
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_assign(rk, parts));
  rd_kafka_topic_partition_list_destroy(parts);
}

/* Steady traffic from the twin: rate messages a second for duration_ms,
 * round robin over the topic's partitions, each stamped with the wall
 * clock as it is produced; from a thread of its own. */
struct traffic {
  twin_producer *tw = nullptr;
  std::string topic;
  int partitions = 2;
  int rate = 30;
  int64_t duration_ms = 10000;
  std::thread thread;
  std::mutex lock;
  std::vector<int64_t> stamps; /* of the messages produced, in order */
  std::atomic<bool> done{false};
  int64_t start_ms = 0; /* monotonic */
};

/* The traffic's thread. */
void traffic_run(traffic *t) {
  int64_t start = t->start_ms;
  for (int64_t k = 0; mono_ms() - start < t->duration_ms; k++) {
    int64_t due = start + k * 1000 / t->rate;
    if (due > mono_ms())
      sleep_ms(static_cast<int>(due - mono_ms()));
    int64_t ts = wall_ms();
    int32_t p = static_cast<int32_t>(k % t->partitions);
    std::string value = "message-" + std::to_string(k);
    rd_kafka_resp_err_t err = RD_KAFKA_RESP_ERR__QUEUE_FULL;
    for (int tries = 0; err == RD_KAFKA_RESP_ERR__QUEUE_FULL && tries < 100;
         tries++)
      if ((err = w4test::twin_produce(t->tw, t->topic, p, "key", value, ts)))
        sleep_ms(10);
    EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, err) << rd_kafka_err2str(err);
    std::lock_guard<std::mutex> hold(t->lock);
    t->stamps.push_back(ts);
  }
  t->done.store(true);
}

/* Starts the traffic's thread. */
void traffic_start(traffic *t) {
  t->start_ms = mono_ms();
  t->thread = std::thread(traffic_run, t);
}

/* Milliseconds since the traffic started. */
int64_t traffic_elapsed(const traffic *t) { return mono_ms() - t->start_ms; }

/* Waits for the traffic's end and for the delivery of its messages. */
void traffic_join(traffic *t) {
  if (t->thread.joinable())
    t->thread.join();
  EXPECT_TRUE(w4test::twin_flush(t->tw, 15000));
}

/* Joins the traffic's thread on leaving scope (a failed assertion). */
struct traffic_guard {
  traffic *t;
  explicit traffic_guard(traffic *tr) : t(tr) {}
  ~traffic_guard() {
    if (t->thread.joinable())
      t->thread.join();
  }
};

/* Messages produced so far with a timestamp up to ts. */
int64_t traffic_sent_until(traffic *t, int64_t ts) {
  std::lock_guard<std::mutex> hold(t->lock);
  return std::upper_bound(t->stamps.begin(), t->stamps.end(), ts) -
         t->stamps.begin();
}

/* Messages produced so far. */
int64_t traffic_sent(traffic *t) {
  std::lock_guard<std::mutex> hold(t->lock);
  return static_cast<int64_t>(t->stamps.size());
}

/* The timestamp of the newest message produced so far; 0 before any. */
int64_t traffic_newest(traffic *t) {
  std::lock_guard<std::mutex> hold(t->lock);
  return t->stamps.empty() ? 0 : t->stamps.back();
}

/* Starts the exporter on the cluster with the audit's common options and
 * extra; the port, 0 (and a failed test) when it did not start. */
int audit_exporter(child *c, const std::string &bootstraps,
                   const std::vector<std::string> &extra = {}) {
  std::vector<std::string> args = {"-b", bootstraps, "--settle",
                                   std::to_string(SETTLE_MS),
                                   "--from-beginning"};
  args.insert(args.end(), extra.begin(), extra.end());
  int port = w4test::exporter_start(c, args);
  EXPECT_GT(port, 0) << read_file(c->err_path);
  return port;
}

/* The exporter's standard error, for failure messages. */
std::string exporter_err(const child &c) {
  return "exporter's stderr:\n" + read_file(c.err_path);
}

/* The records of the monitoring topic of a cluster. */
std::vector<wire_msg> monitoring_records(const w4test::mock_cluster *mc) {
  return w4test::read_records(mc->bootstraps, MON_TOPIC, 1500, 30000);
}

/* Messages and bytes by (partition, window) of the data records of one
 * client type (and client id, unless empty) on topic. */
std::map<std::pair<int32_t, int64_t>, std::pair<int64_t, int64_t>>
record_windows(const std::vector<wire_msg> &records, int client_type,
               const std::string &topic, const std::string &client_id = "") {
  std::map<std::pair<int32_t, int64_t>, std::pair<int64_t, int64_t>> out;
  for (const wire_msg &m : records) {
    if (m.i64(w4test::F_CLIENT_TYPE) != client_type ||
        m.str(w4test::F_TOPIC) != topic ||
        (!client_id.empty() && m.str(w4test::F_CLIENT_ID) != client_id) ||
        m.i64(w4test::F_RECORD_KIND) != 0)
      continue;
    auto &w = out[{static_cast<int32_t>(m.i64(w4test::F_PARTITION)),
                   m.i64(w4test::F_WINDOW)}];
    w.first += m.i64(w4test::F_COUNT);
    w.second += m.i64(w4test::F_AGGREGATE_BYTES);
  }
  return out;
}

/* The twin's truth in the same shape. */
std::map<std::pair<int32_t, int64_t>, std::pair<int64_t, int64_t>>
twin_truth(twin_producer *tw, const std::string &topic) {
  std::map<std::pair<int32_t, int64_t>, std::pair<int64_t, int64_t>> out;
  for (const auto &kv : w4test::twin_windows(tw, topic))
    out[kv.first] = {kv.second.count, kv.second.bytes};
  return out;
}

/* A record's fields in wire order, without those that are absent when 0
 * in one record and not in another of the same kind (latencies, the recent
 * windows): the record's layout. */
std::vector<int> layout_of(const wire_msg &m) {
  std::vector<int> out;
  for (int f : m.order)
    if (f != w4test::F_LATENCY_SUM && f != w4test::F_MIN_LATENCY &&
        f != w4test::F_MAX_LATENCY && f != w4test::F_MIN_RECENT_WINDOW &&
        f != w4test::F_MAX_RECENT_WINDOW)
      out.push_back(f);
  return out;
}

/* protoc's text of a record value, decoded with the installed schema. */
std::string protoc_decode(const std::string &value, int *status) {
  std::string path = w4test::temp_file();
  FILE *f = fopen(path.c_str(), "wb");
  fwrite(value.data() + 1, 1, value.size() - 1, f);
  fclose(f);
  std::string proto = W4_PROTO_PATH;
  std::string dir = proto.substr(0, proto.rfind('/'));
  std::string text =
      w4test::run_command("protoc --decode=monitoring.MonitoringMessage -I '" +
                              dir + "' monitoring.proto < " + path + " 2>&1",
                          status);
  unlink(path.c_str());
  return text;
}

/* The twin's records are the plug-in producer's: same fields in the same
 * order, numbered per topic-partition from 0, the last one final, the
 * cluster's id, and readable by protoc with the schema. */
TEST(Twin, RecordsAsThePluginWritesThem) {
  w4test::mock_cluster *mc = cluster_with("orders", 2);
  ASSERT_NE(nullptr, mc);
  cluster_guard cg(mc);

  rd_kafka_t *plugin = w4test::plugin_client(
      mc, RD_KAFKA_PRODUCER, "plugin-producer", "",
      {{P + "publishms", "1000"}, {P + "histogram", "false"}});
  ASSERT_NE(nullptr, plugin);
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
            rd_kafka_producev(plugin, RD_KAFKA_V_TOPIC("orders"),
                              RD_KAFKA_V_PARTITION(0), RD_KAFKA_V_KEY("k", 1),
                              RD_KAFKA_V_VALUE(const_cast<char *>("v"), 1),
                              RD_KAFKA_V_END));
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(plugin, 10000));

  twin_producer *tw = w4test::twin_start(mc, "twin");
  ASSERT_NE(nullptr, tw);
  w4test::twin_guard tg(tw);
  /* Messages over three windows, an old one among them, and some on the
   * second partition only in the first pass, so that it gets empty-window
   * records afterwards. */
  int64_t old_ts = wall_ms() - 3600000;
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
            w4test::twin_produce(tw, "orders", 1, "k1", "old", old_ts));
  for (int i = 0; i < 12; i++) {
    ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
              w4test::twin_produce(tw, "orders", 0, "key", "value"));
    sleep_ms(200);
  }
  w4test::twin_stop(tw);
  rd_kafka_destroy(plugin);

  std::vector<wire_msg> records = monitoring_records(mc);
  const wire_msg *plugin_data = nullptr;
  std::vector<const wire_msg *> twin;
  for (const wire_msg &m : records) {
    if (m.str(w4test::F_CLIENT_ID) == "twin")
      twin.push_back(&m);
    else if (!plugin_data && m.i64(w4test::F_RECORD_KIND) == 0)
      plugin_data = &m;
  }
  ASSERT_NE(nullptr, plugin_data);
  ASSERT_EQ(tw->records.size(), twin.size());

  std::map<int64_t, std::vector<const wire_msg *>> by_partition;
  for (const wire_msg *m : twin)
    by_partition[m->i64(w4test::F_PARTITION)].push_back(m);
  ASSERT_EQ(2u, by_partition.size());
  int empties = 0;
  for (auto &kv : by_partition) {
    std::vector<const wire_msg *> &ms = kv.second;
    std::sort(ms.begin(), ms.end(), [](const wire_msg *a, const wire_msg *b) {
      return a->i64(w4test::F_SEQUENCE) < b->i64(w4test::F_SEQUENCE);
    });
    for (size_t i = 0; i < ms.size(); i++) {
      const wire_msg &m = *ms[i];
      EXPECT_EQ(static_cast<int64_t>(i), m.i64(w4test::F_SEQUENCE));
      EXPECT_EQ(i + 1 == ms.size(), m.i64(w4test::F_FINAL) == 1);
      EXPECT_EQ(1, m.i64(w4test::F_CLIENT_TYPE));
      EXPECT_FALSE(m.has(w4test::F_GROUP_ID));
      EXPECT_EQ(tw->session_id, m.str(w4test::F_SESSION_ID));
      EXPECT_EQ(1000, m.i64(w4test::F_WINDOW_SIZE));
      EXPECT_EQ(0, m.i64(w4test::F_WINDOW) % 1000);
      EXPECT_EQ(plugin_data->str(w4test::F_CLUSTER_ID),
                m.str(w4test::F_CLUSTER_ID));
      EXPECT_EQ(std::vector<int>(m.order.begin(), m.order.end()), [&] {
        std::vector<int> sorted = m.order;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
      }());
      if (m.i64(w4test::F_RECORD_KIND) == 2) {
        empties++;
        EXPECT_FALSE(m.has(w4test::F_WINDOW));
        EXPECT_FALSE(m.has(w4test::F_COUNT));
      }
    }
  }
  EXPECT_GT(empties, 0);
  EXPECT_EQ(32u, tw->session_id.size());
  EXPECT_EQ(std::string::npos,
            tw->session_id.find_first_not_of("0123456789abcdef"));
  EXPECT_EQ(twin_truth(tw, "orders"),
            record_windows(records, 1, "orders", "twin"));
  EXPECT_GE(twin_truth(tw, "orders").size(), 3u);

  /* The layout of a data record is the plug-in producer's, for the same
   * partition and sequence number (fields equal to 0 are absent). */
  const wire_msg *twin_data = nullptr;
  for (const wire_msg *m : twin)
    if (m->i64(w4test::F_RECORD_KIND) == 0 &&
        m->i64(w4test::F_PARTITION) == plugin_data->i64(w4test::F_PARTITION) &&
        m->i64(w4test::F_SEQUENCE) == plugin_data->i64(w4test::F_SEQUENCE))
      twin_data = m;
  ASSERT_NE(nullptr, twin_data);
  EXPECT_EQ(layout_of(*plugin_data), layout_of(*twin_data));

  /* protoc reads it with the schema. */
  std::string value;
  for (const std::string &v : tw->records)
    if (w4test::record_decode(v).i64(w4test::F_COUNT) > 1)
      value = v;
  ASSERT_FALSE(value.empty());
  int status;
  std::string text = protoc_decode(value, &status);
  ASSERT_EQ(0, status) << text;
  for (const std::string &field :
       {std::string("client_type: 1"), std::string("client_id: \"twin\""),
        "session_id: \"" + tw->session_id + "\"",
        std::string("topic: \"orders\""), std::string("window_size: 1000"),
        std::string("aggregate_bytes: "), std::string("timestamp: "),
        "cluster_id: \"" + tw->cluster_id + "\""})
    EXPECT_NE(std::string::npos, text.find(field)) << field << "\n" << text;
  EXPECT_EQ(std::string::npos, text.find("group_id")) << text;
}

/* A consumer with the plug-in reading the twin's messages counts the same
 * windows, messages and bytes per partition as the twin's records. */
TEST(Twin, WindowsMatchTheConsumersPlugin) {
  w4test::mock_cluster *mc = cluster_with("orders", 2);
  ASSERT_NE(nullptr, mc);
  cluster_guard cg(mc);
  twin_producer *tw = w4test::twin_start(mc, "twin");
  ASSERT_NE(nullptr, tw);
  w4test::twin_guard tg(tw);

  traffic t;
  traffic_guard trg(&t);
  t.tw = tw;
  t.topic = "orders";
  t.rate = 40;
  t.duration_ms = 3500;
  reader r;
  r.rk = group_consumer(mc, "twin-reader", "twin-check");
  ASSERT_NE(nullptr, r.rk);
  assign_all(r.rk, "orders", 2);
  traffic_start(&t);
  traffic_join(&t);
  int64_t produced = w4test::twin_delivered(tw, "orders");
  EXPECT_EQ(traffic_sent(&t), produced);
  EXPECT_EQ(produced, reader_until(&r, produced, 30000));
  reader_close(&r);
  w4test::twin_stop(tw);

  std::vector<wire_msg> records = monitoring_records(mc);
  auto consumer = record_windows(records, 0, "orders");
  auto twin = record_windows(records, 1, "orders");
  EXPECT_GE(twin.size(), 2u * 3); /* both partitions, over many windows */
  EXPECT_EQ(twin, consumer);
  EXPECT_EQ(twin_truth(tw, "orders"), twin);
}

/* Today's counters of the exporter count the twin's messages per
 * partition, under its cluster's id, with no record missing or bad. */
TEST(Twin, ExporterCountsItsMessagesPerPartition) {
  w4test::mock_cluster *mc = cluster_with("orders", 3);
  ASSERT_NE(nullptr, mc);
  cluster_guard cg(mc);
  child exporter;
  child_guard eg(&exporter);
  int port = audit_exporter(&exporter, mc->bootstraps);
  ASSERT_GT(port, 0);

  twin_producer *tw = w4test::twin_start(mc, "twin");
  ASSERT_NE(nullptr, tw);
  w4test::twin_guard tg(tw);
  const int per_partition[3] = {31, 17, 5};
  for (int32_t p = 0; p < 3; p++)
    for (int i = 0; i < per_partition[p]; i++) {
      ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
                w4test::twin_produce(tw, "orders", p, "", "v"));
      sleep_ms(20);
    }
  w4test::twin_stop(tw);

  auto counted = [&](const samples &ss, int32_t p) {
    return metric(ss, "messages_total",
                  {{"client_type", "producer"},
                   {"client_id", "twin"},
                   {"cluster_id", tw->cluster_id},
                   {"topic", "orders"},
                   {"partition", std::to_string(p)}});
  };
  samples ss = metrics_wait(port, 30000, [&](const samples &s) {
    for (int32_t p = 0; p < 3; p++)
      if (counted(s, p) != per_partition[p])
        return false;
    return true;
  });
  for (int32_t p = 0; p < 3; p++) {
    EXPECT_EQ(per_partition[p], w4test::twin_delivered(tw, "orders", p));
    EXPECT_EQ(per_partition[p], counted(ss, p)) << exporter_err(exporter);
  }
  EXPECT_EQ(0, metric(ss, "missing_records_total"));
  EXPECT_EQ(0, metric(ss, "bad_records_total"));
  EXPECT_EQ(1, metric(ss, "sessions_total", {{"client_id", "twin"}}));
}

/* The eight everyday situations. In each, the twin produces steadily over
 * many one-second windows, consumers with the plug-in (one-second windows
 * too) consume as the situation has it, and the exporter's verdict is read
 * from /metrics once its counters reach what the test knows it produced,
 * and again once the audit has judged nothing new for a settle period. */

/* Runs until the traffic ends: the reader (while it has a consumer)
 * consumes up to want() messages in all, and every 500 ms every() runs
 * (scrapes, a kill, a shutdown). */
void drive(traffic *t, reader *r, const std::function<int64_t()> &want,
           const std::function<void()> &every = nullptr) {
  int64_t next = mono_ms();
  while (!t->done.load()) {
    if (r->rk && r->total < want())
      reader_poll(r, 20);
    else
      sleep_ms(20);
    if (every && mono_ms() >= next) {
      every();
      next += 500;
    }
  }
}

/* Waits for the traffic's end and the delivery of its messages, then
 * consumes the rest of them; the number produced. */
int64_t consume_rest(traffic *t, reader *r) {
  traffic_join(t);
  int64_t produced = w4test::twin_delivered(t->tw, t->topic);
  EXPECT_EQ(traffic_sent(t), produced);
  EXPECT_EQ(produced, reader_until(r, produced, 30000));
  return produced;
}

/* Waits until the group's audit has counted messages produced messages
 * (45 s at most), then until it judges nothing new for a settle period and
 * a bit; the last scrape. */
samples await_verdict(int port, const labels &group, double messages) {
  metrics_wait(port, 45000, [&](const samples &ss) {
    return metric(ss, "audit_messages_total", group) >= messages;
  });
  return metrics_quiet(port, SETTLE_MS + 2000, 30000);
}

/* What every situation expects besides its own verdict: the records were
 * all read and good, and no window was dropped. */
void expect_sound_records(const samples &ss, const child &exporter) {
  EXPECT_FALSE(ss.empty()) << exporter_err(exporter);
  EXPECT_EQ(0, metric(ss, "missing_records_total")) << exporter_err(exporter);
  EXPECT_EQ(0, metric(ss, "bad_records_total")) << exporter_err(exporter);
  EXPECT_EQ(0, metric(ss, "audit_dropped_windows_total"))
      << exporter_err(exporter);
}

/* The whole verdict of a group that lost and repeated nothing: every
 * produced message judged, none missing or duplicated, nothing pending and
 * no lag once all is consumed. */
void expect_clean(const samples &ss, const labels &group, int64_t produced,
                  const child &exporter) {
  verdict v = verdict_of(ss, group);
  std::string why = verdict_str(v) + "\n" + exporter_err(exporter);
  EXPECT_EQ(produced, v.messages) << why;
  EXPECT_EQ(0, v.missing) << why;
  EXPECT_EQ(0, v.duplicate) << why;
  EXPECT_EQ(0, v.unconsumed) << why;
  EXPECT_EQ(0, v.pending) << why;
  EXPECT_LT(v.lag, 2.0) << why;
  EXPECT_GT(series_count(ss, "audit_messages_total", group), 0) << why;
}

/* One situation's cast: the cluster, the exporter, the twin, its traffic
 * and one reader. */
struct situation {
  w4test::mock_cluster *mc = nullptr;
  child exporter;
  int port = 0;
  twin_producer *tw = nullptr;
  traffic t;
  reader r;
};

/* Sets up the cluster with topic, the exporter (with extra options), the
 * twin and its traffic (not started); false when something failed. */
bool situation_setup(situation *s, const std::string &topic, int partitions,
                     int rate, int64_t duration_ms,
                     const std::vector<std::string> &exporter_extra = {}) {
  s->mc = cluster_with(topic, partitions);
  if (!s->mc)
    return false;
  s->port = audit_exporter(&s->exporter, s->mc->bootstraps, exporter_extra);
  s->tw = w4test::twin_start(s->mc, "twin");
  s->t.tw = s->tw;
  s->t.topic = topic;
  s->t.partitions = partitions;
  s->t.rate = rate;
  s->t.duration_ms = duration_ms;
  return s->port > 0 && s->tw;
}

/* Tears a situation down in order, whatever state a failure left it in. */
struct situation_guard {
  situation *s;
  explicit situation_guard(situation *st) : s(st) {}
  ~situation_guard() {
    if (s->t.thread.joinable())
      s->t.thread.join();
    reader_close(&s->r);
    if (s->tw)
      w4test::twin_destroy(s->tw);
    if (s->exporter.pid > 0)
      w4test::stop_child(&s->exporter);
    w4test::remove_child_files(s->exporter);
    w4test::mock_cluster_stop(s->mc);
  }
};

/* The monitoring topic's story of a group, for failures: per partition and
 * window, what the producers' records and the group's records counted,
 * with the windows where they differ marked. */
std::string windows_told(const w4test::mock_cluster *mc,
                         const std::string &cluster_id,
                         const std::string &topic, const std::string &group) {
  std::map<std::pair<int64_t, int64_t>, std::pair<int64_t, int64_t>> w;
  for (const wire_msg &m : monitoring_records(mc)) {
    if (m.str(w4test::F_TOPIC) != topic || m.i64(w4test::F_RECORD_KIND) != 0 ||
        m.str(w4test::F_CLUSTER_ID) != cluster_id)
      continue;
    bool producer = m.i64(w4test::F_CLIENT_TYPE) == 1;
    if (!producer && m.str(w4test::F_GROUP_ID) != group)
      continue;
    auto &c = w[{m.i64(w4test::F_PARTITION), m.i64(w4test::F_WINDOW)}];
    (producer ? c.first : c.second) += m.i64(w4test::F_COUNT);
  }
  std::string out = "partition window produced consumed (group " + group +
                    "), as the records tell:\n";
  for (const auto &kv : w) {
    char buf[128];
    snprintf(buf, sizeof(buf), "  %lld %lld %lld %lld%s\n",
             static_cast<long long>(kv.first.first),
             static_cast<long long>(kv.first.second),
             static_cast<long long>(kv.second.first),
             static_cast<long long>(kv.second.second),
             kv.second.first != kv.second.second ? "  <-" : "");
    out += buf;
  }
  return out;
}

/* After a failure, adds what the monitoring topic told of the group, for
 * the report. */
void tell_windows_on_failure(const situation &s, const labels &group) {
  if (::testing::Test::HasFailure())
    ADD_FAILURE() << windows_told(s.mc, group.at("cluster_id"),
                                  group.at("topic"), group.at("group_id"));
}

/* The end of a situation whose group lost and repeated nothing: the twin
 * stops, the group's verdict is awaited and must be clean, the records
 * sound. */
void expect_clean_end(situation &s, const labels &group, int64_t produced) {
  w4test::twin_stop(s.tw);
  samples ss = await_verdict(s.port, group, static_cast<double>(produced));
  expect_clean(ss, group, produced, s.exporter);
  expect_sound_records(ss, s.exporter);
  tell_windows_on_failure(s, group);
}

/* The lag that the audit should show for a reader, seconds: the newest
 * produced window's start minus the newest consumed window's start, the
 * largest over the partitions it consumes. */
double real_lag(traffic *t, const reader &r) {
  int64_t newest = traffic_newest(t);
  int64_t produced_window = newest - newest % 1000;
  int64_t lag = 0;
  for (const auto &kv : r.last_ts)
    lag = std::max(lag, produced_window - (kv.second - kv.second % 1000));
  return static_cast<double>(lag) / 1000;
}

/* A group that reads everything: it keeps up for 2 s, falls 12 s behind
 * its producers and stays there, then catches up while they go on. Nothing
 * missing, nothing duplicated, every message judged. */
TEST(DeliveryAudit, LaggingGroupCatchesUp) {
  situation s;
  situation_guard sg(&s);
  ASSERT_TRUE(situation_setup(&s, "orders", 2, 30, 22000));
  labels group = group_labels(s.tw->cluster_id, "orders", "laggard");
  s.r.rk = group_consumer(s.mc, "laggard-1", "laggard");
  ASSERT_NE(nullptr, s.r.rk);
  assign_all(s.r.rk, "orders", 2);

  traffic_start(&s.t);
  drive(&s.t, &s.r, [&] {
    int64_t at = traffic_elapsed(&s.t);
    if (at < 2000 || at >= 19000)
      return traffic_sent(&s.t);
    return traffic_sent_until(&s.t, wall_ms() - 12000);
  });
  int64_t produced = consume_rest(&s.t, &s.r);
  reader_close(&s.r);
  expect_clean_end(s, group, produced);
}

/* A new group that the audit has not seen before starts reading from the
 * beginning 12 s behind its producers, stays that far behind, then catches
 * up: it too is judged from its first window on, clean. */
TEST(DeliveryAudit, NewGroupTwelveSecondsBehindCatchesUp) {
  situation s;
  situation_guard sg(&s);
  ASSERT_TRUE(situation_setup(&s, "orders", 2, 30, 20000));
  labels group = group_labels(s.tw->cluster_id, "orders", "newcomer");

  traffic_start(&s.t);
  drive(
      &s.t, &s.r,
      [&] {
        return traffic_elapsed(&s.t) < 16000
                   ? traffic_sent_until(&s.t, wall_ms() - 12000)
                   : traffic_sent(&s.t);
      },
      [&] {
        if (s.r.rk || traffic_elapsed(&s.t) < 12000)
          return;
        s.r.rk = group_consumer(s.mc, "newcomer-1", "newcomer");
        ASSERT_NE(nullptr, s.r.rk);
        assign_all(s.r.rk, "orders", 2);
      });
  ASSERT_NE(nullptr, s.r.rk);
  int64_t produced = consume_rest(&s.t, &s.r);
  reader_close(&s.r);
  expect_clean_end(s, group, produced);
}

/* The lag gauge of a group 6 s behind shows about 6 s (within two windows
 * of its real lag) while it lags, and less than 2 s once it caught up. */
TEST(DeliveryAudit, LagGaugeFollowsALaggingGroup) {
  situation s;
  situation_guard sg(&s);
  ASSERT_TRUE(situation_setup(&s, "orders", 2, 30, 16000));
  labels group = group_labels(s.tw->cluster_id, "orders", "slow");
  s.r.rk = group_consumer(s.mc, "slow-1", "slow");
  ASSERT_NE(nullptr, s.r.rk);
  assign_all(s.r.rk, "orders", 2);

  int lagging_samples = 0;
  std::string seen;
  traffic_start(&s.t);
  drive(
      &s.t, &s.r,
      [&] {
        return traffic_elapsed(&s.t) < 12000
                   ? traffic_sent_until(&s.t, wall_ms() - 6000)
                   : traffic_sent(&s.t);
      },
      [&] {
        int64_t at = traffic_elapsed(&s.t);
        if (at < 9000 || at > 11500)
          return;
        double before = real_lag(&s.t, s.r);
        samples ss = scrape(s.port);
        double after = real_lag(&s.t, s.r);
        if (!series_count(ss, "audit_lag_seconds", group))
          return;
        double gauge = metric(ss, "audit_lag_seconds", group);
        char buf[96];
        snprintf(buf, sizeof(buf), " [gauge %.3f real %.3f..%.3f]", gauge,
                 before, after);
        seen += buf;
        EXPECT_GE(gauge, std::min(before, after) - 2.0) << buf;
        EXPECT_LE(gauge, std::max(before, after) + 2.0) << buf;
        EXPECT_GE(gauge, 3.0) << buf; /* it does lag */
        lagging_samples++;
      });
  EXPECT_GE(lagging_samples, 3) << "lag gauges seen:" << seen << "\n"
                                << exporter_err(s.exporter);
  int64_t produced = consume_rest(&s.t, &s.r);

  /* Caught up, while the consumer still lives. */
  samples ss = metrics_wait(s.port, 10000, [&](const samples &x) {
    return series_count(x, "audit_lag_seconds", group) > 0 &&
           metric(x, "audit_lag_seconds", group) < 2.0;
  });
  EXPECT_LT(metric(ss, "audit_lag_seconds", group), 2.0)
      << verdict_str(verdict_of(ss, group)) << "\n"
      << exporter_err(s.exporter);
  reader_close(&s.r);
  w4test::twin_stop(s.tw);
  ss = await_verdict(s.port, group, produced);
  expect_clean(ss, group, produced, s.exporter);
  tell_windows_on_failure(s, group);
}

/* Audit counters that Prometheus would see go down between two scrapes;
 * "" when none did. A series that is absent is no reset. */
std::string counter_resets(const samples &before, const samples &after) {
  std::string out;
  for (const sample &b : before) {
    if (b.name.compare(0, 16, "w4metrics_audit_") != 0 || b.name.size() < 6 ||
        b.name.substr(b.name.size() - 6) != "_total")
      continue;
    for (const sample &a : after)
      if (a.name == b.name && a.labels == b.labels && a.value < b.value)
        out += a.name + " " + std::to_string(b.value) + " -> " +
               std::to_string(a.value) + "\n";
  }
  return out;
}

/* The exporter killed with SIGKILL mid-traffic and started again with the
 * same command line: its audit carries on from its saved state, every
 * message judged once, no counter going down. */
TEST(DeliveryAudit, ExporterKilledAndRestartedAuditsEveryMessageOnce) {
  situation s;
  situation_guard sg(&s);
  ASSERT_TRUE(situation_setup(&s, "orders", 2, 30, 16000));
  labels group = group_labels(s.tw->cluster_id, "orders", "steady");
  s.r.rk = group_consumer(s.mc, "steady-1", "steady");
  ASSERT_NE(nullptr, s.r.rk);
  assign_all(s.r.rk, "orders", 2);

  samples before_kill;
  std::string first_err;
  bool restarted = false;
  traffic_start(&s.t);
  drive(
      &s.t, &s.r, [&] { return traffic_sent(&s.t); },
      [&] {
        if (restarted) {
          samples now = scrape(s.port);
          std::string resets = counter_resets(before_kill, now);
          EXPECT_EQ("", resets) << exporter_err(s.exporter);
          return;
        }
        samples now = scrape(s.port);
        if (!now.empty())
          before_kill = now;
        if (traffic_elapsed(&s.t) < 9000)
          return;
        kill(s.exporter.pid, SIGKILL);
        w4test::wait_child(&s.exporter, 5000);
        first_err = read_file(s.exporter.err_path);
        w4test::remove_child_files(s.exporter);
        s.port = audit_exporter(&s.exporter, s.mc->bootstraps);
        restarted = true;
      });
  ASSERT_TRUE(restarted);
  ASSERT_GT(s.port, 0);
  EXPECT_GT(metric(before_kill, "audit_windows_total", group), 0)
      << "nothing judged before the kill: the restart proves little\n"
      << first_err;
  int64_t produced = consume_rest(&s.t, &s.r);
  reader_close(&s.r);
  w4test::twin_stop(s.tw);

  samples ss = await_verdict(s.port, group, produced);
  EXPECT_EQ("", counter_resets(before_kill, ss));
  expect_clean(ss, group, produced, s.exporter);
  expect_sound_records(ss, s.exporter);
  tell_windows_on_failure(s, group);
  if (HasFailure())
    ADD_FAILURE() << "the first exporter's stderr:\n" << first_err;
}

/* Two clusters with a topic of the same name report to one monitoring
 * topic; the group lives on one of them. Its cluster's stream is judged
 * clean, and nothing claims the other cluster's messages missing. */
TEST(DeliveryAudit, TwoClustersSharingATopicNameAreTwoStreams) {
  situation s;
  situation_guard sg(&s);
  ASSERT_TRUE(situation_setup(&s, "orders", 2, 25, 12000));
  w4test::mock_cluster *other = cluster_with("orders", 2);
  ASSERT_NE(nullptr, other);
  cluster_guard og(other);
  twin_producer *tw2 =
      w4test::twin_start(other, "twin-other", 1000, s.mc->bootstraps);
  ASSERT_NE(nullptr, tw2);
  w4test::twin_guard tg2(tw2);
  ASSERT_NE(s.tw->cluster_id, tw2->cluster_id);
  traffic t2;
  traffic_guard trg2(&t2);
  t2.tw = tw2;
  t2.topic = "orders";
  t2.rate = 25;
  t2.duration_ms = 12000;

  labels group = group_labels(s.tw->cluster_id, "orders", "home");
  s.r.rk = group_consumer(s.mc, "home-1", "home");
  ASSERT_NE(nullptr, s.r.rk);
  assign_all(s.r.rk, "orders", 2);
  traffic_start(&s.t);
  traffic_start(&t2);
  drive(&s.t, &s.r, [&] { return traffic_sent(&s.t); });
  traffic_join(&t2);
  int64_t produced = consume_rest(&s.t, &s.r);
  reader_close(&s.r);
  w4test::twin_stop(s.tw);
  w4test::twin_stop(tw2);
  EXPECT_GT(w4test::twin_delivered(tw2, "orders"), 0);

  samples ss = await_verdict(s.port, group, produced);
  expect_clean(ss, group, produced, s.exporter);
  expect_sound_records(ss, s.exporter);
  tell_windows_on_failure(s, group);
  labels elsewhere = {{"cluster_id", tw2->cluster_id}};
  verdict v = verdict_of(ss, elsewhere);
  std::string why = verdict_str(v) + "\n" + exporter_err(s.exporter);
  EXPECT_EQ(0, v.missing) << why;
  EXPECT_EQ(0, v.messages) << why; /* the group is not audited there */
  EXPECT_EQ(0, v.pending) << why;
  EXPECT_EQ(0, metric(ss, "audit_missing_messages_total")) << why;
  EXPECT_EQ(0, metric(ss, "audit_duplicate_messages_total")) << why;
  /* Both clusters' producers are counted, each under its own id. */
  EXPECT_EQ(
      w4test::twin_delivered(tw2, "orders"),
      metric(ss, "messages_total",
             {{"client_type", "producer"}, {"cluster_id", tw2->cluster_id}}));
}

/* A group that reads partition 0 of 3 by assignment is judged on that
 * partition alone: clean, and nothing pending on the others. */
TEST(DeliveryAudit, GroupAssignedOnePartitionOfThree) {
  situation s;
  situation_guard sg(&s);
  ASSERT_TRUE(situation_setup(&s, "orders", 3, 30, 12000));
  labels group = group_labels(s.tw->cluster_id, "orders", "first-only");
  s.r.rk = group_consumer(s.mc, "first-only-1", "first-only");
  ASSERT_NE(nullptr, s.r.rk);
  rd_kafka_poll_set_consumer(s.r.rk);
  rd_kafka_topic_partition_list_t *parts = rd_kafka_topic_partition_list_new(1);
  rd_kafka_topic_partition_list_add(parts, "orders", 0)->offset =
      RD_KAFKA_OFFSET_BEGINNING;
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_assign(s.r.rk, parts));
  rd_kafka_topic_partition_list_destroy(parts);

  traffic_start(&s.t);
  drive(&s.t, &s.r, [&] { return INT64_MAX; });
  traffic_join(&s.t);
  int64_t on_first = w4test::twin_delivered(s.tw, "orders", 0);
  EXPECT_GT(w4test::twin_delivered(s.tw, "orders"), 2 * on_first);
  EXPECT_EQ(on_first, reader_until(&s.r, on_first, 30000));
  EXPECT_EQ(1u, s.r.consumed.size());
  reader_close(&s.r);
  expect_clean_end(s, group, on_first);
}

/* A new group that subscribes mid-traffic and starts at the latest offset
 * begins in the middle of a window: that first window is not judged, every
 * later one is, and nothing is missing. */
TEST(DeliveryAudit, NewGroupStartingAtTheLatestOffset) {
  situation s;
  situation_guard sg(&s);
  ASSERT_TRUE(situation_setup(&s, "orders", 2, 30, 16000));
  labels group = group_labels(s.tw->cluster_id, "orders", "latecomer");

  traffic_start(&s.t);
  drive(
      &s.t, &s.r, [&] { return INT64_MAX; },
      [&] {
        if (s.r.rk || traffic_elapsed(&s.t) < 4000)
          return;
        s.r.rk = group_consumer(s.mc, "latecomer-1", "latecomer",
                                {{"auto.offset.reset", "latest"}});
        ASSERT_NE(nullptr, s.r.rk);
        ASSERT_TRUE(w4test::subscribe(s.r.rk, "orders"));
      });
  traffic_join(&s.t);
  ASSERT_NE(nullptr, s.r.rk);
  /* Whatever the group's first fetch skipped: it reads to the end. */
  std::map<int32_t, int64_t> end;
  for (int32_t p = 0; p < 2; p++) {
    int64_t lo = 0, hi = 0;
    ASSERT_EQ(
        RD_KAFKA_RESP_ERR_NO_ERROR,
        rd_kafka_query_watermark_offsets(s.r.rk, "orders", p, &lo, &hi, 5000));
    end[p] = hi;
  }
  for (int64_t deadline = mono_ms() + 30000;
       mono_ms() < deadline &&
       (s.r.last_offset[0] + 1 < end[0] || s.r.last_offset[1] + 1 < end[1]);)
    reader_poll(&s.r, 100);
  ASSERT_EQ(2u, s.r.first_ts.size()) << "the group got no messages";
  reader_close(&s.r);
  w4test::twin_stop(s.tw);

  /* Truth: per partition, the windows after the one the group started in;
   * that one too if the group happened to start on its boundary. */
  int64_t after = 0, first = 0, consumed = 0;
  for (const auto &kv : w4test::twin_windows(s.tw, "orders")) {
    int32_t p = kv.first.first;
    int64_t start = s.r.first_ts[p] - s.r.first_ts[p] % 1000;
    if (kv.first.second > start)
      after += kv.second.count;
    else if (kv.first.second == start)
      first = kv.second.count;
  }
  for (const auto &kv : s.r.consumed)
    consumed += kv.second;
  EXPECT_LT(consumed, w4test::twin_delivered(s.tw, "orders"));
  samples ss = await_verdict(s.port, group, after);
  verdict v = verdict_of(ss, group);
  std::string why = verdict_str(v) + "\n" + exporter_err(s.exporter);
  EXPECT_GE(v.messages, after) << why;
  EXPECT_LE(v.messages, after + first) << why;
  EXPECT_EQ(0, v.missing) << why;
  EXPECT_EQ(0, v.duplicate) << why;
  EXPECT_EQ(0, v.pending) << why;
  expect_sound_records(ss, s.exporter);
  tell_windows_on_failure(s, group);
}

/* A group shut down for good while traffic goes on: what it did not read
 * is pending and its lag grows while it is gone; once it has read nothing
 * for the horizon, the pending messages count as unconsumed, never as
 * missing. */
TEST(DeliveryAudit, GroupShutDownForGoodIsLagThenUnconsumedNotLoss) {
  situation s;
  situation_guard sg(&s);
  ASSERT_TRUE(
      situation_setup(&s, "orders", 2, 30, 20000, {"--horizon", "8000"}));
  labels group = group_labels(s.tw->cluster_id, "orders", "quitter");
  s.r.rk = group_consumer(s.mc, "quitter-1", "quitter");
  ASSERT_NE(nullptr, s.r.rk);
  assign_all(s.r.rk, "orders", 2);

  double first_lag = -1, grown_lag = -1, pending = 0;
  traffic_start(&s.t);
  drive(
      &s.t, &s.r, [&] { return traffic_sent(&s.t); },
      [&] {
        if (s.r.rk) {
          if (traffic_elapsed(&s.t) >= 5000)
            reader_close(&s.r);
          return;
        }
        if (grown_lag >= 0)
          return;
        samples ss = scrape(s.port);
        double lag = metric(ss, "audit_lag_seconds", group);
        if (first_lag < 0 && lag >= 1) {
          first_lag = lag;
          pending = metric(ss, "audit_pending_messages", group);
        } else if (first_lag >= 0 && lag >= first_lag + 2) {
          grown_lag = lag;
        }
      });
  std::string why = exporter_err(s.exporter);
  EXPECT_GE(first_lag, 1) << why;
  EXPECT_GT(pending, 0) << why;
  EXPECT_GE(grown_lag, first_lag + 2) << why;
  traffic_join(&s.t);
  w4test::twin_stop(s.tw);

  samples ss = metrics_wait(s.port, 30000, [&](const samples &x) {
    return metric(x, "audit_unconsumed_messages_total", group) > 0;
  });
  ss = metrics_quiet(s.port, SETTLE_MS + 2000, 30000);
  verdict v = verdict_of(ss, group);
  why = verdict_str(v) + "\n" + exporter_err(s.exporter);
  EXPECT_GT(v.unconsumed, 0) << why;
  EXPECT_EQ(0, v.missing) << why;
  EXPECT_EQ(0, v.duplicate) << why;
  EXPECT_EQ(0, v.pending) << why;
  EXPECT_GT(v.messages, 0) << why;
  EXPECT_LE(v.messages, s.r.total) << why;
  EXPECT_LE(v.unconsumed, w4test::twin_delivered(s.tw, "orders") - v.messages)
      << why;
  expect_sound_records(ss, s.exporter);
  tell_windows_on_failure(s, group);
}

/* Seeks the reader's consumer on a partition to offset; the consumer's
 * thread, from on_message. */
void seek_to(reader *r, int32_t partition, int64_t offset) {
  rd_kafka_topic_partition_list_t *parts = rd_kafka_topic_partition_list_new(1);
  rd_kafka_topic_partition_list_add(parts, "orders", partition)->offset =
      offset;
  rd_kafka_error_t *err = rd_kafka_seek_partitions(r->rk, parts, 5000);
  EXPECT_EQ(nullptr, err) << (err ? rd_kafka_error_string(err) : "");
  if (err)
    rd_kafka_error_destroy(err);
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, parts->elems[0].err);
  rd_kafka_topic_partition_list_destroy(parts);
}

/* A group that starts 5 s into the traffic, reading from the beginning, and
 * on partition 0 seeks from after offset at to offset to; the number of
 * messages produced, once it has read to the end. */
int64_t read_with_seek(situation *s, int64_t at, int64_t to) {
  bool sought = false;
  s->r.on_message = [&](reader *r, const rd_kafka_message_t *m) {
    if (sought || m->partition != 0 || m->offset != at)
      return;
    /* What the seek jumps to must exist already. */
    while (traffic_sent(&s->t) / 2 <= std::max(at, to) + 1 && !s->t.done)
      sleep_ms(20);
    seek_to(r, 0, to);
    sought = true;
  };
  traffic_start(&s->t);
  drive(&s->t, &s->r,
        [&] { return traffic_elapsed(&s->t) < 5000 ? 0 : INT64_MAX; });
  traffic_join(&s->t);
  EXPECT_TRUE(sought);
  int64_t produced = w4test::twin_delivered(s->tw, "orders");
  int64_t p0 = w4test::twin_delivered(s->tw, "orders", 0);
  for (int64_t deadline = mono_ms() + 30000;
       mono_ms() < deadline &&
       (s->r.last_offset[0] + 1 < p0 || s->r.consumed[1] < produced - p0);)
    reader_poll(&s->r, 100);
  EXPECT_EQ(produced - p0, s->r.consumed[1]);
  return produced;
}

/* A group that jumps over 39 messages of one partition mid-traffic: those
 * 39 are missing, nothing else is, nothing is duplicated. */
TEST(DeliveryAudit, GroupSkippingThirtyNineMessages) {
  situation s;
  situation_guard sg(&s);
  ASSERT_TRUE(situation_setup(&s, "orders", 2, 50, 14000));
  labels group = group_labels(s.tw->cluster_id, "orders", "skipper");
  s.r.rk = group_consumer(s.mc, "skipper-1", "skipper");
  ASSERT_NE(nullptr, s.r.rk);
  assign_all(s.r.rk, "orders", 2);
  int64_t produced = read_with_seek(&s, 59, 99);
  int64_t p0 = w4test::twin_delivered(s.tw, "orders", 0);
  EXPECT_EQ(p0 - 39, s.r.consumed[0]);
  for (int64_t o = 60; o < 99; o++)
    EXPECT_EQ(0u, s.r.offsets.count({0, o})) << o;
  reader_close(&s.r);
  w4test::twin_stop(s.tw);

  samples ss = await_verdict(s.port, group, produced);
  verdict v = verdict_of(ss, group);
  std::string why = verdict_str(v) + "\n" + exporter_err(s.exporter);
  EXPECT_EQ(produced, v.messages) << why;
  EXPECT_EQ(39, v.missing) << why;
  EXPECT_EQ(0, v.duplicate) << why;
  EXPECT_EQ(0, v.pending) << why;
  expect_sound_records(ss, s.exporter);
  tell_windows_on_failure(s, group);
}

/* A group that reads 60 messages of one partition twice (a seek back
 * mid-traffic): 60 duplicates, nothing missing. */
TEST(DeliveryAudit, GroupReadingSixtyMessagesTwice) {
  situation s;
  situation_guard sg(&s);
  ASSERT_TRUE(situation_setup(&s, "orders", 2, 50, 14000));
  labels group = group_labels(s.tw->cluster_id, "orders", "replayer");
  s.r.rk = group_consumer(s.mc, "replayer-1", "replayer");
  ASSERT_NE(nullptr, s.r.rk);
  assign_all(s.r.rk, "orders", 2);
  int64_t produced = read_with_seek(&s, 119, 60);
  int64_t p0 = w4test::twin_delivered(s.tw, "orders", 0);
  EXPECT_EQ(p0 + 60, s.r.consumed[0]);
  reader_close(&s.r);
  w4test::twin_stop(s.tw);

  samples ss = await_verdict(s.port, group, produced);
  verdict v = verdict_of(ss, group);
  std::string why = verdict_str(v) + "\n" + exporter_err(s.exporter);
  EXPECT_EQ(produced, v.messages) << why;
  EXPECT_EQ(0, v.missing) << why;
  EXPECT_EQ(60, v.duplicate) << why;
  EXPECT_EQ(0, v.pending) << why;
  expect_sound_records(ss, s.exporter);
  tell_windows_on_failure(s, group);
}

} // namespace
