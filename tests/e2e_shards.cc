/* Exporters sharing one group (-g): each joins the group on the monitoring
 * topic and on the shard topic, routes every record to the shard that owns
 * its topic-partition, and audits the shards it owns. Their audit is one:
 * summed over every live exporter and every shard, the counters of a group
 * are what the test produced and consumed, whichever exporter dies, joins
 * or leaves on the way. The producer side is testlib's twin, the consumers
 * are real clients with the plug-in, the cluster is librdkafka's mock. */
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

namespace {

using w4test::child;
using w4test::group_labels;
using w4test::labels;
using w4test::metric;
using w4test::metric_max;
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

const char *const MON_TOPIC = "_quarndale-monitoring";
const std::string P = "quarndale.monitoring.interceptor.";
/* Well longer than a hand-over takes (the session timeout below, the
 * mock's rebalance of some 4 s, the new owner's reading of the state), so
 * that no window nor sequence hole is settled before the records of a dead
 * exporter are routed again, even on a loaded machine. */
const int SETTLE_MS = 20000;
/* Partitions of the data topic: as many streams as shards asked for, so
 * that every exporter of two or three is likely to audit some. */
const int DATA_PARTITIONS = 8;
const int MON_PARTITIONS = 4;

/* The text of an exporter's /metrics; "" when it did not answer. */
std::string metrics_text(int port) {
  return w4test::http_get("http://127.0.0.1:" + std::to_string(port) +
                          "/metrics");
}

/* Audit counters that Prometheus would see go down between two scrapes of
 * one exporter; "" when none did. A series that is absent is no reset. */
std::string counter_resets(const samples &before, const samples &after) {
  std::string out;
  for (const sample &b : before) {
    if (b.name.compare(0, 16, "w4metrics_audit_") != 0 || b.name.size() < 22 ||
        b.name.substr(b.name.size() - 6) != "_total")
      continue;
    for (const sample &a : after)
      if (a.name == b.name && a.labels == b.labels && a.value < b.value) {
        out += a.name + "{";
        for (const auto &kv : a.labels)
          out += kv.first + "=\"" + kv.second + "\",";
        out += "} " + std::to_string(b.value) + " -> " +
               std::to_string(a.value) + "\n";
      }
  }
  return out;
}

/* Partitions of topic as the cluster's metadata tells them, 0 while it has
 * no such topic. rk is a consumer: asking for every topic creates none. */
int partition_count(rd_kafka_t *rk, const std::string &topic) {
  const rd_kafka_metadata_t *md = nullptr;
  if (rd_kafka_metadata(rk, 1, nullptr, &md, 5000) !=
      RD_KAFKA_RESP_ERR_NO_ERROR)
    return 0;
  int n = 0;
  for (int i = 0; i < md->topic_cnt; i++)
    if (topic == md->topics[i].topic && !md->topics[i].err)
      n = md->topics[i].partition_cnt;
  rd_kafka_metadata_destroy(md);
  return n;
}

/* One exporter of the group. */
struct member {
  std::string name; /* A, B, C: for failure messages */
  child proc;
  int port = 0;
  samples last;       /* its latest scrape that answered */
  std::string resets; /* audit counters it showed going down */
};

/* Scrapes a live member, noting any audit counter that went down since its
 * previous scrape; the samples, empty when it did not answer. */
samples scrape(member *m) {
  samples ss = parse_exposition(metrics_text(m->port));
  if (ss.empty())
    return ss;
  m->resets += counter_resets(m->last, ss);
  m->last = ss;
  return ss;
}

/* The samples of every live member in one list: sums over it are the
 * group's. */
samples scrape_all(const std::vector<member *> &live) {
  samples out;
  for (member *m : live) {
    samples ss = scrape(m);
    out.insert(out.end(), ss.begin(), ss.end());
  }
  return out;
}

/* The cluster, the twin and the exporters of one test; torn down in order
 * whatever state a failure left them in, with what helps to understand the
 * failure. */
struct fleet {
  w4test::mock_cluster *mc = nullptr;
  rd_kafka_t *meta = nullptr; /* asks the cluster's metadata */
  twin_producer *tw = nullptr;
  std::string group;
  std::vector<std::string> common; /* the exporters' options */
  std::vector<member *> members;   /* every one ever started */
  std::string shard_topic;

