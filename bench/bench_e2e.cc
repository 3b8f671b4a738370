/* What the plug-in costs a real client: producer and consumer throughput
 * and CPU time per message against librdkafka's mock cluster running in a
 * process of its own. Three modes alternate: the bare client, the client
 * with a plug-in that registers the same interceptors and does nothing in
 * them (the least any plug-in of this design costs), and the client with
 * w4metrics.
 *
 *   bench_e2e [--messages N] [--runs R] [--partitions P[,P...]]
 *             [--publishms MS] [--run-length L] [--modes M[,M...]]
 *             [--plugin PATH] [--noop PATH] [--mock PATH] [--latency MS]
 *
 * With --latency MS it measures what the message path waits for instead:
 * per round and mode, a producer sends one message to each partition (so
 * that the plug-in holds an entry for each), then one message a
 * millisecond to partition 0 for MS, and the delivery reports' latencies
 * (librdkafka's, produce to report) are taken; then a consumer consumes one
 * message from each partition, is reassigned to partition 0 alone, and the
 * time of every non-blocking poll that hands over a message (on_consume
 * runs inside it) is taken while a bare producer sends one message a
 * millisecond. Medians over rounds of p50, p99, p99.9 and max, and their
 * range. librdkafka's producer sends one request per partition and walks
 * its partitions for each: one message to each of 100,000 partitions does
 * not complete within the flush bound on the mock cluster, so the
 * benchmark is run at 10,000 partitions; bench_publish measures the
 * recording path while passes run over 100,000 entries.
 *
 * For each partition count, each round starts a fresh mock cluster per
 * mode, produces N messages of 100 bytes as fast as the producer takes
 * them, in runs of L (100) messages per partition, round robin over the
 * partitions; then a consumer assigned to every partition from the
 * beginning fetches them all into its queue and the application's
 * consumption of them is timed. The order of the modes
 * rotates from round to round. CPU per message is this process's alone (the
 * client and its plug-in; the cluster runs elsewhere); for the consumer also
 * that of the application's thread, where on_consume runs, without the
 * fetcher's periodic work over every partition. Per-run lines go to
 * stderr; medians go to stdout as "name value" lines. */
#include "bench_util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <librdkafka/rdkafka.h>
#include <map>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

constexpr size_t E2E_VALUE_LEN = 100;
constexpr int E2E_POLL_EVERY = 1000;
constexpr int E2E_FLUSH_TIMEOUT_MS = 120000;
constexpr int E2E_CONSUME_TIMEOUT_MS = 120000;
constexpr int E2E_CLUSTER_START_MS = 30000;
constexpr int E2E_CLUSTER_STOP_MS = 20000;
constexpr int E2E_CLUSTER_SECONDS = 900; /* the cluster's own bound */
/* The mock cluster keeps only the last few MB of a partition's log; the
 * log is checked for dropped batches when a partition gets more than
 * this. */
constexpr long E2E_CHECK_PARTITION_BYTES = 1024 * 1024;
constexpr long E2E_BYTES_PER_MSG = 110; /* value and record overhead */
/* Partition counts up to which the monitoring topic is checked. */
constexpr int E2E_CHECK_MON_PARTITIONS = 1000;
constexpr int E2E_MODES = 3;
static const char *const e2e_topic = "bench.e2e";
static const char *const e2e_mon_topic = "_quarndale-monitoring";
static const char *const e2e_prefix = "quarndale.monitoring.interceptor.";
static const char *const e2e_mode_name[E2E_MODES] = {"bare", "noop",
                                                     "w4metrics"};

enum e2e_mode { E2E_BARE, E2E_NOOP, E2E_W4 };

struct e2e_options {
  long messages = 1000000;
  int runs = 5;
  std::vector<int> partitions = {64, 10000};
  int publishms = 15000;
  int run_len = 100;                  /* messages in a row for one partition */
  bool modes[3] = {true, true, true}; /* bare, noop, w4metrics */
  std::string plugin = W4_PLUGIN_PATH;
  std::string noop = W4_NOOP_PLUGIN_PATH;
  std::string mock = W4_MOCK_CLUSTER_PATH;
  /* Latency mode: one message a millisecond to one partition for this
   * long, after one message to each partition. */
  bool latency = false;
  int latency_ms = 6000;
};

