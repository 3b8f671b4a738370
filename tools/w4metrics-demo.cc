/* w4metrics-demo: the plug-in at work, end to end, in one process.
 *
 * Starts librdkafka's mock cluster (or uses a real one), runs a producer and
 * a consumer group member with the plug-in loaded, sends traffic at a
 * varying rate over a few topics, reads the monitoring topic as it goes and
 * shows per client and topic-partition what the latest publish pass said.
 * At the end every acknowledged and every consumed message must be found in
 * the records' counts, and every record sequence must be without gaps.
 *
 * While it runs it serves the exporter's page (and /metrics) of its own
 * clients' records, from the same rooms as the exporter. */
#include "exporter/http.h"
#include "exporter/monitor.h"
#include "w4demo_view.h"
#include "w4tool.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

static const char *const MONITORING_TOPIC = "_quarndale-monitoring";
static const char *const W4_PREFIX = "quarndale.monitoring.interceptor.";

/* The demo's own topics. Audit traffic stops half-way through, so that its
 * partition goes on with empty-window records. */
struct demo_topic {
  const char *name;
  int partitions;
  double weight;
  bool first_half_only;
};
static const demo_topic demo_topics[] = {
    {"w4demo.orders", 3, 0.6, false},
    {"w4demo.payments", 2, 0.3, false},
    {"w4demo.audit", 1, 0.1, true},
};

struct demo_opts {
  std::string bootstrap; /* empty: start the mock cluster */
  std::string plugin;
  long interval_ms = 2000;
  long seconds = 20;
  bool debug = false;
  std::vector<w4_prop> props;
  std::string listen_addr = "127.0.0.1";
  int listen_port = 0; /* any free port */
};

/* The page that the demo serves: the exporter's monitor over the demo's own
 * records. */
struct demo_page {
  w4_monitor mon;
  w4_http http;
  std::string url; /* empty when it could not be served */
};

struct demo {
  demo_opts o;
  std::string bootstraps;
  rd_kafka_t *mock_host = nullptr;
  rd_kafka_mock_cluster_t *mcluster = nullptr;
  rd_kafka_t *producer = nullptr;
  rd_kafka_t *consumer = nullptr;
  rd_kafka_t *monitor = nullptr; /* plain reader of the monitoring topic */
  std::string group_id;
  int64_t sent = 0;
  int64_t acked = 0;
  int64_t failed = 0;
  int64_t consumed = 0;
  int64_t start_ms = 0;
  bool tty = false;
  std::mt19937 rng;
  demo_view view;
  demo_page page;
  int64_t page_tick_ms = 0;
};

/* Prints the usage text to f. */
static void usage(FILE *f) {
  fprintf(f,
          "Usage: w4metrics-demo [--bootstrap HOST:PORT] [--plugin PATH] "
          "[--interval MS]\n"
          "                      [--seconds N] [--listen ADDR:PORT] [--debug]\n"
          "                      [-X prop=value ...]\n"
          "\n"
          "Runs a producer and a consumer with the w4metrics plug-in loaded "
          "and shows\nthe monitoring records they publish.\n"
          "\n"
          "  --bootstrap HOST:PORT  use this cluster instead of an in-process "
          "mock cluster;\n"
          "                         only the w4demo.* topics and the "
          "monitoring topic are\n"
          "                         created there\n"
          "  --plugin PATH          plug-in library (default: "
          "libw4metrics.so next to the\n"
          "                         tools directory)\n"
          "  --interval MS          publish interval (default 2000)\n"
          "  --seconds N            length of the traffic (default 20)\n"
          "  --listen ADDR:PORT     where the page is served while the demo "
          "runs (default\n"
          "                         127.0.0.1:0, any free port)\n"
          "  --debug                the plug-in's debug lines on stderr\n"
          "  -X prop=value          librdkafka property for every client "
          "(repeatable)\n"
          "\n"
          "Exit status 0 when every message is accounted for in the records "
          "and no\nrecord is missing, 1 otherwise.\n");
}