  std::vector<member *> live() const {
    std::vector<member *> out;
    for (member *m : members)
      if (m->proc.pid > 0)
        out.push_back(m);
    return out;
  }
};

/* The cluster with the data and monitoring topics (not the shard topic:
 * the exporters' business), and the twin; false when something failed. */
bool fleet_setup(fleet *f, const std::string &group,
                 const std::vector<std::string> &extra = {}) {
  f->mc = w4test::mock_cluster_start();
  if (!f->mc)
    return false;
  rd_kafka_mock_topic_create(f->mc->mcluster, "orders", DATA_PARTITIONS, 1);
  rd_kafka_mock_topic_create(f->mc->mcluster, MON_TOPIC, MON_PARTITIONS, 1);
  f->meta = w4test::client_new(
      RD_KAFKA_CONSUMER,
      w4test::make_conf(
          {{"bootstrap.servers", f->mc->bootstraps}, {"log_level", "3"}}));
  f->group = group;
  f->shard_topic = std::string(MON_TOPIC) + "-shards-" + group;
  f->common = {"-b",
               f->mc->bootstraps,
               "-g",
               group,
               "--from-beginning",
               "--settle",
               std::to_string(SETTLE_MS),
               "--save-interval",
               "500",
               "--shard-partitions",
               "8",
               "-X",
               "session.timeout.ms=3000",
               "-X",
               "heartbeat.interval.ms=500"};
  f->common.insert(f->common.end(), extra.begin(), extra.end());
  for (size_t i = 0; i + 1 < extra.size(); i++)
    if (extra[i] == "--shard-topic")
      f->shard_topic = extra[i + 1];
  f->tw = w4test::twin_start(f->mc, "twin");
  return f->meta && f->tw;
}

/* Starts one more exporter of the group; nullptr (and a failed test) when
 * it did not start serving. */
member *fleet_start(fleet *f, const std::string &name) {
  member *m = new member;
  m->name = name;
  f->members.push_back(m);
  m->port = w4test::exporter_start(&m->proc, f->common);
  EXPECT_GT(m->port, 0) << "exporter " << name << " did not start:\n"
                        << read_file(m->proc.err_path);
  return m->port > 0 ? m : nullptr;
}

/* Kills a member with SIGKILL and reaps it. */
void fleet_kill(member *m) {
  kill(m->proc.pid, SIGKILL);
  w4test::wait_child(&m->proc, 5000);
}

/* The audit's and the shards' lines of a member's /metrics, and its
 * series with missing records. */
std::string audit_lines(int port) {
  std::istringstream in(metrics_text(port));
  std::string line, out;
  while (std::getline(in, line))
    if (line.compare(0, 16, "w4metrics_audit_") == 0 ||
        line.find("shards_owned") != std::string::npos ||
        line.find("routed_records") != std::string::npos ||
        (line.compare(0, 31, "w4metrics_missing_records_total") == 0 &&
         line.compare(line.size() - 2, 2, " 0") != 0))
      out += "  " + line + "\n";
  return out;
}

struct fleet_guard {
  fleet *f;
  explicit fleet_guard(fleet *fl) : f(fl) {}
  ~fleet_guard() {
    if (::testing::Test::HasFailure()) {
      std::string report;
      for (member *m : f->live())
        report += "exporter " + m->name + "'s audit on /metrics:\n" +
                  audit_lines(m->port);
      for (member *m : f->members) {
        if (!m->resets.empty())
          report +=
              "exporter " + m->name + "'s counters going down:\n" + m->resets;
        report += "exporter " + m->name + "'s stderr:\n" +
                  read_file(m->proc.err_path) + "\n";
      }
      ADD_FAILURE() << report;
    }
    for (member *m : f->members) {
      if (m->proc.pid > 0)
        w4test::stop_child(&m->proc);
      w4test::remove_child_files(m->proc);
      delete m;
    }
    if (f->tw)
      w4test::twin_destroy(f->tw);
    if (f->meta)
      rd_kafka_destroy(f->meta);
    w4test::mock_cluster_stop(f->mc);
  }
};

/* Waits until the members own every shard between them, each some, 30 s at
 * most; the number of shards (the shard topic's partitions), 0 when they did
 * not get there. */
int await_shards_shared(fleet *f, const std::vector<member *> &ms) {
  std::string seen;
  for (int64_t deadline = mono_ms() + 30000; mono_ms() < deadline;
       sleep_ms(300)) {
    int shards = partition_count(f->meta, f->shard_topic);
    int sum = 0;
    bool each = true;
    seen = "shard topic " + f->shard_topic + ": " + std::to_string(shards) +
           " partitions; owned:";
    for (member *m : ms) {
      samples ss = scrape(m);
      int owned = static_cast<int>(metric(ss, "shards_owned"));
      seen += " " + m->name + " " +
              (series_count(ss, "shards_owned") ? std::to_string(owned)
                                                : std::string("none"));
      each = each && owned > 0;
      sum += owned;
    }
    if (shards > 0 && each && sum == shards)
      return shards;
  }
  ADD_FAILURE() << "the shards were not shared out: " << seen;
  return 0;
}

/* Scrapes the live members every 500 ms until done() holds of their
 * samples together, timeout_ms at most; the last samples. */
samples fleet_wait(const fleet &f, int timeout_ms,
                   const std::function<bool(const samples &)> &done) {
  int64_t deadline = mono_ms() + timeout_ms;
  samples ss = scrape_all(f.live());
  while (!done(ss) && mono_ms() < deadline) {
    sleep_ms(500);
    ss = scrape_all(f.live());
  }
  return ss;
}

/* Scrapes the live members every 500 ms until the windows they judged have
 * not changed for quiet_ms, timeout_ms at most; the last samples. Once it
 * returns, what the audit would still add is what the wait was for. */
samples fleet_quiet(const fleet &f, int quiet_ms, int timeout_ms) {
  int64_t deadline = mono_ms() + timeout_ms;
  samples ss = scrape_all(f.live());
  double windows = metric(ss, "audit_windows_total");
  int64_t since = mono_ms();
  while (mono_ms() - since < quiet_ms && mono_ms() < deadline) {
    sleep_ms(500);
    ss = scrape_all(f.live());
    double now = metric(ss, "audit_windows_total");
    if (now != windows) {
      windows = now;
      since = mono_ms();
    }
  }
  return ss;
}

/* Steady traffic from the twin: rate messages a second for duration_ms,
 * round robin over the topic's partitions, each stamped with the wall clock
 * as it is produced; from a thread of its own. */
struct traffic {
  twin_producer *tw = nullptr;
  std::string topic = "orders";
  int partitions = DATA_PARTITIONS;
  int rate = 80;
  int64_t duration_ms = 16000;
  std::thread thread;
  std::atomic<int64_t> sent{0};
  std::atomic<bool> done{false};
  int64_t start_ms = 0; /* monotonic */
};

void traffic_run(traffic *t) {
  int64_t start = t->start_ms;
  for (int64_t k = 0; mono_ms() - start < t->duration_ms; k++) {
    int64_t due = start + k * 1000 / t->rate;
    if (due > mono_ms())
      sleep_ms(static_cast<int>(due - mono_ms()));
    int32_t p = static_cast<int32_t>(k % t->partitions);
    std::string value = "message-" + std::to_string(k);
    rd_kafka_resp_err_t err = RD_KAFKA_RESP_ERR__QUEUE_FULL;
    for (int tries = 0; err == RD_KAFKA_RESP_ERR__QUEUE_FULL && tries < 100;
         tries++)
      if ((err = w4test::twin_produce(t->tw, t->topic, p, "key", value,
                                      wall_ms())))
        sleep_ms(10);
    EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, err) << rd_kafka_err2str(err);
    t->sent++;
  }
  t->done.store(true);
}