/* One measured client run: wall time, process CPU time, CPU time of the
 * application's thread (consumer only) and messages. */
struct e2e_result {
  double wall_s;
  double cpu_s;
  double thread_cpu_s;
  long messages;
  bool ok;
};

/* CPU time, user and system, of the process (RUSAGE_SELF) or of the
 * calling thread (RUSAGE_THREAD). */
static double e2e_cpu_s(int who = RUSAGE_SELF) {
  struct rusage ru;
  getrusage(who, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

/* The mock cluster's process. */
struct e2e_cluster {
  pid_t pid;
  int stdin_fd; /* closing it stops the cluster */
  std::string bootstraps;
};

/* Waits for the cluster's process to end, killing it past the bound. */
static void e2e_cluster_reap(pid_t pid) {
  double deadline = bench_now_s() + E2E_CLUSTER_STOP_MS / 1000.0;
  int status;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (bench_now_s() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return;
    }
    usleep(10000);
  }
}

/* Starts the mock cluster's process with the benchmark's and the
 * monitoring topic; false when it does not come up. */
static bool e2e_cluster_start(const e2e_options &opt, int partitions,
                              e2e_cluster *c) {
  int in[2], out[2];
  if (pipe(in) || pipe(out))
    return false;
  std::string topic = std::string(e2e_topic) + ":" + std::to_string(partitions);
  std::string mon = std::string(e2e_mon_topic) + ":1";
  std::string seconds = std::to_string(E2E_CLUSTER_SECONDS);
  const char *argv[] = {opt.mock.c_str(), "--topic",   topic.c_str(),
                        "--topic",        mon.c_str(), "--seconds",
                        seconds.c_str(),  nullptr};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addclose(&fa, in[1]);
  posix_spawn_file_actions_addclose(&fa, out[0]);
  int err = posix_spawn(&c->pid, opt.mock.c_str(), &fa, nullptr,
                        const_cast<char *const *>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  if (err) {
    fprintf(stderr, "bench_e2e: %s: %s\n", opt.mock.c_str(), strerror(err));
    close(in[1]);
    close(out[0]);
    return false;
  }
  c->stdin_fd = in[1];
  c->bootstraps.clear();
  bool ok = bench_read_line(out[0], E2E_CLUSTER_START_MS, &c->bootstraps);
  close(out[0]);
  if (!ok) {
    fprintf(stderr, "bench_e2e: the mock cluster did not start\n");
    close(c->stdin_fd);
    e2e_cluster_reap(c->pid);
  }
  return ok;
}

/* Tells the cluster's process to stop and waits for it. */
static void e2e_cluster_stop(e2e_cluster *c) {
  close(c->stdin_fd);
  e2e_cluster_reap(c->pid);
}

/* A client configuration on the cluster with the mode's plug-in, named
 * first so that it sees every later property. */
static rd_kafka_conf_t *e2e_conf_new(const e2e_options &opt,
                                     const std::string &bootstraps,
                                     e2e_mode mode) {
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  if (mode == E2E_NOOP)
    bench_conf_set("bench_e2e", conf, "plugin.library.paths", opt.noop);
  if (mode == E2E_W4) {
    bench_conf_set("bench_e2e", conf, "plugin.library.paths", opt.plugin);
    bench_conf_set("bench_e2e", conf, std::string(e2e_prefix) + "publishms",
                   std::to_string(opt.publishms));
  }
  bench_conf_set("bench_e2e", conf, "bootstrap.servers", bootstraps);
  bench_conf_set("bench_e2e", conf, "log_level", "3");
  return conf;
}

/* Delivery reports of one producer run. */
struct e2e_delivery {
  long delivered;
  long failed;
};

/* Application's thread, inside poll and flush: counts one settled
 * message. */
static void e2e_dr_cb(rd_kafka_t *, const rd_kafka_message_t *msg,
                      void *opaque) {
  e2e_delivery *d = static_cast<e2e_delivery *>(opaque);
  if (msg->err)
    d->failed++;
  else
    d->delivered++;
}

/* A producer of the mode with the given client id (after the settings of
 * extra), its delivery reports to dr_cb with opaque; none when it cannot be
 * created. */
static rd_kafka_t *e2e_producer_new(
    const e2e_options &opt, const std::string &bootstraps, e2e_mode mode,
    const char *client_id,
    void (*dr_cb)(rd_kafka_t *, const rd_kafka_message_t *, void *),
    void *opaque,
    const std::vector<std::pair<const char *, const char *>> &extra) {
  rd_kafka_conf_t *conf = e2e_conf_new(opt, bootstraps, mode);
  bench_conf_set("bench_e2e", conf, "client.id", client_id);
  for (const auto &kv : extra)
    bench_conf_set("bench_e2e", conf, kv.first, kv.second);
  rd_kafka_conf_set_dr_msg_cb(conf, dr_cb);
  rd_kafka_conf_set_opaque(conf, opaque);
  char errstr[512];
  rd_kafka_t *rk =
      rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!rk) {
    fprintf(stderr, "bench_e2e: producer: %s\n", errstr);
    rd_kafka_conf_destroy(conf);
  }
  return rk;
}

/* True when every partition still starts at offset 0: the mock cluster
 * has dropped none of the produced batches. */
static bool e2e_log_complete(rd_kafka_t *rk, int partitions) {
  for (int p = 0; p < partitions; p++) {
    int64_t lo = -1, hi = -1;
    if (rd_kafka_query_watermark_offsets(rk, e2e_topic, p, &lo, &hi, 5000) ||
        lo != 0)
      return false;
  }
  return true;
}

/* Produces the messages as fast as the producer takes them, round robin
 * over the partitions, and waits until every one is acknowledged; timed
 * from the first produce to the end of the flush. */
static e2e_result e2e_produce(const e2e_options &opt, int partitions,
                              const std::string &bootstraps, e2e_mode mode) {
  e2e_result r = {0, 0, 0, 0, false};
  e2e_delivery d = {0, 0};
  rd_kafka_t *rk = e2e_producer_new(opt, bootstraps, mode, "bench-e2e-producer",
                                    e2e_dr_cb, &d, {});
  if (!rk)
    return r;
  char value[E2E_VALUE_LEN];
  memset(value, 'v', sizeof(value));

  double cpu0 = e2e_cpu_s(), t0 = bench_now_s();
  for (long i = 0; i < opt.messages;) {
    rd_kafka_resp_err_t err = rd_kafka_producev(
        rk, RD_KAFKA_V_TOPIC(e2e_topic),
        RD_KAFKA_V_PARTITION(
            static_cast<int32_t>(i / opt.run_len % partitions)),
        RD_KAFKA_V_VALUE(value, sizeof(value)),
        RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY), RD_KAFKA_V_END);
    if (err == RD_KAFKA_RESP_ERR__QUEUE_FULL) {
      rd_kafka_poll(rk, 1);
      continue;
    }
    if (err) {
      fprintf(stderr, "bench_e2e: produce: %s\n", rd_kafka_err2str(err));
      break;
    }
    if (++i % E2E_POLL_EVERY == 0)
      rd_kafka_poll(rk, 0);
  }
  rd_kafka_flush(rk, E2E_FLUSH_TIMEOUT_MS);
  r.wall_s = bench_now_s() - t0;
  r.cpu_s = e2e_cpu_s() - cpu0;
  r.messages = d.delivered;
  r.ok = d.delivered == opt.messages && d.failed == 0;
  if (!r.ok)
    fprintf(stderr, "bench_e2e: %ld delivered, %ld failed of %ld\n",
            d.delivered, d.failed, opt.messages);
  else if (opt.messages * E2E_BYTES_PER_MSG / partitions >
               E2E_CHECK_PARTITION_BYTES &&
           !e2e_log_complete(rk, partitions)) {
    fprintf(stderr, "bench_e2e: the mock cluster dropped the oldest batches; "
                    "use more partitions or fewer messages\n");
    r.ok = false;
  }
  rd_kafka_destroy(rk);
  return r;
}