/* Parses the command line into *o; returns -1 to go on, else an exit code. */
static int parse_args(int argc, char **argv, demo_opts *o) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    bool has_next = i + 1 < argc;
    if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else if ((a == "--bootstrap" || a == "-b") && has_next) {
      o->bootstrap = argv[++i];
    } else if (a == "--plugin" && has_next) {
      o->plugin = argv[++i];
    } else if (a == "--interval" && has_next) {
      if (!w4_parse_long(argv[++i], 1, 86400000L, &o->interval_ms)) {
        fprintf(stderr, "w4metrics-demo: --interval needs 1 to 86400000\n");
        return 2;
      }
    } else if (a == "--seconds" && has_next) {
      if (!w4_parse_long(argv[++i], 1, 86400L, &o->seconds)) {
        fprintf(stderr, "w4metrics-demo: --seconds needs 1 to 86400\n");
        return 2;
      }
    } else if (a == "--listen" && has_next) {
      if (!w4_http_parse_listen(argv[++i], &o->listen_addr, &o->listen_port)) {
        fprintf(stderr, "w4metrics-demo: --listen needs ADDR:PORT\n");
        return 2;
      }
    } else if (a == "--debug") {
      o->debug = true;
    } else if (a == "-X" && has_next) {
      w4_prop p;
      if (!w4_parse_prop(argv[++i], &p)) {
        fprintf(stderr, "w4metrics-demo: -X needs prop=value\n");
        return 2;
      }
      o->props.push_back(p);
    } else {
      fprintf(stderr, "w4metrics-demo: unexpected argument \"%s\"\n",
              w4_arg_shown(a.c_str()).c_str());
      usage(stderr);
      return 2;
    }
  }
  return -1;
}

/* The directory of this executable, from /proc/self/exe; empty if unknown. */
static std::string exe_dir(void) {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0)
    return "";
  buf[n] = '\0';
  char *slash = strrchr(buf, '/');
  if (!slash)
    return "";
  *slash = '\0';
  return buf;
}

/* The plug-in next to the tools: <exe>/../ in the build tree, or
 * <exe>/../<libdir>/ once installed. */
static std::string default_plugin_path(void) {
  std::string dir = exe_dir();
  if (dir.empty())
    return "";
  const std::string candidates[] = {dir + "/../libw4metrics.so",
                                    dir + "/../" W4_INSTALL_LIBDIR
                                          "/libw4metrics.so"};
  for (const std::string &c : candidates)
    if (access(c.c_str(), R_OK) == 0)
      return c;
  return "";
}

/* Creates a client of the given type from props; reports and gives none on
 * failure. dr_cb, when given, becomes the delivery report callback. */
static rd_kafka_t *demo_client_new(
    demo *d, rd_kafka_type_t type, const std::vector<w4_prop> &props,
    void (*dr_cb)(rd_kafka_t *, const rd_kafka_message_t *, void *)) {
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  std::string err;
  if (!w4_conf_set_all(conf, props, &err)) {
    fprintf(stderr, "w4metrics-demo: %s\n", err.c_str());
    rd_kafka_conf_destroy(conf);
    return nullptr;
  }
  if (dr_cb)
    rd_kafka_conf_set_dr_msg_cb(conf, dr_cb);
  rd_kafka_conf_set_opaque(conf, d);
  char errstr[512];
  rd_kafka_t *rk = rd_kafka_new(type, conf, errstr, sizeof(errstr));
  if (!rk) {
    fprintf(stderr, "w4metrics-demo: cannot create client: %s\n",
            w4_hide_values(errstr, props).c_str());
    rd_kafka_conf_destroy(conf);
  }
  return rk;
}

/* Properties every client gets: the cluster, then the user's -X ones. */
static std::vector<w4_prop> demo_base_props(const demo *d,
                                            const std::string &client_id) {
  std::vector<w4_prop> props = {{"bootstrap.servers", d->bootstraps},
                                {"client.id", client_id}};
  props.insert(props.end(), d->o.props.begin(), d->o.props.end());
  return props;
}