void traffic_start(traffic *t) {
  t->start_ms = mono_ms();
  t->thread = std::thread(traffic_run, t);
}

int64_t traffic_elapsed(const traffic *t) { return mono_ms() - t->start_ms; }

/* Waits for the traffic's end and the delivery of its messages; the number
 * delivered. */
int64_t traffic_join(traffic *t) {
  if (t->thread.joinable())
    t->thread.join();
  EXPECT_TRUE(w4test::twin_flush(t->tw, 15000));
  int64_t produced = w4test::twin_delivered(t->tw, t->topic);
  EXPECT_EQ(t->sent.load(), produced);
  return produced;
}

struct traffic_guard {
  traffic *t;
  explicit traffic_guard(traffic *tr) : t(tr) {}
  ~traffic_guard() {
    if (t->thread.joinable())
      t->thread.join();
  }
};

/* Until the traffic ends, runs every() every 500 ms (scrapes, a kill, an
 * exporter joining or leaving). */
void drive(traffic *t, const std::function<void()> &every) {
  int64_t next = mono_ms();
  while (!t->done.load()) {
    if (mono_ms() >= next) {
      every();
      next = std::max(next + 500, mono_ms());
    }
    sleep_ms(20);
  }
}

/* A jump of a reader over the messages of a partition: having consumed
 * offset at, it goes on from offset to. */
