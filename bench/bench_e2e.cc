/* What the plug-in costs a real client: producer and consumer throughput on
 * librdkafka's mock cluster, without and with the plug-in loaded through
 * plugin.library.paths, in alternating runs.
 *
 *   bench_e2e [--messages N] [--runs R] [--partitions P] [--publishms MS]
 *             [--plugin PATH] [--only with|without]
 *
 * Each run starts a fresh mock cluster, produces N messages of 100 bytes as
 * fast as the producer takes them, then reads them back with a consumer
 * assigned to every partition from the beginning. The runs alternate
 * without, with, without, with ... R times each. Per-run lines go to
 * stderr; the medians and their ratios go to stdout as "name value" lines.
 * CPU per message is the whole process's: client, plug-in and the
 * in-process mock cluster alike.
 * --only runs one mode alone, to profile it; then no ratio is printed. */
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>
#include <string>
#include <sys/resource.h>
#include <vector>

constexpr size_t E2E_VALUE_LEN = 100;
constexpr int E2E_POLL_EVERY = 1000;
constexpr int E2E_FLUSH_TIMEOUT_MS = 120000;
constexpr int E2E_CONSUME_TIMEOUT_MS = 120000;
/* The mock cluster keeps only the last few MB of a partition's log and
 * drops older batches; partitions are sized to stay well below that. */
constexpr long E2E_PARTITION_BYTES = 2 * 1024 * 1024;
constexpr long E2E_BYTES_PER_MSG = 110; /* value and record overhead */
static const char *const e2e_topic = "bench.e2e";
static const char *const e2e_mon_topic = "_quarndale-monitoring";
static const char *const e2e_prefix = "quarndale.monitoring.interceptor.";

struct e2e_options {
  long messages = 1000000;
  int runs = 5;
  int partitions = 0; /* 0: enough for the messages */
  int publishms = 1000;
  std::string plugin = W4_PLUGIN_PATH;
  int only = -1; /* -1 both modes, else 0 without or 1 with */
};

/* One measured client run: wall time, process CPU time and messages. */
struct e2e_result {
  double wall_s;
  double cpu_s;
  long messages;
  bool ok;
};