/* Loads the plug-in: its own settings must come after the library. */
static void demo_add_plugin_props(const demo *d, std::vector<w4_prop> *props) {
  props->push_back({"plugin.library.paths", d->o.plugin});
  props->push_back(
      {std::string(W4_PREFIX) + "publishms", std::to_string(d->o.interval_ms)});
  /* The table shows p50 and p99 from the records' histograms. */
  props->push_back({std::string(W4_PREFIX) + "histogram", "true"});
  if (d->o.debug)
    props->push_back({std::string(W4_PREFIX) + "icdebug", "true"});
}

/* Starts the in-process mock cluster and creates the topics on it. */
static bool demo_mock_start(demo *d) {
  std::vector<w4_prop> props = {{"log_level", "0"}};
  d->mock_host = demo_client_new(d, RD_KAFKA_PRODUCER, props, nullptr);
  if (!d->mock_host)
    return false;
  d->mcluster = rd_kafka_mock_cluster_new(d->mock_host, 1);
  if (!d->mcluster) {
    fprintf(stderr, "w4metrics-demo: cannot start the mock cluster\n");
    return false;
  }
  d->bootstraps = rd_kafka_mock_cluster_bootstraps(d->mcluster);
  for (const demo_topic &t : demo_topics)
    rd_kafka_mock_topic_create(d->mcluster, t.name, t.partitions, 1);
  rd_kafka_mock_topic_create(d->mcluster, MONITORING_TOPIC, 1, 1);
  return true;
}

/* Creates the demo's topics and the monitoring topic on a real cluster;
 * topics that exist already are left as they are. */
static void demo_create_topics(demo *d, rd_kafka_t *rk) {
  std::vector<rd_kafka_NewTopic_t *> topics;
  char errstr[512];
  for (const demo_topic &t : demo_topics)
    topics.push_back(rd_kafka_NewTopic_new(t.name, t.partitions, -1, errstr,
                                           sizeof(errstr)));
  topics.push_back(
      rd_kafka_NewTopic_new(MONITORING_TOPIC, 1, -1, errstr, sizeof(errstr)));
  rd_kafka_queue_t *q = rd_kafka_queue_new(rk);
  rd_kafka_CreateTopics(rk, topics.data(), topics.size(), nullptr, q);
  rd_kafka_event_t *ev = rd_kafka_queue_poll(q, 15000);
  const rd_kafka_CreateTopics_result_t *res =
      ev ? rd_kafka_event_CreateTopics_result(ev) : nullptr;
  if (!res) {
    fprintf(stderr, "w4metrics-demo: creating topics: %s\n",
            ev ? rd_kafka_event_error_string(ev) : "timed out");
  } else {
    size_t cnt;
    const rd_kafka_topic_result_t **tr =
        rd_kafka_CreateTopics_result_topics(res, &cnt);
    for (size_t i = 0; i < cnt; i++) {
      rd_kafka_resp_err_t err = rd_kafka_topic_result_error(tr[i]);
      if (err && err != RD_KAFKA_RESP_ERR_TOPIC_ALREADY_EXISTS)
        fprintf(stderr, "w4metrics-demo: creating topic %s: %s\n",
                rd_kafka_topic_result_name(tr[i]),
                rd_kafka_topic_result_error_string(tr[i]));
    }
  }
  if (ev)
    rd_kafka_event_destroy(ev);
  rd_kafka_queue_destroy(q);
  for (rd_kafka_NewTopic_t *t : topics)
    rd_kafka_NewTopic_destroy(t);
  (void)d;
}

/* Creates the monitoring reader and assigns it every partition of the
 * monitoring topic: from the beginning on the fresh mock cluster, from the
 * current end on a real one (older records are not the demo's). */