struct skip {
  int32_t partition;
  int64_t at, to;
  bool done = false;
};

/* A consumer with the plug-in reading every partition of the data topic
 * from the beginning in a thread of its own, until it has consumed target
 * messages or its deadline passed. What it consumed is read once the thread
 * is joined. */
struct reader {
  rd_kafka_t *rk = nullptr;
  traffic *t = nullptr;
  std::vector<skip> skips;
  std::map<int32_t, int64_t> consumed;
  std::set<std::pair<int32_t, int64_t>> offsets; /* every one consumed */
  int64_t total = 0;
  std::atomic<int64_t> target{INT64_MAX};
  std::atomic<int64_t> deadline{INT64_MAX};
  std::thread thread;
};

/* Seeks the reader's consumer on a partition to offset. */
void seek_to(rd_kafka_t *rk, int32_t partition, int64_t offset) {
  rd_kafka_topic_partition_list_t *parts = rd_kafka_topic_partition_list_new(1);
  rd_kafka_topic_partition_list_add(parts, "orders", partition)->offset =
      offset;
  rd_kafka_error_t *err = rd_kafka_seek_partitions(rk, parts, 5000);
  EXPECT_EQ(nullptr, err) << (err ? rd_kafka_error_string(err) : "");
  if (err)
    rd_kafka_error_destroy(err);
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, parts->elems[0].err);
  rd_kafka_topic_partition_list_destroy(parts);
}

/* Takes the jump due after this message, once what it jumps to exists. */
void reader_skip(reader *r, const rd_kafka_message_t *m) {
  for (skip &s : r->skips) {
    if (s.done || s.partition != m->partition || s.at != m->offset)
      continue;
    int64_t until = mono_ms() + 10000;
    while (w4test::twin_delivered(r->t->tw, "orders", s.partition) <= s.to &&
           !r->t->done.load() && mono_ms() < until)
      sleep_ms(20);
    if (w4test::twin_delivered(r->t->tw, "orders", s.partition) <= s.to) {
      ADD_FAILURE() << "offset " << s.to << " of partition " << s.partition
                    << " was never produced: no jump";
      continue;
    }
    seek_to(r->rk, s.partition, s.to);
    s.done = true;
  }
}