/* A consumer of the mode with the given client and group ids (after the
 * settings of extra), assigned every partition from the beginning; none
 * when it cannot be created. */
static rd_kafka_t *e2e_consumer_new(
    const e2e_options &opt, int partitions, const std::string &bootstraps,
    e2e_mode mode, const char *client_id, const char *group_id,
    const std::vector<std::pair<const char *, const char *>> &extra) {
  rd_kafka_conf_t *conf = e2e_conf_new(opt, bootstraps, mode);
  bench_conf_set("bench_e2e", conf, "client.id", client_id);
  bench_conf_set("bench_e2e", conf, "group.id", group_id);
  bench_conf_set("bench_e2e", conf, "enable.auto.commit", "false");
  for (const auto &kv : extra)
    bench_conf_set("bench_e2e", conf, kv.first, kv.second);
  char errstr[512];
  rd_kafka_t *rk =
      rd_kafka_new(RD_KAFKA_CONSUMER, conf, errstr, sizeof(errstr));
  if (!rk) {
    fprintf(stderr, "bench_e2e: consumer: %s\n", errstr);
    rd_kafka_conf_destroy(conf);
    return nullptr;
  }
  rd_kafka_topic_partition_list_t *parts =
      rd_kafka_topic_partition_list_new(partitions);
  for (int p = 0; p < partitions; p++)
    rd_kafka_topic_partition_list_add(parts, e2e_topic, p)->offset =
        RD_KAFKA_OFFSET_BEGINNING;
  rd_kafka_assign(rk, parts);
  rd_kafka_topic_partition_list_destroy(parts);
  return rk;
}