static bool demo_monitor_start(demo *d) {
  std::vector<w4_prop> props = demo_base_props(d, "w4metrics-demo-reader");
  props.push_back({"group.id", d->group_id + "-reader"});
  props.push_back({"enable.auto.commit", "false"});
  props.push_back({"enable.partition.eof", "false"});
  d->monitor = demo_client_new(d, RD_KAFKA_CONSUMER, props, nullptr);
  if (!d->monitor)
    return false;
  if (!d->mcluster)
    demo_create_topics(d, d->monitor);

  int cnt = 0;
  int64_t deadline = w4_mono_ms() + 15000;
  while (cnt <= 0 && w4_mono_ms() < deadline)
    if ((cnt = w4_topic_partition_cnt(d->monitor, MONITORING_TOPIC, 2000)) <= 0)
      usleep(200 * 1000);
  if (cnt <= 0) {
    fprintf(stderr, "w4metrics-demo: no metadata for topic %s from %s\n",
            MONITORING_TOPIC, d->bootstraps.c_str());
    return false;
  }
  rd_kafka_topic_partition_list_t *parts =
      rd_kafka_topic_partition_list_new(cnt);
  for (int p = 0; p < cnt; p++) {
    int64_t lo = 0, hi = RD_KAFKA_OFFSET_END;
    if (!d->mcluster)
      rd_kafka_query_watermark_offsets(d->monitor, MONITORING_TOPIC, p, &lo,
                                       &hi, 5000);
    rd_kafka_topic_partition_list_add(parts, MONITORING_TOPIC, p)->offset =
        d->mcluster ? RD_KAFKA_OFFSET_BEGINNING : hi;
  }
  rd_kafka_assign(d->monitor, parts);
  rd_kafka_topic_partition_list_destroy(parts);
  return true;
}

/* Delivery report of the demo producer: counts acknowledged messages. */
static void demo_on_delivery(rd_kafka_t *rk, const rd_kafka_message_t *m,
                             void *opaque) {
  (void)rk;
  demo *d = static_cast<demo *>(opaque);
  if (m->err)
    d->failed++;
  else
    d->acked++;
}

/* Creates the producer and the consumer group member, both with the
 * plug-in. */
static bool demo_clients_start(demo *d) {
  std::vector<w4_prop> props = demo_base_props(d, d->view.producer_id);
  props.push_back({"linger.ms", "10"});
  demo_add_plugin_props(d, &props);
  d->producer = demo_client_new(d, RD_KAFKA_PRODUCER, props, demo_on_delivery);
  if (!d->producer)
    return false;

  props = demo_base_props(d, d->view.consumer_id);
  props.push_back({"group.id", d->group_id});
  /* On a real cluster the topics may hold older demo runs: skip them. */
  props.push_back({"auto.offset.reset", d->mcluster ? "earliest" : "latest"});
  props.push_back({"enable.partition.eof", "false"});
  demo_add_plugin_props(d, &props);
  d->consumer = demo_client_new(d, RD_KAFKA_CONSUMER, props, nullptr);
  if (!d->consumer)
    return false;
  rd_kafka_topic_partition_list_t *subs = rd_kafka_topic_partition_list_new(3);
  for (const demo_topic &t : demo_topics)
    rd_kafka_topic_partition_list_add(subs, t.name, RD_KAFKA_PARTITION_UA);
  rd_kafka_resp_err_t err = rd_kafka_subscribe(d->consumer, subs);
  rd_kafka_topic_partition_list_destroy(subs);
  if (err) {
    fprintf(stderr, "w4metrics-demo: subscribe: %s\n", rd_kafka_err2str(err));
    return false;
  }
  return true;
}

/* Messages per second at t seconds into the run: a slow wave with a burst
 * every nine seconds. */
static double demo_rate(double t) {
  const double base = 120.0;
  double rate = base * (1.0 + 0.75 * sin(2.0 * 3.14159265358979 * t / 7.0));
  if (fmod(t, 9.0) >= 6.0 && fmod(t, 9.0) < 7.0)
    rate += 2.0 * base;
  return rate;
}