void reader_run(reader *r) {
  while (r->total < r->target.load() && mono_ms() < r->deadline.load()) {
    rd_kafka_message_t *m = rd_kafka_consumer_poll(r->rk, 100);
    if (!m)
      continue;
    if (!m->err) {
      r->consumed[m->partition]++;
      r->offsets.insert({m->partition, m->offset});
      r->total++;
      reader_skip(r, m);
    }
    rd_kafka_message_destroy(m);
  }
}

/* Starts a reader in group, publishing every second (the twin's window). */
bool reader_start(reader *r, fleet *f, traffic *t, const std::string &group) {
  r->t = t;
  r->rk = w4test::plugin_client(f->mc, RD_KAFKA_CONSUMER, group + "-1", group,
                                {{P + "publishms", "1000"}});
  if (!r->rk)
    return false;
  rd_kafka_poll_set_consumer(r->rk);
  rd_kafka_topic_partition_list_t *parts =
      rd_kafka_topic_partition_list_new(DATA_PARTITIONS);
  for (int32_t p = 0; p < DATA_PARTITIONS; p++)
    rd_kafka_topic_partition_list_add(parts, "orders", p)->offset =
        RD_KAFKA_OFFSET_BEGINNING;
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_assign(r->rk, parts));
  rd_kafka_topic_partition_list_destroy(parts);
  r->thread = std::thread(reader_run, r);
  return true;
}

/* Lets the reader run until it has consumed target messages, 30 s at most,
 * then closes its consumer (its plug-in publishes a final pass); what it
 * consumed. */
int64_t reader_finish(reader *r, int64_t target) {
  r->deadline.store(mono_ms() + 30000);
  r->target.store(target);
  if (r->thread.joinable())
    r->thread.join();
  if (r->rk) {
    rd_kafka_consumer_close(r->rk);
    rd_kafka_destroy(r->rk);
    r->rk = nullptr;
  }
  return r->total;
}

/* Messages the reader jumped over. */
int64_t reader_skipped(const reader &r) {
  int64_t n = 0;
  for (const skip &s : r.skips)
    if (s.done)
      n += s.to - s.at - 1;
  return n;
}

struct reader_guard {
  reader *r;
  explicit reader_guard(reader *rd) : r(rd) {}
  ~reader_guard() { reader_finish(r, 0); }
};

/* The whole verdict of a group, over the exporters and shards: every
 * produced message judged, missing as the test made them, none duplicated,
 * nothing pending nor unconsumed and no lag once all is consumed. */
void expect_verdict(const samples &ss, const labels &group, int64_t produced,
                    int64_t missing) {
  verdict v = verdict_of(ss, group);
  std::string why = group.at("group_id") + ": " + verdict_str(v);
  EXPECT_EQ(produced, v.messages) << why;
  EXPECT_EQ(missing, v.missing) << why;
  EXPECT_EQ(0, v.duplicate) << why;
  EXPECT_EQ(0, v.unconsumed) << why;
  EXPECT_EQ(0, v.pending) << why;
  EXPECT_LT(v.lag, 2.0) << why;
}

/* What every end expects besides the verdicts: the records all read and
 * good, no window dropped, each audit series of a group in one of the
 * shards, and the routing's counters there. */
void expect_sound(const samples &ss, int shards) {
  EXPECT_EQ(0, metric(ss, "missing_records_total"));
  EXPECT_EQ(0, metric(ss, "bad_records_total"));
  EXPECT_EQ(0, metric(ss, "audit_dropped_windows_total"));
  EXPECT_GT(metric(ss, "routed_records_total"), 0);
  EXPECT_GT(series_count(ss, "rerouted_records_total"), 0);
  for (const sample &s : ss) {
    if (s.name.compare(0, 16, "w4metrics_audit_") != 0 ||
        !s.labels.count("group_id"))
      continue;
    auto it = s.labels.find("shard");
    ASSERT_NE(s.labels.end(), it) << s.name << " without a shard label";
    char *end = nullptr;
    long shard = strtol(it->second.c_str(), &end, 10);
    EXPECT_TRUE(!it->second.empty() && *end == '\0' && shard >= 0 &&
                shard < shards)
        << s.name << " of shard \"" << it->second << "\", of " << shards;
  }
}