/* Reads the messages back from the beginning of every partition; timed from
 * the first poll to the last message, once every message is in the client's
 * queue. Also checks that the monitoring topic holds records only when
 * w4metrics was loaded. */
static e2e_result e2e_consume(const e2e_options &opt, int partitions,
                              const std::string &bootstraps, e2e_mode mode) {
  e2e_result r = {0, 0, 0, 0, false};
  /* The whole backlog is fetched ahead (see below), and once it is there
   * the fetcher waits half a second between its empty fetches. */
  rd_kafka_t *rk = e2e_consumer_new(
      opt, partitions, bootstraps, mode, "bench-e2e-consumer", "bench-e2e",
      {{"auto.offset.reset", "earliest"},
       {"fetch.wait.max.ms", "500"},
       {"fetch.error.backoff.ms", "10"},
       {"queued.min.messages", "10000000"},
       {"queued.max.messages.kbytes", "2097151"}});
  if (!rk)
    return r;

  /* The fetcher fills the client's queue first, one entry per message, so
   * that the timed part is the application's consumption alone, where
   * on_consume runs, and not the fetcher's start over many partitions. */
  double deadline = bench_now_s() + E2E_CONSUME_TIMEOUT_MS / 1000.0;
  rd_kafka_queue_t *queue = rd_kafka_queue_get_consumer(rk);
  while (rd_kafka_queue_length(queue) < static_cast<size_t>(opt.messages) &&
         bench_now_s() < deadline)
    usleep(10000);
  rd_kafka_queue_destroy(queue);

  double t0 = bench_now_s(), cpu0 = e2e_cpu_s();
  double thread_cpu0 = e2e_cpu_s(RUSAGE_THREAD);
  while (r.messages < opt.messages && bench_now_s() < deadline) {
    rd_kafka_message_t *msg = rd_kafka_consumer_poll(rk, 100);
    if (!msg)
      continue;
    if (!msg->err)
      r.messages++;
    rd_kafka_message_destroy(msg);
  }
  r.wall_s = bench_now_s() - t0;
  r.cpu_s = e2e_cpu_s() - cpu0;
  r.thread_cpu_s = e2e_cpu_s(RUSAGE_THREAD) - thread_cpu0;
  r.ok = r.messages == opt.messages;
  if (!r.ok)
    fprintf(stderr, "bench_e2e: consumed %ld of %ld\n", r.messages,
            opt.messages);
  /* The producer's plug-in published at least its final pass by now. With
   * thousands of partitions the query does not complete in time: the check
   * is left out there. */
  int64_t lo = 0, hi = 0;
  if (partitions > E2E_CHECK_MON_PARTITIONS) {
  } else if (rd_kafka_query_watermark_offsets(rk, e2e_mon_topic, 0, &lo, &hi,
                                              5000)) {
    fprintf(stderr, "bench_e2e: the monitoring topic could not be checked\n");
  } else if (mode == E2E_W4 && hi <= 0) {
    /* Its final pass has one second to deliver: a loaded machine may not
     * make it, which does not void the measurement. */
    fprintf(stderr, "bench_e2e: no record of the producer's final pass\n");
  } else if (mode != E2E_W4 && hi > 0) {
    fprintf(stderr, "bench_e2e: records published without the plug-in\n");
    r.ok = false;
  }

  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
  return r;
}