/* Process CPU time, user and system, of every thread. */
static double e2e_cpu_s(void) {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

/* Seconds on the monotonic clock. */
static double e2e_now_s(void) {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

/* Sets a property or exits: a benchmark on a wrong configuration would
 * measure nothing. */
static void e2e_conf_set(rd_kafka_conf_t *conf, const std::string &name,
                         const std::string &value) {
  char errstr[512];
  if (rd_kafka_conf_set(conf, name.c_str(), value.c_str(), errstr,
                        sizeof(errstr)) != RD_KAFKA_CONF_OK) {
    fprintf(stderr, "bench_e2e: %s=%s: %s\n", name.c_str(), value.c_str(),
            errstr);
    exit(1);
  }
}

/* A client configuration on the cluster, with the plug-in when asked; the
 * plug-in is named first so that it sees every later property. */
static rd_kafka_conf_t *e2e_conf_new(const e2e_options &opt,
                                     const std::string &bootstraps,
                                     bool with_plugin) {
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  if (with_plugin) {
    e2e_conf_set(conf, "plugin.library.paths", opt.plugin);
    e2e_conf_set(conf, std::string(e2e_prefix) + "publishms",
                 std::to_string(opt.publishms));
  }
  e2e_conf_set(conf, "bootstrap.servers", bootstraps);
  e2e_conf_set(conf, "log_level", "3");
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
 * over the partitions so that every run fills them alike, and waits until
 * every one is acknowledged; timed from the first produce to the end of
 * the flush. */
static e2e_result e2e_produce(const e2e_options &opt,
                              const std::string &bootstraps, bool with_plugin) {
  e2e_result r = {0, 0, 0, false};
  e2e_delivery d = {0, 0};
  rd_kafka_conf_t *conf = e2e_conf_new(opt, bootstraps, with_plugin);
  e2e_conf_set(conf, "client.id", "bench-e2e-producer");
  rd_kafka_conf_set_dr_msg_cb(conf, e2e_dr_cb);
  rd_kafka_conf_set_opaque(conf, &d);
  char errstr[512];
  rd_kafka_t *rk =
      rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!rk) {
    fprintf(stderr, "bench_e2e: producer: %s\n", errstr);
    rd_kafka_conf_destroy(conf);
    return r;
  }
  char value[E2E_VALUE_LEN];
  memset(value, 'v', sizeof(value));

  double cpu0 = e2e_cpu_s(), t0 = e2e_now_s();
  for (long i = 0; i < opt.messages;) {
    rd_kafka_resp_err_t err = rd_kafka_producev(
        rk, RD_KAFKA_V_TOPIC(e2e_topic),
        RD_KAFKA_V_PARTITION(static_cast<int32_t>(i % opt.partitions)),
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
  r.wall_s = e2e_now_s() - t0;
  r.cpu_s = e2e_cpu_s() - cpu0;
  r.messages = d.delivered;
  r.ok = d.delivered == opt.messages && d.failed == 0;
  if (!r.ok)
    fprintf(stderr, "bench_e2e: %ld delivered, %ld failed of %ld\n",
            d.delivered, d.failed, opt.messages);
  else if (!e2e_log_complete(rk, opt.partitions)) {
    fprintf(stderr, "bench_e2e: the mock cluster dropped the oldest batches; "
                    "use more --partitions\n");
    r.ok = false;
  }
  rd_kafka_destroy(rk);
  return r;
}

/* Reads the messages back from the beginning of every partition; timed from
 * the first message to the last. Also checks that the monitoring topic holds
 * records exactly when the plug-in was loaded. */
static e2e_result e2e_consume(const e2e_options &opt,
                              const std::string &bootstraps, bool with_plugin) {
  e2e_result r = {0, 0, 0, false};
  rd_kafka_conf_t *conf = e2e_conf_new(opt, bootstraps, with_plugin);
  e2e_conf_set(conf, "client.id", "bench-e2e-consumer");
  e2e_conf_set(conf, "group.id", "bench-e2e");
  e2e_conf_set(conf, "enable.auto.commit", "false");
  e2e_conf_set(conf, "auto.offset.reset", "earliest");
  /* The whole backlog may be fetched ahead: with the default limits the
   * fetcher pauses once 100000 messages wait in the consumer queue and
   * resumes up to a second later, which would swamp what is measured. */
  e2e_conf_set(conf, "fetch.wait.max.ms", "10");
  e2e_conf_set(conf, "fetch.error.backoff.ms", "10");
  e2e_conf_set(conf, "queued.min.messages", "10000000");
  e2e_conf_set(conf, "queued.max.messages.kbytes", "2097151");
  char errstr[512];
  rd_kafka_t *rk =
      rd_kafka_new(RD_KAFKA_CONSUMER, conf, errstr, sizeof(errstr));
  if (!rk) {
    fprintf(stderr, "bench_e2e: consumer: %s\n", errstr);
    rd_kafka_conf_destroy(conf);
    return r;
  }
  rd_kafka_topic_partition_list_t *parts =
      rd_kafka_topic_partition_list_new(opt.partitions);
  for (int p = 0; p < opt.partitions; p++)
    rd_kafka_topic_partition_list_add(parts, e2e_topic, p)->offset =
        RD_KAFKA_OFFSET_BEGINNING;
  rd_kafka_assign(rk, parts);
  rd_kafka_topic_partition_list_destroy(parts);

  double deadline = e2e_now_s() + E2E_CONSUME_TIMEOUT_MS / 1000.0;
  double t0 = 0, cpu0 = 0;
  while (r.messages < opt.messages && e2e_now_s() < deadline) {
    rd_kafka_message_t *msg = rd_kafka_consumer_poll(rk, 100);
    if (!msg)
      continue;
    if (!msg->err) {
      if (r.messages++ == 0) {
        t0 = e2e_now_s();
        cpu0 = e2e_cpu_s();
      }
    }
    rd_kafka_message_destroy(msg);
  }
  r.wall_s = e2e_now_s() - t0;
  r.cpu_s = e2e_cpu_s() - cpu0;
  r.ok = r.messages == opt.messages;
  if (!r.ok)
    fprintf(stderr, "bench_e2e: consumed %ld of %ld\n", r.messages,
            opt.messages);
  /* The producer's plug-in published at least its final pass by now. */
  int64_t lo = 0, hi = 0;
  rd_kafka_query_watermark_offsets(rk, e2e_mon_topic, 0, &lo, &hi, 5000);
  if (with_plugin && hi <= 0) {
    fprintf(stderr, "bench_e2e: the plug-in published no record\n");
    r.ok = false;
  } else if (!with_plugin && hi > 0) {
    fprintf(stderr, "bench_e2e: records published without the plug-in\n");
    r.ok = false;
  }

  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
  return r;
}

/* The mock cluster of one run with the benchmark's topic. */
struct e2e_cluster {
  rd_kafka_t *host;
  rd_kafka_mock_cluster_t *mcluster;
  std::string bootstraps;
};

/* Starts a fresh mock cluster with the benchmark's and the monitoring
 * topic; false when it cannot. */
static bool e2e_cluster_start(e2e_cluster *c, int partitions) {
  char errstr[512];
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  rd_kafka_conf_set(conf, "log_level", "0", errstr, sizeof(errstr));
  c->host = rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!c->host)
    return false;
  c->mcluster = rd_kafka_mock_cluster_new(c->host, 1);
  if (!c->mcluster) {
    rd_kafka_destroy(c->host);
    return false;
  }
  rd_kafka_mock_topic_create(c->mcluster, e2e_topic, partitions, 1);
  rd_kafka_mock_topic_create(c->mcluster, e2e_mon_topic, 1, 1);
  c->bootstraps = rd_kafka_mock_cluster_bootstraps(c->mcluster);
  return true;
}

/* Stops the mock cluster and its host. */
static void e2e_cluster_stop(e2e_cluster *c) {
  rd_kafka_mock_cluster_destroy(c->mcluster);
  rd_kafka_destroy(c->host);
}

/* The median of v; 0 when empty. */
static double e2e_median(std::vector<double> v) {
  if (v.empty())
    return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/* Throughputs (msgs/s) and CPU costs (ns of process CPU per message) of the
 * runs of one client kind in one mode. */
struct e2e_series {
  std::vector<double> msgs_per_s;
  std::vector<double> cpu_ns_per_msg;
};

/* Adds the throughput and CPU cost of one run. */
static void e2e_series_add(e2e_series *s, const e2e_result &r) {
  s->msgs_per_s.push_back(static_cast<double>(r.messages) / r.wall_s);
  s->cpu_ns_per_msg.push_back(r.cpu_s * 1e9 / static_cast<double>(r.messages));
}

/* Names the options and exits. */
static void e2e_usage(void) {
  fprintf(stderr, "usage: bench_e2e [--messages N] [--runs R] "
                  "[--partitions P] [--publishms MS] [--plugin PATH] "
                  "[--only with|without]\n");
  exit(2);
}

/* Reads the options; 0 partitions become enough for the messages. */
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
      opt.partitions = atoi(v);
    else if (a == "--publishms")
      opt.publishms = atoi(v);
    else if (a == "--plugin")
      opt.plugin = v;
    else if (a == "--only" && (!strcmp(v, "with") || !strcmp(v, "without")))
      opt.only = !strcmp(v, "with");
    else
      e2e_usage();
  }
  if (opt.messages < 1 || opt.runs < 1 || opt.partitions < 0 ||
      opt.publishms < 1)
    e2e_usage();
  if (opt.partitions == 0)
    opt.partitions = static_cast<int>(std::max(
        4L, opt.messages * E2E_BYTES_PER_MSG / E2E_PARTITION_BYTES + 1));
  return opt;
}

/* Prints the medians of one client kind and the ratios with/without. */
static void e2e_report(const char *kind, const e2e_series s[2]) {
  double tput[2], cpu[2];
  for (int m = 0; m < 2; m++) {
    tput[m] = e2e_median(s[m].msgs_per_s);
    cpu[m] = e2e_median(s[m].cpu_ns_per_msg);
  }
  printf("%s_without_msgs_per_s %.0f\n", kind, tput[0]);
  printf("%s_with_msgs_per_s %.0f\n", kind, tput[1]);
  printf("%s_ratio %.3f\n", kind, tput[0] > 0 ? tput[1] / tput[0] : 0);
  printf("%s_without_cpu_ns_per_msg %.0f\n", kind, cpu[0]);
  printf("%s_with_cpu_ns_per_msg %.0f\n", kind, cpu[1]);
}

/* Runs the modes alternately and prints the medians. */
int main(int argc, char **argv) {
  e2e_options opt = e2e_parse(argc, argv);
  static const char *const mode_name[2] = {"without", "with"};
  e2e_series prod[2], cons[2];
  bool all_ok = true;

  for (int run = 0; run < 2 * opt.runs; run++) {
    int mode = run % 2; /* without, with, without, with ... */
    if (opt.only != -1 && mode != opt.only)
      continue;
    e2e_cluster c;
    if (!e2e_cluster_start(&c, opt.partitions)) {
      fprintf(stderr, "bench_e2e: no mock cluster\n");
      return 1;
    }
    e2e_result p = e2e_produce(opt, c.bootstraps, mode);
    e2e_result q = p.ok ? e2e_consume(opt, c.bootstraps, mode) : e2e_result{};
    e2e_cluster_stop(&c);
    if (!p.ok || !q.ok) {
      all_ok = false;
      break;
    }
    e2e_series_add(&prod[mode], p);
    e2e_series_add(&cons[mode], q);
    fprintf(stderr,
            "run %d %-7s producer %8.0f msgs/s (%4.0f ns cpu/msg)  "
            "consumer %8.0f msgs/s (%4.0f ns cpu/msg)\n",
            run / 2 + 1, mode_name[mode], p.messages / p.wall_s,
            p.cpu_s * 1e9 / p.messages, q.messages / q.wall_s,
            q.cpu_s * 1e9 / q.messages);
  }
  if (!all_ok)
    return 1;
  printf("messages %ld\nruns %d\npartitions %d\npublishms %d\n", opt.messages,
         opt.runs, opt.partitions, opt.publishms);
  if (opt.only != -1)
    return 0;
  e2e_report("producer", prod);
  e2e_report("consumer", cons);
  return 0;
}