/* Two exporters share the group's audit over a monitoring topic of four
 * partitions; one is killed with SIGKILL mid-traffic. Once its session has
 * expired, the other owns every shard, takes its shards' saved state up and
 * reads on from their saved positions: its counters are the truth of both
 * groups, the one that read everything and the one that jumped over
 * messages of two partitions, once before the kill and once after. */
TEST(Shards, ExporterKilledMidTrafficItsShardsAuditedByTheOther) {
  fleet f;
  fleet_guard fg(&f);
  ASSERT_TRUE(fleet_setup(&f, "w4-fleet"));
  member *a = fleet_start(&f, "A");
  member *b = fleet_start(&f, "B");
  ASSERT_TRUE(a && b);
  int shards = await_shards_shared(&f, {a, b});
  ASSERT_GT(shards, 0);

  labels complete = group_labels(f.tw->cluster_id, "orders", "complete");
  labels skipper = group_labels(f.tw->cluster_id, "orders", "skipper");
  traffic t;
  t.duration_ms = 34000;
  traffic_guard tg(&t);
  t.tw = f.tw;
  reader rc, rs;
  reader_guard rcg(&rc), rsg(&rs);
  /* Ten messages a second on each partition: the first jump about 2 s into
   * the traffic, the second about 10 s in, after the kill. */
  rs.skips = {{1, 20, 41}, {6, 95, 113}};
  ASSERT_TRUE(reader_start(&rc, &f, &t, "complete"));
  ASSERT_TRUE(reader_start(&rs, &f, &t, "skipper"));

  bool killed = false;
  double judged_by_b = 0;
  int64_t killed_at = 0;
  traffic_start(&t);
  drive(&t, [&] {
    scrape(a);
    if (killed)
      return;
    samples sb = scrape(b);
    if (!sb.empty())
      judged_by_b = metric(sb, "audit_windows_total", complete);
    /* A few windows in, once B has judged some of them. */
    int64_t at = traffic_elapsed(&t);
    if (at < 12000 || (judged_by_b == 0 && at < 26000))
      return;
    fleet_kill(b);
    killed = true;
    killed_at = at;
  });
  ASSERT_TRUE(killed);
  EXPECT_GT(judged_by_b, 0)
      << "B judged nothing of the group before it was killed at " << killed_at
      << " ms: its shards' state proves little";
  EXPECT_LT(killed_at, t.duration_ms - 5000);

  int64_t produced = traffic_join(&t);
  int64_t skipped = reader_skipped(rs);
  EXPECT_EQ(37, skipped);
  EXPECT_EQ(produced, reader_finish(&rc, produced));
  EXPECT_EQ(produced - skipped, reader_finish(&rs, produced - skipped));
  for (const skip &s : rs.skips)
    for (int64_t o = s.at + 1; o < s.to; o++)
      EXPECT_EQ(0u, rs.offsets.count({s.partition, o}))
          << "skipper consumed offset " << o << " of " << s.partition;
  w4test::twin_stop(f.tw);

  /* Takeover: the session timeout, the settle and the read of what B left
   * behind. */
  samples ss = fleet_wait(f, 60000, [&](const samples &x) {
    return metric(x, "shards_owned") == shards &&
           metric(x, "audit_messages_total", complete) >= produced &&
           metric(x, "audit_messages_total", skipper) >= produced &&
           metric(x, "audit_missing_messages_total", skipper) >= skipped;
  });
  ss = fleet_quiet(f, SETTLE_MS + 2000, 30000);
  ASSERT_EQ(1u, f.live().size());
  EXPECT_EQ(shards, metric(ss, "shards_owned"));
  expect_verdict(ss, complete, produced, 0);
  expect_verdict(ss, skipper, produced, skipped);
  expect_sound(ss, shards);
  EXPECT_EQ("", a->resets) << "A's audit counters went down";
  EXPECT_EQ("", b->resets) << "B's audit counters went down";
}