/* Throughputs (msgs/s) and CPU costs (ns of process CPU per message) of the
 * runs of one client kind in one mode. */
struct e2e_series {
  std::vector<double> msgs_per_s;
  std::vector<double> cpu_ns_per_msg;
  std::vector<double> thread_cpu_ns_per_msg;
};

/* Adds the throughput and CPU cost of one run. */
static void e2e_series_add(e2e_series *s, const e2e_result &r) {
  s->msgs_per_s.push_back(static_cast<double>(r.messages) / r.wall_s);
  s->cpu_ns_per_msg.push_back(r.cpu_s * 1e9 / static_cast<double>(r.messages));
  s->thread_cpu_ns_per_msg.push_back(r.thread_cpu_s * 1e9 /
                                     static_cast<double>(r.messages));
}

/* Latency percentiles of one run, microseconds. */
struct e2e_tail {
  double p50, p99, p999, max;
  bool ok;
};

/* The percentiles of samples (microseconds). */
static e2e_tail e2e_tail_of(std::vector<double> v) {
  e2e_tail t = {0, 0, 0, 0, !v.empty()};
  if (v.empty())
    return t;
  std::sort(v.begin(), v.end());
  auto at = [&v](double q) {
    return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
  };
  t.p50 = at(0.5);
  t.p99 = at(0.99);
  t.p999 = at(0.999);
  t.max = v.back();
  return t;
}

/* Delivery reports of the latency run: librdkafka's produce-to-report
 * latency of every message marked for measuring. */
static void e2e_latency_dr_cb(rd_kafka_t *, const rd_kafka_message_t *msg,
                              void *opaque) {
  if (!msg->err && msg->_private)
    static_cast<std::vector<double> *>(opaque)->push_back(
        static_cast<double>(rd_kafka_message_latency(msg)));
}

/* One message to every partition, so that each has its entry. */
static bool e2e_touch_partitions(rd_kafka_t *rk, int partitions) {
  char value[E2E_VALUE_LEN];
  memset(value, 'v', sizeof(value));
  for (int p = 0; p < partitions;) {
    rd_kafka_resp_err_t err = rd_kafka_producev(
        rk, RD_KAFKA_V_TOPIC(e2e_topic), RD_KAFKA_V_PARTITION(p),
        RD_KAFKA_V_VALUE(value, sizeof(value)),
        RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY), RD_KAFKA_V_END);
    if (err == RD_KAFKA_RESP_ERR__QUEUE_FULL) {
      rd_kafka_poll(rk, 1);
      continue;
    }
    if (err) {
      fprintf(stderr, "bench_e2e: produce to partition %d: %s\n", p,
              rd_kafka_err2str(err));
      return false;
    }
    p++;
  }
  rd_kafka_resp_err_t err = rd_kafka_flush(rk, E2E_FLUSH_TIMEOUT_MS);
  if (err)
    fprintf(stderr, "bench_e2e: flush: %s, %d left\n", rd_kafka_err2str(err),
            rd_kafka_outq_len(rk));
  return !err;
}

/* Produces one message a millisecond to partition 0 for the run's length,
 * polling in between; marks them for the latency count when measure. */
static void e2e_paced_produce(rd_kafka_t *rk, int ms, bool measure) {
  char value[E2E_VALUE_LEN];
  memset(value, 'v', sizeof(value));
  double t0 = bench_now_s();
  for (long i = 0; bench_now_s() - t0 < ms / 1000.0; i++) {
    rd_kafka_producev(rk, RD_KAFKA_V_TOPIC(e2e_topic), RD_KAFKA_V_PARTITION(0),
                      RD_KAFKA_V_VALUE(value, sizeof(value)),
                      RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY),
                      RD_KAFKA_V_OPAQUE(measure ? rk : nullptr),
                      RD_KAFKA_V_END);
    double next = t0 + (i + 1) / 1000.0;
    while (bench_now_s() < next)
      rd_kafka_poll(rk, 0);
  }
  rd_kafka_flush(rk, E2E_FLUSH_TIMEOUT_MS);
}

/* Producer: delivery-report latency of the paced messages, after every
 * partition got one message. */