/* Produces one message to a topic picked by weight, with a random key (so
 * the partitioner spreads it) and a value of random size. */
static void demo_produce_one(demo *d, double t) {
  std::uniform_real_distribution<double> pick(0.0, 1.0);
  bool second_half = t >= d->o.seconds / 2.0;
  double total = 0;
  for (const demo_topic &dt : demo_topics)
    if (!(dt.first_half_only && second_half))
      total += dt.weight;
  double x = pick(d->rng) * total;
  const demo_topic *topic = &demo_topics[0];
  for (const demo_topic &dt : demo_topics) {
    if (dt.first_half_only && second_half)
      continue;
    topic = &dt;
    if ((x -= dt.weight) < 0)
      break;
  }
  std::string key = "customer-" + std::to_string(d->rng() % 100);
  std::string value(40 + d->rng() % 360, 'x');
  rd_kafka_resp_err_t err = rd_kafka_producev(
      d->producer, RD_KAFKA_V_TOPIC(topic->name),
      RD_KAFKA_V_KEY(key.data(), key.size()),
      RD_KAFKA_V_VALUE(&value[0], value.size()),
      RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY), RD_KAFKA_V_END);
  if (!err)
    d->sent++;
}

/* Serves the consumer: counts what it hands over. */
static void demo_consume_ready(demo *d) {
  rd_kafka_message_t *m;
  while (d->consumer && (m = rd_kafka_consumer_poll(d->consumer, 0))) {
    if (!m->err)
      d->consumed++;
    rd_kafka_message_destroy(m);
  }
}

/* Starts serving the page; without it the demo goes on, and says so. */
static void demo_page_start(demo *d) {
  demo_page *p = &d->page;
  /* A window is settled once quiet for three publish intervals. The run is
   * audited as a whole, as the summary does: on the mock cluster the
   * producer's windows are not the consumer's. */
  w4_monitor_opts mo;
  mo.audit_whole_run = true;
  mo.settle_ms = 3 * d->o.interval_ms;
  mo.history_step_ms = std::max<long>(1000, d->o.interval_ms / 2);
  w4_monitor_init(&p->mon, mo);
  std::string err;
  if (!w4_monitor_serve(&p->mon, &p->http, d->o.listen_addr, d->o.listen_port,
                        &err)) {
    fprintf(stderr, "w4metrics-demo: cannot serve the page on %s:%d: %s\n",
            d->o.listen_addr.c_str(), d->o.listen_port, err.c_str());
    return;
  }
  p->url = w4_http_base_url(p->http, d->o.listen_addr) + "/";
}

/* Takes a record of the demo's own clients into the page. */
static void demo_page_add(demo *d, const rd_kafka_message_t *m) {
  w4_record rec;
  std::string err;
  if (w4_monitor_decode(m->payload, m->len, &rec, &err) &&
      (rec.client_id == d->view.producer_id ||
       rec.client_id == d->view.consumer_id))
    w4_monitor_add(&d->page.mon, rec, w4_mono_ms(), w4_wall_ms());
}

/* Reads the monitoring records that have arrived, waiting up to wait_ms for
 * the first, and settles what is due on the page now and then. */
static void demo_monitor_ready(demo *d, int wait_ms) {
  rd_kafka_message_t *m;
  while ((m = rd_kafka_consumer_poll(d->monitor, wait_ms))) {
    if (!m->err) {
      demo_view_add(&d->view, m);
      demo_page_add(d, m);
    }
    rd_kafka_message_destroy(m);
    wait_ms = 0;
  }
  int64_t now = w4_mono_ms();
  if (now - d->page_tick_ms >= 500) {
    w4_monitor_tick(&d->page.mon, now, w4_wall_ms(), nullptr);
    d->page_tick_ms = now;
  }
}

/* Prints the status lines and the table: redrawn in place on a terminal,
 * appended as a block otherwise. */