/* A third exporter joins the group mid-traffic, takes some shards over and
 * leaves again with SIGTERM while the traffic goes on: its shards go back
 * to the other two with their state, every message judged once. */
TEST(Shards, ExporterJoiningAndLeavingHandsItsShardsOver) {
  fleet f;
  fleet_guard fg(&f);
  ASSERT_TRUE(
      fleet_setup(&f, "w4-handover", {"--shard-topic", "w4-handover-shards"}));
  member *a = fleet_start(&f, "A");
  member *b = fleet_start(&f, "B");
  ASSERT_TRUE(a && b);
  int shards = await_shards_shared(&f, {a, b});
  ASSERT_GT(shards, 0);

  labels complete = group_labels(f.tw->cluster_id, "orders", "complete");
  traffic t;
  traffic_guard tg(&t);
  t.tw = f.tw;
  reader rc;
  reader_guard rcg(&rc);
  ASSERT_TRUE(reader_start(&rc, &f, &t, "complete"));

  enum { BEFORE, JOINING, OWNING, LEFT } phase = BEFORE;
  member *c = nullptr;
  int64_t owning_since = 0;
  double routed_by_c = 0, owned_by_c = 0;
  int c_exit = -2;
  std::string seen;
  traffic_start(&t);
  drive(&t, [&] {
    samples sa = scrape(a), sb = scrape(b);
    if (phase == BEFORE && traffic_elapsed(&t) >= 3000) {
      c = fleet_start(&f, "C");
      phase = c ? JOINING : LEFT;
    } else if (phase == JOINING) {
      samples sc = scrape(c);
      int n = partition_count(f.meta, f.shard_topic);
      double owned = metric(sc, "shards_owned");
      double others = metric(sa, "shards_owned") + metric(sb, "shards_owned");
      seen = "C owns " + std::to_string(owned) + ", A and B " +
             std::to_string(others) + " of " + std::to_string(n);
      if (owned > 0 && owned + others == n) {
        owned_by_c = owned;
        owning_since = mono_ms();
        phase = OWNING;
      }
    } else if (phase == OWNING) {
      /* A few windows with C routing records and auditing its shards. */
      routed_by_c = metric(scrape(c), "routed_records_total");
      if (mono_ms() - owning_since >= 8000 ||
          (mono_ms() - owning_since >= 3000 && routed_by_c > 0)) {
        c_exit = w4test::stop_child(&c->proc);
        phase = LEFT;
      }
    }
  });
  ASSERT_EQ(LEFT, phase) << "C never took shards over: " << seen;
  ASSERT_NE(nullptr, c);
  EXPECT_GT(owned_by_c, 0);
  EXPECT_GT(routed_by_c, 0) << "C routed no record while it owned shards";
  EXPECT_EQ(0, c_exit) << "C's exit status after SIGTERM";

  int64_t produced = traffic_join(&t);
  EXPECT_EQ(produced, reader_finish(&rc, produced));
  w4test::twin_stop(f.tw);

  samples ss = fleet_wait(f, 45000, [&](const samples &x) {
    return metric(x, "shards_owned") == shards &&
           metric(x, "audit_messages_total", complete) >= produced;
  });
  ss = fleet_quiet(f, SETTLE_MS + 2000, 30000);
  ASSERT_EQ(2u, f.live().size());
  EXPECT_EQ(shards, metric(ss, "shards_owned"));
  expect_verdict(ss, complete, produced, 0);
  expect_sound(ss, shards);
  for (member *m : f.members)
    EXPECT_EQ("", m->resets) << m->name << "'s audit counters went down";
}

} // namespace