static e2e_tail e2e_latency_produce(const e2e_options &opt, int partitions,
                                    const std::string &bootstraps,
                                    e2e_mode mode) {
  std::vector<double> lat;
  rd_kafka_t *rk =
      e2e_producer_new(opt, bootstraps, mode, "bench-latency-producer",
                       e2e_latency_dr_cb, &lat, {{"linger.ms", "0"}});
  if (!rk)
    return e2e_tail{0, 0, 0, 0, false};
  bool ok = e2e_touch_partitions(rk, partitions);
  if (ok)
    e2e_paced_produce(rk, opt.latency_ms, true);
  else
    fprintf(stderr, "bench_e2e: producer: not every partition took its "
                    "message\n");
  rd_kafka_destroy(rk);
  e2e_tail t = e2e_tail_of(lat);
  t.ok = ok && lat.size() > static_cast<size_t>(opt.latency_ms / 2);
  if (ok && !t.ok)
    fprintf(stderr, "bench_e2e: producer: %zu delivery reports timed\n",
            lat.size());
  return t;
}

/* A bare producer feeding partition 0 one message a millisecond, on a
 * thread of its own, while the consumer is measured. */
struct e2e_feeder {
  const e2e_options *opt;
  std::string bootstraps;
  int ms;
};

static void *e2e_feed(void *arg) {
  e2e_feeder *f = static_cast<e2e_feeder *>(arg);
  rd_kafka_conf_t *conf = e2e_conf_new(*f->opt, f->bootstraps, E2E_BARE);
  bench_conf_set("bench_e2e", conf, "linger.ms", "0");
  char errstr[512];
  rd_kafka_t *rk =
      rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!rk) {
    rd_kafka_conf_destroy(conf);
    return nullptr;
  }
  e2e_paced_produce(rk, f->ms, false);
  rd_kafka_destroy(rk);
  return nullptr;
}

/* Consumer: the time that each non-blocking poll handing over a message
 * takes (on_consume runs inside it), after one message from every
 * partition, then following partition 0 alone. */
static e2e_tail e2e_latency_consume(const e2e_options &opt, int partitions,
                                    const std::string &bootstraps,
                                    e2e_mode mode) {
  e2e_tail fail = {0, 0, 0, 0, false};
  {
    rd_kafka_conf_t *conf = e2e_conf_new(opt, bootstraps, E2E_BARE);
    char errstr[512];
    rd_kafka_t *prod =
        rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
    if (!prod)
      return fail;
    bool ok = e2e_touch_partitions(prod, partitions);
    rd_kafka_destroy(prod);
    if (!ok)
      return fail;
  }
  rd_kafka_t *rk = e2e_consumer_new(opt, partitions, bootstraps, mode,
                                    "bench-latency-consumer", "bench-latency",
                                    {{"fetch.wait.max.ms", "5"}});
  if (!rk)
    return fail;
  rd_kafka_topic_partition_list_t *parts;
  int got = 0;
  double deadline = bench_now_s() + E2E_CONSUME_TIMEOUT_MS / 1000.0;
  while (got < partitions && bench_now_s() < deadline) {
    rd_kafka_message_t *msg = rd_kafka_consumer_poll(rk, 100);
    if (msg && !msg->err)
      got++;
    if (msg)
      rd_kafka_message_destroy(msg);
  }
  /* Partition 0 alone from here, at its end: the traffic of the run. */
  int64_t lo = 0, hi = 0;
  if (rd_kafka_query_watermark_offsets(rk, e2e_topic, 0, &lo, &hi, 10000))
    hi = RD_KAFKA_OFFSET_END;
  parts = rd_kafka_topic_partition_list_new(1);
  rd_kafka_topic_partition_list_add(parts, e2e_topic, 0)->offset = hi;
  rd_kafka_assign(rk, parts);
  rd_kafka_topic_partition_list_destroy(parts);

  e2e_feeder feeder = {&opt, bootstraps, opt.latency_ms};
  pthread_t th;
  pthread_create(&th, nullptr, e2e_feed, &feeder);
  std::vector<double> lat;
  double end = bench_now_s() + opt.latency_ms / 1000.0 + 1;
  while (bench_now_s() < end) {
    double t0 = bench_now_s();
    rd_kafka_message_t *msg = rd_kafka_consumer_poll(rk, 0);
    double t1 = bench_now_s();
    if (!msg) {
      usleep(100);
      continue;
    }
    if (!msg->err)
      lat.push_back((t1 - t0) * 1e6);
    rd_kafka_message_destroy(msg);
  }
  pthread_join(th, nullptr);
  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
  e2e_tail t = e2e_tail_of(lat);
  t.ok = got == partitions &&
         lat.size() > static_cast<size_t>(opt.latency_ms / 10);
  if (!t.ok)
    fprintf(stderr, "bench_e2e: consumer: %d of %d partitions, %zu timed\n",
            got, partitions, lat.size());
  return t;
}