static void demo_render(demo *d, const char *phase) {
  double t = static_cast<double>(w4_mono_ms() - d->start_ms) / 1000.0;
  if (d->tty)
    fputs("\033[H\033[2J", stdout);
  else
    fputs("\n", stdout);
  printf("w4metrics demo: %s, t=%.1fs of %lds, publish interval %ld ms, %s "
         "%s\n",
         phase, t, d->o.seconds, d->o.interval_ms,
         d->mcluster ? "mock cluster" : "cluster", d->bootstraps.c_str());
  printf("sent %lld, acknowledged %lld, failed %lld, consumed %lld; "
         "monitoring records %lld\n\n",
         static_cast<long long>(d->sent), static_cast<long long>(d->acked),
         static_cast<long long>(d->failed), static_cast<long long>(d->consumed),
         static_cast<long long>(d->view.records));
  if (!d->page.url.empty())
    printf("page: %s (while the demo runs)\n\n", d->page.url.c_str());
  fputs(demo_view_table(d->view).c_str(), stdout);
  fflush(stdout);
}

/* The traffic phase: produce at the varying rate, serve both clients, read
 * the monitoring topic and redraw every publish interval. */
static void demo_traffic(demo *d) {
  const int64_t tick_ms = 10;
  int64_t end = d->start_ms + d->o.seconds * 1000;
  int64_t next_render = d->start_ms + d->o.interval_ms;
  int64_t last = d->start_ms;
  double budget = 0;
  while (!w4_stop_requested) {
    int64_t now = w4_mono_ms();
    if (now >= end)
      break;
    double t = static_cast<double>(now - d->start_ms) / 1000.0;
    /* A stall (a publish pass holds the client up) does not turn into a
     * flood afterwards. */
    budget += demo_rate(t) *
              static_cast<double>(std::min<int64_t>(now - last, 500)) / 1000.0;
    last = now;
    for (; budget >= 1.0; budget -= 1.0)
      demo_produce_one(d, t);
    rd_kafka_poll(d->producer, 0);
    demo_consume_ready(d);
    demo_monitor_ready(d, static_cast<int>(tick_ms));
    if (now >= next_render) {
      demo_render(d, "running");
      next_render += d->o.interval_ms;
    }
  }
}

/* Serves the consumer until it has caught up with what was acknowledged,
 * or has been idle for 1.5 s, 5 s at most. */
static void demo_consumer_catch_up(demo *d) {
  int64_t deadline = w4_mono_ms() + 5000;
  int64_t last_progress = w4_mono_ms();
  while (d->consumed < d->acked && w4_mono_ms() < deadline &&
         w4_mono_ms() - last_progress < 1500) {
    int64_t before = d->consumed;
    demo_consume_ready(d);
    if (d->consumed != before)
      last_progress = w4_mono_ms();
    demo_monitor_ready(d, 10);
  }
}

/* True once the records account for every message and every row has its
 * final record. */
static bool demo_complete(const demo *d) {
  return d->view.counted[DEMO_PRODUCER] == d->acked &&
         d->view.counted[DEMO_CONSUMER] == d->consumed &&
         demo_view_all_final(d->view);
}

/* Ends the traffic: flushes and destroys both clients (their final passes
 * publish the last records) and goes on reading the monitoring topic until
 * the final records are in, 5 s at most. */
static void demo_teardown_clients(demo *d) {
  rd_kafka_flush(d->producer, 10000);
  demo_consumer_catch_up(d);
  rd_kafka_destroy(d->producer);
  d->producer = nullptr;
  rd_kafka_consumer_close(d->consumer);
  rd_kafka_destroy(d->consumer);
  d->consumer = nullptr;

  int64_t deadline = w4_mono_ms() + 5000;
  while (!demo_complete(d) && w4_mono_ms() < deadline)
    demo_monitor_ready(d, 100);
}