/* Runs the latency rounds of one partition count, modes alternated, and
 * prints the medians over rounds of each percentile. */
static bool e2e_latency_partitions(const e2e_options &opt, int partitions) {
  std::vector<e2e_tail> prod[E2E_MODES], cons[E2E_MODES];
  for (int round = 0; round < opt.runs; round++) {
    for (int k = 0; k < E2E_MODES; k++) {
      e2e_mode mode = static_cast<e2e_mode>((round + k) % E2E_MODES);
      if (!opt.modes[mode])
        continue;
      e2e_cluster c;
      if (!e2e_cluster_start(opt, partitions, &c))
        return false;
      e2e_tail p = e2e_latency_produce(opt, partitions, c.bootstraps, mode);
      e2e_tail q =
          p.ok ? e2e_latency_consume(opt, partitions, c.bootstraps, mode)
               : e2e_tail{};
      e2e_cluster_stop(&c);
      if (!p.ok || !q.ok)
        return false;
      prod[mode].push_back(p);
      cons[mode].push_back(q);
      fprintf(stderr,
              "%6d partitions, round %d %-9s delivery report p50 %6.0f p99 "
              "%6.0f p99.9 %6.0f max %6.0f us; consumer poll p50 %4.0f p99 "
              "%5.0f p99.9 %6.0f max %6.0f us\n",
              partitions, round + 1, e2e_mode_name[mode], p.p50, p.p99, p.p999,
              p.max, q.p50, q.p99, q.p999, q.max);
    }
  }
  const char *names[] = {"p50", "p99", "p999", "max"};
  for (int m = 0; m < E2E_MODES; m++) {
    if (!opt.modes[m])
      continue;
    for (int side = 0; side < 2; side++) {
      const std::vector<e2e_tail> &v = side ? cons[m] : prod[m];
      for (int q = 0; q < 4; q++) {
        std::vector<double> x, spread;
        for (const e2e_tail &t : v)
          x.push_back(q == 0   ? t.p50
                      : q == 1 ? t.p99
                      : q == 2 ? t.p999
                               : t.max);
        std::sort(x.begin(), x.end());
        printf("lat_p%d_%s_%s_%s_us %.0f\n", partitions,
               side ? "consumer_poll" : "producer_dr", e2e_mode_name[m],
               names[q], bench_median(x));
        printf("lat_p%d_%s_%s_%s_us_range %.0f-%.0f\n", partitions,
               side ? "consumer_poll" : "producer_dr", e2e_mode_name[m],
               names[q], x.front(), x.back());
      }
    }
  }
  fflush(stdout);
  return true;
}

/* Names the options and exits. */
static void e2e_usage(void) {
  fprintf(stderr, "usage: bench_e2e [--messages N] [--runs R] "
                  "[--partitions P[,P...]] [--publishms MS] [--run-length L] "
                  "[--modes bare,noop,w4metrics] [--plugin PATH] "
                  "[--noop PATH] [--mock PATH] [--latency MS]\n");
  exit(2);
}

/* Reads a comma-separated list of partition counts. */
static std::vector<int> e2e_parse_list(const char *v) {
  std::vector<int> out;
  for (const char *p = v; *p;) {
    out.push_back(atoi(p));
    const char *comma = strchr(p, ',');
    if (!comma)
      break;
    p = comma + 1;
  }
  return out;
}

/* Reads a comma-separated list of mode names. */
static void e2e_parse_modes(const char *v, bool modes[E2E_MODES]) {
  for (int m = 0; m < E2E_MODES; m++) {
    std::string list = std::string(",") + v + ",";
    modes[m] = list.find(std::string(",") + e2e_mode_name[m] + ",") !=
               std::string::npos;
  }
}