/* Prints the summary line; returns the exit status. */
static int demo_summary(demo *d) {
  int64_t dups;
  int64_t gaps = demo_view_gaps(d->view, nullptr, &dups);
  bool ok = d->view.counted[DEMO_PRODUCER] == d->acked &&
            d->view.counted[DEMO_CONSUMER] == d->consumed && gaps == 0 &&
            dups == 0 && d->view.bad == 0;
  printf("\nsummary: %lld records read; producer: %lld of %lld acknowledged "
         "messages accounted for (%lld sent); consumer: %lld of %lld consumed "
         "messages accounted for; %lld gaps",
         static_cast<long long>(d->view.records),
         static_cast<long long>(d->view.counted[DEMO_PRODUCER]),
         static_cast<long long>(d->acked), static_cast<long long>(d->sent),
         static_cast<long long>(d->view.counted[DEMO_CONSUMER]),
         static_cast<long long>(d->consumed), static_cast<long long>(gaps));
  if (dups)
    printf("; %lld duplicate records", static_cast<long long>(dups));
  if (d->view.bad)
    printf("; %lld undecodable values", static_cast<long long>(d->view.bad));
  uint64_t pending = 0;
  w4_audit_totals audit = demo_view_audit(&d->view, &pending);
  printf("; audit: %llu produced, %llu missing, %llu duplicate, %llu "
         "pending, %s",
         static_cast<unsigned long long>(audit.messages),
         static_cast<unsigned long long>(audit.missing),
         static_cast<unsigned long long>(audit.duplicate),
         static_cast<unsigned long long>(pending),
         audit.missing + audit.duplicate > 0 ? "NOT delivered"
         : pending > 0                        ? "pending"
                                              : "delivered");
  printf("; %s\n", ok ? "OK" : "MISMATCH");
  fflush(stdout);
  return ok ? 0 : 1;
}

/* Releases whatever is still there. */
static void demo_destroy(demo *d) {
  w4_http_stop(&d->page.http);
  if (d->producer)
    rd_kafka_destroy(d->producer);
  if (d->consumer) {
    rd_kafka_consumer_close(d->consumer);
    rd_kafka_destroy(d->consumer);
  }
  if (d->monitor) {
    rd_kafka_consumer_close(d->monitor);
    rd_kafka_destroy(d->monitor);
  }
  if (d->mcluster)
    rd_kafka_mock_cluster_destroy(d->mcluster);
  if (d->mock_host)
    rd_kafka_destroy(d->mock_host);
}

/* Sets up the cluster, the reader and the clients; false on failure. */
static bool demo_start(demo *d) {
  if (d->o.plugin.empty())
    d->o.plugin = default_plugin_path();
  if (d->o.plugin.empty()) {
    fprintf(stderr, "w4metrics-demo: libw4metrics.so not found next to the "
                    "tools; name it with --plugin PATH\n");
    return false;
  }
  std::string tag = w4_random_tag();
  d->view.producer_id = "w4demo-" + tag + "-producer";
  d->view.consumer_id = "w4demo-" + tag + "-consumer";
  d->group_id = "w4demo-" + tag;
  if (d->o.bootstrap.empty()) {
    if (!demo_mock_start(d))
      return false;
  } else {
    d->bootstraps = d->o.bootstrap;
  }
  return demo_monitor_start(d) && demo_clients_start(d);
}

int main(int argc, char **argv) {
  demo d;
  int rc = parse_args(argc, argv, &d.o);
  if (rc >= 0)
    return rc;
  d.tty = isatty(STDOUT_FILENO);
  d.rng.seed(std::random_device()());

  /* SIGINT/SIGTERM end the traffic early; teardown still runs. */
  w4_stop_on_signals();
  /* A browser that hangs up mid-answer must not end the demo. */
  signal(SIGPIPE, SIG_IGN);

  if (!demo_start(&d)) {
    demo_destroy(&d);
    return 1;
  }
  demo_page_start(&d);
  d.start_ms = w4_mono_ms();
  demo_render(&d, "starting");
  demo_traffic(&d);
  demo_render(&d, "stopping clients");
  demo_teardown_clients(&d);
  demo_render(&d, "done");
  rc = demo_summary(&d);
  demo_destroy(&d);
  return rc;
}