/* Reads the options. */
static e2e_options e2e_parse(int argc, char **argv) {
  e2e_options opt;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (i + 1 >= argc)
      e2e_usage();
    const char *v = argv[++i];
    if (a == "--messages")
      opt.messages = atol(v);
    else if (a == "--runs")
      opt.runs = atoi(v);
    else if (a == "--partitions")
      opt.partitions = e2e_parse_list(v);
    else if (a == "--publishms")
      opt.publishms = atoi(v);
    else if (a == "--run-length")
      opt.run_len = atoi(v);
    else if (a == "--plugin")
      opt.plugin = v;
    else if (a == "--noop")
      opt.noop = v;
    else if (a == "--mock")
      opt.mock = v;
    else if (a == "--modes")
      e2e_parse_modes(v, opt.modes);
    else if (a == "--latency") {
      opt.latency = true;
      opt.latency_ms = atoi(v);
    } else
      e2e_usage();
  }
  if (opt.messages < 1 || opt.runs < 1 || opt.publishms < 1 ||
      opt.run_len < 1 || opt.partitions.empty())
    e2e_usage();
  for (int p : opt.partitions)
    if (p < 1)
      e2e_usage();
  return opt;
}

/* Runs every round of one partition count and prints its medians. */
static bool e2e_run_partitions(const e2e_options &opt, int partitions) {
  e2e_series prod[E2E_MODES], cons[E2E_MODES];
  for (int round = 0; round < opt.runs; round++) {
    for (int k = 0; k < E2E_MODES; k++) {
      e2e_mode mode = static_cast<e2e_mode>((round + k) % E2E_MODES);
      if (!opt.modes[mode])
        continue;
      e2e_cluster c;
      if (!e2e_cluster_start(opt, partitions, &c))
        return false;
      e2e_result p = e2e_produce(opt, partitions, c.bootstraps, mode);
      e2e_result q = p.ok ? e2e_consume(opt, partitions, c.bootstraps, mode)
                          : e2e_result{};
      e2e_cluster_stop(&c);
      if (!p.ok || !q.ok)
        return false;
      e2e_series_add(&prod[mode], p);
      e2e_series_add(&cons[mode], q);
      fprintf(stderr,
              "%5d partitions, round %d %-9s producer %8.0f msgs/s (%4.0f "
              "ns cpu/msg)  consumer %8.0f msgs/s (%4.0f ns cpu/msg, %4.0f "
              "on its thread)\n",
              partitions, round + 1, e2e_mode_name[mode], p.messages / p.wall_s,
              p.cpu_s * 1e9 / p.messages, q.messages / q.wall_s,
              q.cpu_s * 1e9 / q.messages, q.thread_cpu_s * 1e9 / q.messages);
    }
  }
  for (int m = 0; m < E2E_MODES; m++) {
    if (!opt.modes[m])
      continue;
    printf("p%d_producer_%s_msgs_per_s %.0f\n", partitions, e2e_mode_name[m],
           bench_median(prod[m].msgs_per_s));
    printf("p%d_producer_%s_cpu_ns_per_msg %.1f\n", partitions,
           e2e_mode_name[m], bench_median(prod[m].cpu_ns_per_msg));
    printf("p%d_consumer_%s_msgs_per_s %.0f\n", partitions, e2e_mode_name[m],
           bench_median(cons[m].msgs_per_s));
    printf("p%d_consumer_%s_cpu_ns_per_msg %.1f\n", partitions,
           e2e_mode_name[m], bench_median(cons[m].cpu_ns_per_msg));
    printf("p%d_consumer_%s_thread_cpu_ns_per_msg %.1f\n", partitions,
           e2e_mode_name[m], bench_median(cons[m].thread_cpu_ns_per_msg));
  }
  fflush(stdout);
  return true;
}

/* Runs the partition counts in turn. */
int main(int argc, char **argv) {
  e2e_options opt = e2e_parse(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  printf("messages %ld\nruns %d\npublishms %d\n", opt.messages, opt.runs,
         opt.publishms);
  for (int partitions : opt.partitions)
    if (!(opt.latency ? e2e_latency_partitions(opt, partitions)
                      : e2e_run_partitions(opt, partitions)))
      return 1;
  return 0;
}
