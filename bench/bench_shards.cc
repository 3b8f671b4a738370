/* Exporters sharing the audit (-g): how the work divides between 1, 2 and 4
 * exporters of one group, next to one exporter alone (no -g, no routing),
 * and what the routing step costs per record.
 *
 *   bench_shards [--records R] [--tps N] [--groups G] [--rounds N]
 *                [--configs alone,1,2,4] [--mon-partitions P]
 *                [--shard-partitions S] [--settle MS] [--no-state]
 *                [--keep-logs] [--poll-ms MS] [--stagger MS] [--retries N]
 *                [--run-timeout S] [--exporter PATH]
 *                [--exporter-arg ARG]... [--mock PATH]
 *
 * One mock cluster runs in a process of its own (mock_cluster) for the
 * whole benchmark, with the monitoring topic (P partitions), and for every
 * run a shard topic of S partitions and a state topic of its own, all
 * created when the cluster starts: the mock cluster does not answer
 * CreateTopics, and a topic it creates by itself has 4 partitions. It keeps
 * only the last few MB of a partition, hence 32 partitions by default. A
 * plain producer (no plug-in) fills the monitoring topic with R records
 * encoded with the plug-in's encoder: a producer and G consumer groups (one
 * client each) over N client topic-partitions (topics of 100 partitions),
 * window by window (15 s windows ending a minute ago), in runs of 100
 * records per monitoring partition.
 *
 * Then, round after round with the configurations' order rotating, each
 * configuration starts its exporters (w4metrics-exporter, --from-beginning,
 * a fresh group, shard topic and state topic each run; with --stagger they
 * start MS apart) and asks them every MS how many records they took into
 * their counters, on the page's list of clients (/metrics is megabytes at
 * this size, and scraping it that often would be measured as the exporters'
 * work), until they reach R. At that moment the CPU time of every exporter
 * and of the cluster's process is read from /proc; one scrape of /metrics
 * each then checks that w4metrics_records_total, summed over series and
 * exporters, is R, and gives the records each routed; the exporters are
 * stopped. Until the first record is routed, /metrics is scraped on every
 * turn too (it is small then), and after it once a second until every
 * exporter owns shards: when the group has shared its shards out.
 *
 * A run in which the group rebalances again after sharing its shards out
 * measures that hand-over rather than the division: it is printed apart and
 * run again, up to N times in all. The state is kept (saved once a second,
 * its cost included) unless --no-state; a shard taken on without its
 * previous owner's state is read again from its start, and its records are
 * counted twice (said, and kept in the figures). Per-run lines go to
 * stderr, the medians to stdout as a markdown table. Every child dies with
 * the benchmark (PR_SET_PDEATHSIG), and the cluster also ends when its
 * standard input closes. */
#include "monitoring/monitoring.h"
#include "w4record.h"

#include "bench_util.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <librdkafka/rdkafka.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

constexpr int SHARDS_CLIENTS_MAX = 20;
constexpr int64_t SHARDS_WINDOW_MS = 15000;
constexpr int SHARDS_PARTITIONS_PER_TOPIC = 100;
constexpr int SHARDS_RUN_LEN = 100; /* records in a row to one partition */
constexpr int SHARDS_POLL_EVERY = 1000;
constexpr int SHARDS_FLUSH_MS = 120000;
constexpr int SHARDS_CLUSTER_START_MS = 30000;
constexpr int SHARDS_EXPORTER_START_MS = 30000;
constexpr int SHARDS_STOP_MS = 20000;
constexpr int SHARDS_HTTP_MS = 10000;
constexpr int SHARDS_SCRAPES_TIMED = 10;
static const char *const shards_mon_topic = "_quarndale-monitoring";

struct shards_options {
  long records = 600000;
  int tps = 1000;
  int groups = 2;
  int rounds = 3;
  std::vector<int> configs = {0, 1, 2, 4}; /* 0: one exporter alone */
  int mon_partitions = 32;
  int shard_partitions = 32;
  long settle_ms = 2000;
  bool state = true;
  bool keep_logs = false;
  int poll_ms = 100;
  int stagger_ms = 0; /* between the starts of a run's exporters */
  int retries = 4;    /* runs repeated after a second rebalance */
  int run_timeout_s = 180;
  std::string exporter = W4_EXPORTER_PATH;
  std::vector<std::string> exporter_args; /* --exporter-arg, appended */
  std::string mock = W4_MOCK_CLUSTER_PATH;
};

/* The children alive: the cluster and the exporters of the current run,
 * stopped on every way out. */
static std::vector<pid_t> shards_children;

/* The exporters' logs (their standard error), removed after a good run,
 * kept when a run counted records twice. */
static std::vector<std::string> shards_logs;
static bool shards_keep_logs = false;

/* Milliseconds on the wall clock. */
static int64_t shards_wall_ms(void) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

/* Kills every child still alive and reaps it. */
static void shards_kill_all(void) {
  for (pid_t pid : shards_children)
    kill(pid, SIGKILL);
  for (pid_t pid : shards_children)
    waitpid(pid, nullptr, 0);
  shards_children.clear();
}

/* SIGINT, SIGTERM: the children go with the benchmark. */
static void shards_on_signal(int sig) {
  for (pid_t pid : shards_children)
    kill(pid, SIGKILL);
  signal(sig, SIG_DFL);
  raise(sig);
}

/* Forgets a child once it is reaped. */
static void shards_forget(pid_t pid) {
  shards_children.erase(
      std::remove(shards_children.begin(), shards_children.end(), pid),
      shards_children.end());
}

/* Waits for a child to end within ms, killing it past that. */
static void shards_reap(pid_t pid, int ms) {
  double deadline = bench_now_s() + ms / 1000.0;
  int status;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (bench_now_s() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(10000);
  }
  shards_forget(pid);
}

/* Starts argv with standard input from in_fd (or /dev/null when < 0),
 * standard output to out_fd (or /dev/null) and standard error to the file
 * err_path (or inherited when empty); the child dies with the benchmark.
 * -1 when it cannot be started. */
static pid_t shards_spawn(const std::vector<std::string> &args, int in_fd,
                          int out_fd, const std::string &err_path) {
  std::vector<char *> argv;
  for (const std::string &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0)
    return -1;
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
      _exit(127);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(in_fd >= 0 ? in_fd : null_fd, 0);
    dup2(out_fd >= 0 ? out_fd : null_fd, 1);
    if (!err_path.empty()) {
      int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0)
        dup2(fd, 2);
    }
    for (int fd = 3; fd < 1024; fd++)
      close(fd);
    execv(argv[0], argv.data());
    _exit(127);
  }
  shards_children.push_back(pid);
  return pid;
}

/* CPU time, user and system, of a process from /proc (seconds); -1 when it
 * cannot be read. */
static double shards_cpu_s(pid_t pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
  FILE *f = fopen(path, "r");
  if (!f)
    return -1;
  char buf[1024];
  size_t n = fread(buf, 1, sizeof(buf) - 1, f);
  fclose(f);
  buf[n] = '\0';
  /* The command's name may hold spaces: fields are counted after its ')'. */
  const char *p = strrchr(buf, ')');
  if (!p)
    return -1;
  unsigned long utime = 0, stime = 0;
  if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
             &utime, &stime) != 2)
    return -1;
  return static_cast<double>(utime + stime) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

/* The mock cluster's process. */
struct shards_cluster {
  pid_t pid = -1;
  int stdin_fd = -1; /* closing it stops the cluster */
  std::string bootstraps;
};

/* Starts the cluster with the given topics (NAME:PARTITIONS), bounded to
 * seconds; false when it does not come up. */
static bool shards_cluster_start(const shards_options &opt,
                                 const std::vector<std::string> &topics,
                                 int seconds, shards_cluster *c) {
  int in[2], out[2];
  if (pipe(in) || pipe(out))
    return false;
  std::vector<std::string> args = {opt.mock, "--seconds",
                                   std::to_string(seconds)};
  for (const std::string &t : topics) {
    args.push_back("--topic");
    args.push_back(t);
  }
  c->pid = shards_spawn(args, in[0], out[1], "");
  close(in[0]);
  close(out[1]);
  c->stdin_fd = in[1];
  bool ok = c->pid > 0 &&
            bench_read_line(out[0], SHARDS_CLUSTER_START_MS, &c->bootstraps);
  close(out[0]);
  if (!ok)
    fprintf(stderr, "bench_shards: the mock cluster did not start\n");
  return ok;
}

/* Tells the cluster to stop and waits for it. */
static void shards_cluster_stop(shards_cluster *c) {
  if (c->pid <= 0)
    return;
  close(c->stdin_fd);
  shards_reap(c->pid, SHARDS_STOP_MS);
  c->pid = -1;
}

/* The shape of the records: N client topic-partitions of a producer and G
 * consumer groups, W windows each. */
struct shards_shape {
  int tps;
  int clients; /* the producer and the groups */
  int windows;
  int64_t t0; /* the first window's start, wall clock */
};

/* The shape of about opt.records records, its windows ending a minute ago. */
static shards_shape shards_shape_of(const shards_options &opt) {
  shards_shape sh;
  sh.tps = opt.tps;
  sh.clients = 1 + opt.groups;
  sh.windows = static_cast<int>(std::max<long>(
      1, (opt.records + sh.tps * sh.clients / 2) / (sh.tps * sh.clients)));
  int64_t end = shards_wall_ms() / SHARDS_WINDOW_MS * SHARDS_WINDOW_MS - 60000;
  sh.t0 = end - sh.windows * SHARDS_WINDOW_MS;
  return sh;
}

/* The records of a shape. */
static long shards_records(const shards_shape &sh) {
  return static_cast<long>(sh.tps) * sh.clients * sh.windows;
}

/* One framed record of client c (0 the producer, then a consumer of each
 * group) for topic-partition tp and window w, as the plug-in publishes it
 * at the window's end. */
static std::string shards_record(const shards_shape &sh, int c, int tp, int w) {
  char id[32], group[32], session[40], topic[32];
  if (c)
    snprintf(id, sizeof(id), "group-%02d-consumer", c);
  else
    snprintf(id, sizeof(id), "orders-producer");
  snprintf(group, sizeof(group), "group-%02d", c);
  snprintf(session, sizeof(session), "7e4b3f5d2c1a4%019d", c);
  snprintf(topic, sizeof(topic), "topic-%03d",
           tp / SHARDS_PARTITIONS_PER_TOPIC);
  MonitoringMessage m;
  monitoring_message_init(&m);
  m.client_type = c == 0 ? W4_CLIENT_PRODUCER : W4_CLIENT_CONSUMER;
  m.partition = tp % SHARDS_PARTITIONS_PER_TOPIC;
  m.sequence = w;
  m.window = sh.t0 + w * SHARDS_WINDOW_MS;
  m.timestamp = m.window + SHARDS_WINDOW_MS + 20;
  m.window_size = SHARDS_WINDOW_MS;
  m.count = 40 + (tp + w) % 200;
  m.aggregate_bytes = m.count * 350;
  m.latency_sum = m.count * 12;
  m.min_latency = 3;
  m.max_latency = 41;
  if (w > 0)
    m.min_recent_window = m.max_recent_window = m.window - SHARDS_WINDOW_MS;
  string_encode_callback(&m.client_id, id);
  string_encode_callback(&m.group_id, c ? group : nullptr);
  string_encode_callback(&m.session_id, session);
  string_encode_callback(&m.cluster_id, "lkc-9x8y7z");
  string_encode_callback(&m.topic, topic);
  size_t n = 0;
  pb_get_encoded_size(&n, monitoring_MonitoringMessage_fields, &m);
  std::string out(n + 1, '\0');
  out[0] = static_cast<char>(W4_RECORD_MAGIC);
  pb_ostream_t os =
      pb_ostream_from_buffer(reinterpret_cast<pb_byte_t *>(&out[1]), n);
  pb_encode(&os, monitoring_MonitoringMessage_fields, &m);
  return out;
}

/* Delivery reports of the fill. */
struct shards_delivery {
  long delivered = 0;
  long failed = 0;
};

/* Counts one settled record. */
static void shards_dr_cb(rd_kafka_t *, const rd_kafka_message_t *msg,
                         void *opaque) {
  shards_delivery *d = static_cast<shards_delivery *>(opaque);
  if (msg->err)
    d->failed++;
  else
    d->delivered++;
}

/* A plain producer on the cluster (no plug-in), its delivery reports
 * counted in *d; none when it cannot be created. */
static rd_kafka_t *shards_producer_new(const std::string &bootstraps,
                                       shards_delivery *d) {
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  bench_conf_set("bench_shards", conf, "bootstrap.servers", bootstraps);
  bench_conf_set("bench_shards", conf, "log_level", "3");
  rd_kafka_conf_set_dr_msg_cb(conf, shards_dr_cb);
  rd_kafka_conf_set_opaque(conf, d);
  char errstr[512];
  rd_kafka_t *rk =
      rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!rk) {
    fprintf(stderr, "bench_shards: producer: %s\n", errstr);
    rd_kafka_conf_destroy(conf);
  }
  return rk;
}

/* Fills the monitoring topic with the shape's records through rk, window
 * by window, in runs of 100 records per partition, and checks that the
 * cluster holds every one from offset 0; false otherwise. */
static bool shards_fill(const shards_options &opt, const shards_shape &sh,
                        rd_kafka_t *rk, shards_delivery *d, double *bytes) {
  long i = 0;
  *bytes = 0;
  for (int w = 0; w < sh.windows; w++)
    for (int tp = 0; tp < sh.tps; tp++)
      for (int c = 0; c < sh.clients; c++) {
        std::string value = shards_record(sh, c, tp, w);
        *bytes += static_cast<double>(value.size());
        int32_t part =
            static_cast<int32_t>(i / SHARDS_RUN_LEN % opt.mon_partitions);
        rd_kafka_resp_err_t err;
        while ((err = rd_kafka_producev(
                    rk, RD_KAFKA_V_TOPIC(shards_mon_topic),
                    RD_KAFKA_V_PARTITION(part),
                    RD_KAFKA_V_VALUE(&value[0], value.size()),
                    RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY),
                    RD_KAFKA_V_END)) == RD_KAFKA_RESP_ERR__QUEUE_FULL)
          rd_kafka_poll(rk, 1);
        if (err) {
          fprintf(stderr, "bench_shards: produce: %s\n", rd_kafka_err2str(err));
          return false;
        }
        if (++i % SHARDS_POLL_EVERY == 0)
          rd_kafka_poll(rk, 0);
      }
  rd_kafka_flush(rk, SHARDS_FLUSH_MS);
  bool ok = d->delivered == i && d->failed == 0;
  if (!ok)
    fprintf(stderr, "bench_shards: %ld delivered, %ld failed of %ld\n",
            d->delivered, d->failed, i);
  int64_t held = 0;
  for (int p = 0; ok && p < opt.mon_partitions; p++) {
    int64_t lo = -1, hi = -1;
    if (rd_kafka_query_watermark_offsets(rk, shards_mon_topic, p, &lo, &hi,
                                         5000) ||
        lo != 0) {
      fprintf(stderr, "bench_shards: partition %d holds offsets %lld to %lld\n",
              p, static_cast<long long>(lo), static_cast<long long>(hi));
      ok = false;
    }
    held += hi;
  }
  if (ok && held != i)
    ok = false;
  if (!ok)
    fprintf(stderr, "bench_shards: the cluster does not hold every record "
                    "from offset 0; use more partitions or fewer records\n");
  return ok;
}

/* The body of GET path from 127.0.0.1:port; false when it did not answer
 * 200 within the bound. */
static bool shards_http_get(int port, const char *path, std::string *body) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0)
    return false;
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa))) {
    close(fd);
    return false;
  }
  std::string req = std::string("GET ") + path +
                    " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (write(fd, req.data(), req.size()) != static_cast<ssize_t>(req.size())) {
    close(fd);
    return false;
  }
  std::string resp;
  char buf[65536];
  double deadline = bench_now_s() + SHARDS_HTTP_MS / 1000.0;
  for (;;) {
    struct pollfd pfd = {fd, POLLIN, 0};
    int left = static_cast<int>((deadline - bench_now_s()) * 1000);
    if (left <= 0 || poll(&pfd, 1, left) <= 0)
      break;
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0)
      break;
    resp.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  size_t head = resp.find("\r\n\r\n");
  if (head == std::string::npos || resp.compare(0, 7, "HTTP/1.") != 0 ||
      resp.compare(9, 3, "200") != 0)
    return false;
  body->assign(resp, head + 4, std::string::npos);
  return true;
}

/* What one scrape of an exporter says. */
struct shards_scrape {
  double audited = 0; /* w4metrics_records_total, summed over series */
  double routed = 0;
  double rerouted = 0;
  double owned = 0;
  double bad = 0;
  size_t bytes = 0;
};

/* The value of a sample line. */
static double shards_value(const std::string &text, size_t line_end) {
  size_t sp = text.rfind(' ', line_end);
  return sp == std::string::npos ? 0 : atof(text.c_str() + sp + 1);
}

/* Reads the figures of the benchmark from an exposition text. */
static shards_scrape shards_parse(const std::string &text) {
  static const std::string records = "w4metrics_records_total{";
  static const std::string routed = "w4metrics_routed_records_total ";
  static const std::string rerouted = "w4metrics_rerouted_records_total ";
  static const std::string owned = "w4metrics_shards_owned ";
  static const std::string bad = "w4metrics_bad_records_total ";
  shards_scrape s;
  s.bytes = text.size();
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos)
      end = text.size();
    if (text[at] == 'w') {
      if (text.compare(at, records.size(), records) == 0)
        s.audited += shards_value(text, end);
      else if (text.compare(at, routed.size(), routed) == 0)
        s.routed = shards_value(text, end);
      else if (text.compare(at, rerouted.size(), rerouted) == 0)
        s.rerouted = shards_value(text, end);
      else if (text.compare(at, owned.size(), owned) == 0)
        s.owned = shards_value(text, end);
      else if (text.compare(at, bad.size(), bad) == 0)
        s.bad = shards_value(text, end);
    }
    at = end + 1;
  }
  return s;
}

/* One exporter of a run. */
struct shards_exporter {
  pid_t pid = -1;
  int port = 0;
  std::string log;
  shards_scrape last;
  double cpu_s = 0;
  double cpu_first_s = 0;  /* CPU time when the run's first record came */
  int scrapes = 0;         /* of /metrics before the end */
  double scrape_cpu_s = 0; /* CPU time of one, at the end */
};

/* The port an exporter serves on, from its standard error ("serving
 * http://ADDR:PORT/metrics"); 0 when it did not say within the bound. */
static int shards_port_of(const shards_exporter &x) {
  double deadline = bench_now_s() + SHARDS_EXPORTER_START_MS / 1000.0;
  while (bench_now_s() < deadline) {
    FILE *f = fopen(x.log.c_str(), "r");
    char line[512];
    while (f && fgets(line, sizeof(line), f)) {
      const char *at = strstr(line, "serving http://");
      const char *colon = at ? strchr(at + 15, ':') : nullptr;
      if (colon) {
        fclose(f);
        return atoi(colon + 1);
      }
    }
    if (f)
      fclose(f);
    int status;
    if (waitpid(x.pid, &status, WNOHANG) == x.pid) {
      shards_forget(x.pid);
      return 0;
    }
    usleep(20000);
  }
  return 0;
}

/* The configuration's name: "alone" or "K with -g". */
static std::string shards_config_name(int k) {
  return k == 0 ? "1 alone" : std::to_string(k) + " with -g";
}

/* What one run measured. */
struct shards_run {
  bool ok = false;
  double first_s = -1;  /* from the start to the first record counted */
  double shared_s = -1; /* to every exporter owning shards, all shards owned */
  double done_s = -1;   /* to every record counted */
  double routed_s = -1; /* to the first record routed (-g) */
  double audited = 0;   /* w4metrics_records_total, over the exporters */
  double bad = 0;
  int taken_on = 0;          /* shards taken on, over the run's rebalances */
  double last_start_s = 0;   /* when the last exporter started */
  int64_t state_records = 0; /* written to the state topic */
  int64_t state_cut = 0;     /* of them, dropped by the cluster */
  double state_bytes = 0;    /* written to it, estimated */
  int shards_cut = 0;        /* shard partitions the cluster cut */
  double mock_cpu_s = 0;
  std::vector<shards_exporter> ex;
};

/* The arguments of one exporter of configuration k in run n. */
static std::vector<std::string> shards_exporter_args(const shards_options &opt,
                                                     const std::string &boot,
                                                     int k, int n) {
  std::vector<std::string> a = {opt.exporter,
                                "-b",
                                boot,
                                "-t",
                                shards_mon_topic,
                                "--from-beginning",
                                "--listen",
                                "127.0.0.1:0",
                                "--settle",
                                std::to_string(opt.settle_ms)};
  if (opt.state) {
    a.push_back("--state-topic");
    a.push_back("bench-state-" + std::to_string(n));
  } else {
    a.push_back("--no-state");
  }
  if (k > 0) {
    a.insert(a.end(),
             {"-g", "bench-group-" + std::to_string(n), "--shard-topic",
              "bench-shards-" + std::to_string(n), "--shard-partitions",
              std::to_string(opt.shard_partitions)});
  }
  a.insert(a.end(), opt.exporter_args.begin(), opt.exporter_args.end());
  return a;
}

/* Stops the exporters of a run: SIGTERM, then SIGKILL past the bound. */
static void shards_stop_exporters(std::vector<shards_exporter> *ex) {
  for (shards_exporter &x : *ex)
    if (x.pid > 0)
      kill(x.pid, SIGTERM);
  for (shards_exporter &x : *ex)
    if (x.pid > 0) {
      shards_reap(x.pid, SHARDS_STOP_MS);
      x.pid = -1;
    }
}

/* Records counted by an exporter, from its page's list of clients: summed
 * over clients, as w4metrics_records_total is over series, and cheap to
 * make (a scrape of /metrics at this size is megabytes, and frequent ones
 * would be measured as the exporter's work); -1 when it did not answer. */
static double shards_progress(int port) {
  static const std::string key = "\"records\":";
  std::string body;
  if (!shards_http_get(port, "/api/clients?limit=1000", &body))
    return -1;
  double sum = 0;
  for (size_t at = body.find(key); at != std::string::npos;
       at = body.find(key, at + 1))
    sum += atof(body.c_str() + at + key.size());
  return sum;
}

/* Lines of an exporter's log that say a shard was taken on. */
static int shards_taken_on(const shards_exporter &x) {
  FILE *f = fopen(x.log.c_str(), "r");
  if (!f)
    return 0;
  char line[512];
  int n = 0;
  while (fgets(line, sizeof(line), f))
    n += strstr(line, "taken on") != nullptr;
  fclose(f);
  return n;
}

/* The mean size of the values that partition 0 of topic holds from
 * offset lo to hi, read with a plain consumer; 0 when none was read. */
static double shards_mean_value(const std::string &bootstraps,
                                const std::string &topic, int64_t lo,
                                int64_t hi) {
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  bench_conf_set("bench_shards", conf, "bootstrap.servers", bootstraps);
  bench_conf_set("bench_shards", conf, "group.id", "bench-shards-reader");
  bench_conf_set("bench_shards", conf, "log_level", "3");
  char errstr[512];
  rd_kafka_t *rk =
      rd_kafka_new(RD_KAFKA_CONSUMER, conf, errstr, sizeof(errstr));
  if (!rk) {
    rd_kafka_conf_destroy(conf);
    return 0;
  }
  rd_kafka_topic_partition_list_t *parts = rd_kafka_topic_partition_list_new(1);
  rd_kafka_topic_partition_list_add(parts, topic.c_str(), 0)->offset = lo;
  rd_kafka_assign(rk, parts);
  rd_kafka_topic_partition_list_destroy(parts);
  double bytes = 0, n = 0, deadline = bench_now_s() + 10;
  for (int64_t next = lo; next < hi && bench_now_s() < deadline;) {
    rd_kafka_message_t *m = rd_kafka_consumer_poll(rk, 200);
    if (!m)
      continue;
    if (!m->err) {
      bytes += static_cast<double>(m->len);
      n++;
      next = m->offset + 1;
    }
    rd_kafka_message_destroy(m);
  }
  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
  return n > 0 ? bytes / n : 0;
}

/* Notes what the cluster holds of run n's state and shard topics: the
 * mock cluster keeps only the last few MB of a partition, and a state read
 * whole at a hand-over may miss what was cut. The state's bytes are
 * estimated from the values still held. */
static void shards_topics_said(const shards_options &opt,
                               const shards_cluster &c, rd_kafka_t *rk, int k,
                               int n, shards_run *r) {
  std::string state = "bench-state-" + std::to_string(n);
  std::string shard = "bench-shards-" + std::to_string(n);
  int64_t lo = 0, hi = 0;
  if (opt.state &&
      !rd_kafka_query_watermark_offsets(rk, state.c_str(), 0, &lo, &hi, 5000)) {
    r->state_records = hi;
    r->state_cut = lo;
    r->state_bytes = static_cast<double>(hi) *
                     shards_mean_value(c.bootstraps, state, lo, hi);
  }
  for (int p = 0; k > 0 && p < opt.shard_partitions; p++)
    if (!rd_kafka_query_watermark_offsets(rk, shard.c_str(), p, &lo, &hi,
                                          5000) &&
        lo > 0)
      r->shards_cut++;
}

/* Runs configuration k as run n: starts its exporters, follows them until
 * every record is counted, reads their CPU time then and scrapes their
 * /metrics once. */
static shards_run shards_run_config(const shards_options &opt,
                                    const shards_cluster &c, rd_kafka_t *rk,
                                    const std::string &dir, long records, int k,
                                    int n) {
  shards_run r;
  int count = std::max(k, 1);
  double mock_cpu0 = shards_cpu_s(c.pid);
  double t0 = bench_now_s();
  /* Starts the next exporter; false when it cannot be started. */
  auto start = [&]() {
    shards_exporter x;
    x.log = dir + "/run" + std::to_string(n) + "-exporter" +
            std::to_string(r.ex.size()) + ".log";
    shards_logs.push_back(x.log);
    x.pid = shards_spawn(shards_exporter_args(opt, c.bootstraps, k, n), -1, -1,
                         x.log);
    r.ex.push_back(x);
    return x.pid > 0;
  };
  /* Waits for the exporters started to serve; false when one does not. */
  auto serving = [&]() {
    for (shards_exporter &x : r.ex)
      if (x.port == 0 && (x.pid <= 0 || (x.port = shards_port_of(x)) == 0)) {
        fprintf(stderr, "bench_shards: an exporter did not start, see %s\n",
                x.log.c_str());
        shards_stop_exporters(&r.ex);
        return false;
      }
    return true;
  };
  for (int i = 0; i < (opt.stagger_ms > 0 ? 1 : count); i++)
    start();
  if (!serving())
    return r;
  double deadline = t0 + opt.run_timeout_s, next_scrape = 0;
  std::string body;
  while (bench_now_s() < deadline) {
    if (static_cast<int>(r.ex.size()) < count &&
        bench_now_s() >= t0 + r.ex.size() * opt.stagger_ms / 1000.0) {
      start();
      r.last_start_s = bench_now_s() - t0;
      if (!serving())
        return r;
    }
    /* Once records flow, /metrics grows: asked once a second only. */
    if (k > 0 && (r.routed_s < 0 || r.shared_s < 0) &&
        (r.routed_s < 0 || bench_now_s() >= next_scrape)) {
      double routed = 0, owned = 0;
      bool all_own = true;
      next_scrape = bench_now_s() + 1;
      for (shards_exporter &x : r.ex) {
        shards_scrape s;
        x.scrapes++;
        if (shards_http_get(x.port, "/metrics", &body))
          s = shards_parse(body);
        routed += s.routed;
        owned += s.owned;
        all_own = all_own && s.owned > 0;
      }
      double now = bench_now_s() - t0;
      if (r.routed_s < 0 && routed > 0) {
        r.routed_s = now;
        for (shards_exporter &x : r.ex)
          x.cpu_first_s = shards_cpu_s(x.pid);
      }
      if (r.shared_s < 0 && static_cast<int>(r.ex.size()) == count && all_own &&
          owned == opt.shard_partitions)
        r.shared_s = now;
    }
    double audited = 0;
    for (shards_exporter &x : r.ex)
      audited += std::max(0.0, shards_progress(x.port));
    double now = bench_now_s() - t0;
    if (r.first_s < 0 && audited > 0) {
      r.first_s = now;
      for (shards_exporter &x : r.ex)
        if (k == 0)
          x.cpu_first_s = shards_cpu_s(x.pid);
    }
    if (audited >= static_cast<double>(records)) {
      r.done_s = now;
      for (shards_exporter &x : r.ex)
        x.cpu_s = shards_cpu_s(x.pid);
      r.mock_cpu_s = shards_cpu_s(c.pid) - mock_cpu0;
      r.ok = true;
      break;
    }
    usleep(static_cast<useconds_t>(opt.poll_ms) * 1000);
  }
  /* The figures of record: one scrape of /metrics each, once done. */
  for (shards_exporter &x : r.ex) {
    if (r.ok && !shards_http_get(x.port, "/metrics", &body)) {
      fprintf(stderr, "bench_shards: no /metrics at the end, see %s\n",
              x.log.c_str());
      r.ok = false;
    }
    if (r.ok) {
      x.last = shards_parse(body);
      r.audited += x.last.audited;
      r.bad += x.last.bad;
    }
  }
  /* What a scrape of that size costs an exporter, now idle: the scrapes
   * made before the end are in its CPU time. */
  for (shards_exporter &x : r.ex) {
    double cpu0 = shards_cpu_s(x.pid);
    for (int i = 0; r.ok && i < SHARDS_SCRAPES_TIMED; i++)
      shards_http_get(x.port, "/metrics", &body);
    x.scrape_cpu_s = (shards_cpu_s(x.pid) - cpu0) / SHARDS_SCRAPES_TIMED;
  }
  shards_stop_exporters(&r.ex);
  for (const shards_exporter &x : r.ex)
    r.taken_on += shards_taken_on(x);
  shards_topics_said(opt, c, rk, k, n, &r);
  if (r.ok && (r.audited < static_cast<double>(records) || r.bad > 0)) {
    fprintf(stderr,
            "bench_shards: %s, run %d: w4metrics_records_total sums to "
            "%.0f of %ld records, %.0f bad records; see %s\n",
            shards_config_name(k).c_str(), n, r.audited, records, r.bad,
            dir.c_str());
    r.ok = false;
  } else if (r.ok && r.audited > static_cast<double>(records)) {
    /* Taken twice at a hand-over: the run is kept, its figures include
     * the work done twice, and the table says how much. */
    fprintf(stderr,
            "bench_shards: %s, run %d: %.0f records counted twice (a shard "
            "taken on without its previous owner's state); see %s\n",
            shards_config_name(k).c_str(), n,
            r.audited - static_cast<double>(records), dir.c_str());
    shards_keep_logs = true;
  }
  if (!r.ok && r.done_s < 0)
    fprintf(stderr,
            "bench_shards: %s, run %d: not every record counted "
            "within %d s, see %s\n",
            shards_config_name(k).c_str(), n, opt.run_timeout_s, dir.c_str());
  return r;
}

/* The figures of a configuration's runs. */
struct shards_series {
  std::vector<double> wall_s, from_first_s, first_s, shared_s, rate,
      group_cpu_us, mock_cpu_us;
  /* Per exporter, sorted by their share of the records counted, largest
   * first: CPU per record of its share, the share counted and routed. */
  std::vector<std::vector<double>> cpu_us, audited_share, routed_share;
  std::vector<double> scrape_kb;
  std::vector<double> taken_on;       /* shards taken on in a run */
  std::vector<double> rerouted;       /* records routed again, all exporters */
  std::vector<double> twice;          /* records counted twice */
  std::vector<double> state_mb_per_s; /* written to the state topic */
};

/* A run in which the group rebalanced more than once. */
struct shards_again {
  int k;
  double shared_s, done_s, cpu_us, rerouted, twice;
};

/* The figures of such a run. */
static shards_again shards_again_of(const shards_run &r, int k, long records) {
  shards_again a = {k, r.shared_s, r.done_s, 0, 0, 0};
  for (const shards_exporter &x : r.ex) {
    a.cpu_us += x.cpu_s * 1e6 / static_cast<double>(records);
    a.rerouted += x.last.rerouted;
  }
  a.twice = r.audited - static_cast<double>(records);
  return a;
}

/* Prints a run's line and adds it to the configuration's figures. */
static void shards_series_add(shards_series *s, const shards_run &r, int k,
                              int round, long records) {
  std::vector<shards_exporter> ex = r.ex;
  std::sort(ex.begin(), ex.end(),
            [](const shards_exporter &a, const shards_exporter &b) {
              return a.last.audited > b.last.audited;
            });
  /* With -g from the first record routed: the first one counted comes
   * after the shard topic's first fetch. */
  double from_first = r.done_s - std::max(k > 0 ? r.routed_s : r.first_s, 0.0);
  double cpu = 0;
  for (const shards_exporter &x : ex)
    cpu += x.cpu_s;
  s->wall_s.push_back(r.done_s);
  s->from_first_s.push_back(from_first);
  s->first_s.push_back(r.first_s);
  if (r.shared_s >= 0)
    s->shared_s.push_back(r.shared_s - r.last_start_s);
  s->rate.push_back(static_cast<double>(records) / from_first);
  s->group_cpu_us.push_back(cpu * 1e6 / static_cast<double>(records));
  s->mock_cpu_us.push_back(r.mock_cpu_s * 1e6 / static_cast<double>(records));
  s->cpu_us.resize(ex.size());
  s->audited_share.resize(ex.size());
  s->routed_share.resize(ex.size());
  s->taken_on.push_back(r.taken_on);
  double rerouted = 0;
  for (const shards_exporter &x : ex)
    rerouted += x.last.rerouted;
  s->rerouted.push_back(rerouted);
  s->twice.push_back(r.audited - static_cast<double>(records));
  s->state_mb_per_s.push_back(r.state_bytes / 1e6 / r.done_s);
  fprintf(stderr,
          "round %d %-10s state topic: %lld records (about %.0f MB, %.1f MB/s "
          "of the run), the cluster dropped the first %lld; shard partitions "
          "cut: %d\n",
          round + 1, shards_config_name(k).c_str(),
          static_cast<long long>(r.state_records), r.state_bytes / 1e6,
          r.state_bytes / 1e6 / r.done_s, static_cast<long long>(r.state_cut),
          r.shards_cut);
  fprintf(stderr,
          "round %d %-10s start to done %6.2f s, first record routed at "
          "%5.2f s, counted at %5.2f s, last exporter started at %5.2f s, "
          "shards shared at %5.2f s (%d taken on), %7.0f records/s from the "
          "first; CPU %6.2f us/record in all, cluster %5.2f us/record\n",
          round + 1, shards_config_name(k).c_str(), r.done_s, r.routed_s,
          r.first_s, r.last_start_s, r.shared_s, r.taken_on,
          static_cast<double>(records) / from_first,
          cpu * 1e6 / static_cast<double>(records),
          r.mock_cpu_s * 1e6 / static_cast<double>(records));
  for (size_t i = 0; i < ex.size(); i++) {
    const shards_exporter &x = ex[i];
    double per = x.last.audited > 0 ? x.cpu_s * 1e6 / x.last.audited : 0;
    s->cpu_us[i].push_back(per);
    s->audited_share[i].push_back(x.last.audited /
                                  static_cast<double>(records));
    s->routed_share[i].push_back(x.last.routed / static_cast<double>(records));
    s->scrape_kb.push_back(static_cast<double>(x.last.bytes) / 1e3);
    fprintf(stderr,
            "    exporter: CPU %6.2f s (%.2f s before the first record), "
            "counted %7.0f, routed %7.0f, rerouted %.0f, shards %.0f, bad "
            "%.0f, %6.2f us/record counted, scrape %.0f kB (%d before the "
            "end, %.1f ms of CPU each at the end)\n",
            x.cpu_s, x.cpu_first_s, x.last.audited, x.last.routed,
            x.last.rerouted, x.last.owned, x.last.bad, per,
            static_cast<double>(x.last.bytes) / 1e3, x.scrapes,
            x.scrape_cpu_s * 1e3);
  }
}

/* Position-wise medians of per-exporter figures, joined with " / ". */
static std::string shards_join(const std::vector<std::vector<double>> &v,
                               const char *fmt, double scale) {
  std::string out;
  for (const std::vector<double> &x : v) {
    char buf[32];
    snprintf(buf, sizeof(buf), fmt, bench_median(x) * scale);
    out += (out.empty() ? "" : " / ") + std::string(buf);
  }
  return out;
}

/* Names the options and exits. */
static void shards_usage(void) {
  fprintf(stderr,
          "usage: bench_shards [--records R] [--tps N] [--groups G] "
          "[--rounds N] [--configs alone,1,2,4] [--mon-partitions P] "
          "[--shard-partitions S] [--settle MS] [--no-state] [--keep-logs] "
          "[--poll-ms MS] [--stagger MS] [--retries N] [--run-timeout S] "
          "[--exporter PATH] "
          "[--exporter-arg ARG]... "
          "[--mock PATH]\n");
  exit(2);
}

/* Reads the list of configurations: "alone" or an exporter count. */
static std::vector<int> shards_parse_configs(const char *v) {
  std::vector<int> out;
  std::string list = v;
  for (size_t at = 0; at <= list.size();) {
    size_t comma = list.find(',', at);
    if (comma == std::string::npos)
      comma = list.size();
    std::string item = list.substr(at, comma - at);
    int k = item == "alone" ? 0 : atoi(item.c_str());
    if (k < 0 || (k == 0 && item != "alone"))
      shards_usage();
    out.push_back(k);
    at = comma + 1;
  }
  return out;
}

/* Reads the options. */
static shards_options shards_parse_args(int argc, char **argv) {
  shards_options opt;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--no-state" || a == "--keep-logs") {
      (a == "--no-state" ? opt.state : opt.keep_logs) = a == "--keep-logs";
      continue;
    }
    if (i + 1 >= argc)
      shards_usage();
    const char *v = argv[++i];
    if (a == "--records")
      opt.records = atol(v);
    else if (a == "--tps")
      opt.tps = atoi(v);
    else if (a == "--groups")
      opt.groups = atoi(v);
    else if (a == "--rounds")
      opt.rounds = atoi(v);
    else if (a == "--configs")
      opt.configs = shards_parse_configs(v);
    else if (a == "--mon-partitions")
      opt.mon_partitions = atoi(v);
    else if (a == "--shard-partitions")
      opt.shard_partitions = atoi(v);
    else if (a == "--settle")
      opt.settle_ms = atol(v);
    else if (a == "--retries")
      opt.retries = atoi(v);
    else if (a == "--stagger")
      opt.stagger_ms = atoi(v);
    else if (a == "--poll-ms")
      opt.poll_ms = atoi(v);
    else if (a == "--run-timeout")
      opt.run_timeout_s = atoi(v);
    else if (a == "--exporter-arg")
      opt.exporter_args.push_back(v);
    else if (a == "--exporter")
      opt.exporter = v;
    else if (a == "--mock")
      opt.mock = v;
    else
      shards_usage();
  }
  if (opt.records < 1 || opt.tps < 1 || opt.groups < 0 ||
      opt.groups + 1 > SHARDS_CLIENTS_MAX || opt.rounds < 1 ||
      opt.configs.empty() || opt.mon_partitions < 1 ||
      opt.shard_partitions < 1 || opt.settle_ms < 1 || opt.poll_ms < 1 ||
      opt.stagger_ms < 0 || opt.retries < 0 || opt.run_timeout_s < 1)
    shards_usage();
  return opt;
}

/* The load average's first three figures. */
static std::string shards_loadavg(void) {
  FILE *f = fopen("/proc/loadavg", "r");
  char buf[128] = "";
  if (f) {
    if (!fgets(buf, sizeof(buf), f))
      buf[0] = '\0';
    fclose(f);
  }
  std::string s = buf;
  size_t sp = 0;
  for (int i = 0; i < 3 && sp != std::string::npos; i++)
    sp = s.find(' ', sp + 1);
  return s.substr(0, sp);
}

/* Prints the table of the medians and the routing step's cost. */
static void shards_print(const shards_options &opt, const shards_shape &sh,
                         long records, double bytes,
                         const std::vector<int> &configs,
                         const std::vector<shards_series> &series,
                         const std::vector<shards_again> &again,
                         const std::string &load0) {
  printf("## Exporters sharing the audit\n\n");
  printf("- %ld records (%.0f B each on average): a producer and %d groups "
         "over %d client topic-partitions, %d windows of 15 s\n",
         records, bytes / static_cast<double>(records), opt.groups, sh.tps,
         sh.windows);
  printf("- monitoring topic of %d partitions, shard topics of %d; state "
         "%s; --settle %ld; progress asked every %d ms\n",
         opt.mon_partitions, opt.shard_partitions,
         opt.state ? "kept (saved once a second)" : "off (--no-state)",
         opt.settle_ms, opt.poll_ms);
  printf("- %d rounds, configurations alternating, medians; %ld cores; load "
         "average %s (start), %s (end)\n\n",
         opt.rounds, sysconf(_SC_NPROCESSORS_ONLN), load0.c_str(),
         shards_loadavg().c_str());
  printf("| exporters | start to done | first record to done | records/s "
         "(from the first) | CPU µs per record, all exporters | CPU µs per "
         "record of its share, each exporter | records counted, each | "
         "records routed, each | routed again, taken once / counted twice | "
         "cluster CPU µs per record | shards shared out%s |\n",
         opt.stagger_ms ? " (after the last start)" : "");
  printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (size_t i = 0; i < configs.size(); i++) {
    const shards_series &s = series[i];
    char shared[96] = "–";
    int more = 0;
    for (double t : s.taken_on)
      more += t > opt.shard_partitions;
    if (!s.shared_s.empty())
      snprintf(shared, sizeof(shared), "%.1f s (at most %.1f s)%s",
               bench_median(s.shared_s),
               *std::max_element(s.shared_s.begin(), s.shared_s.end()),
               more ? "; rebalanced again" : "");
    if (more) {
      char n[48];
      snprintf(n, sizeof(n), " in %d of %zu runs", more, s.taken_on.size());
      strncat(shared, n, sizeof(shared) - strlen(shared) - 1);
    }
    char twice[64] = "–";
    if (configs[i])
      snprintf(twice, sizeof(twice), "%.0f / %.0f", bench_median(s.rerouted),
               bench_median(s.twice));
    printf(
        "| %s | %.1f s | %.1f s | %.0f | %.2f | %s | %s | %s | %s | %.2f | "
        "%s |\n",
        shards_config_name(configs[i]).c_str(), bench_median(s.wall_s),
        bench_median(s.from_first_s), bench_median(s.rate),
        bench_median(s.group_cpu_us), shards_join(s.cpu_us, "%.2f", 1).c_str(),
        shards_join(s.audited_share, "%.1f%%", 100).c_str(),
        configs[i] ? shards_join(s.routed_share, "%.1f%%", 100).c_str() : "–",
        twice, bench_median(s.mock_cpu_us), shared);
  }
  int alone = -1, one = -1;
  for (size_t i = 0; i < configs.size(); i++) {
    if (configs[i] == 0)
      alone = static_cast<int>(i);
    if (configs[i] == 1)
      one = static_cast<int>(i);
  }
  if (alone >= 0 && one >= 0) {
    std::vector<double> diff;
    const shards_series &a = series[alone], &g = series[one];
    for (size_t r = 0; r < a.group_cpu_us.size() && r < g.group_cpu_us.size();
         r++)
      diff.push_back(g.group_cpu_us[r] - a.group_cpu_us[r]);
    printf("\nRouting, per record: one exporter with -g minus one alone, "
           "%.2f µs of the exporter's CPU (median of the rounds' "
           "differences; %.2f − %.2f µs by medians), and %.2f µs more of "
           "the cluster's\n",
           bench_median(diff), bench_median(g.group_cpu_us),
           bench_median(a.group_cpu_us),
           bench_median(g.mock_cpu_us) - bench_median(a.mock_cpu_us));
  }
  if (opt.state) {
    printf("\nState written to the state topics, MB per second of the run "
           "(estimated from the values that the cluster still held):");
    for (size_t i = 0; i < configs.size(); i++)
      printf("%s %s %.1f", i ? "," : "", shards_config_name(configs[i]).c_str(),
             bench_median(series[i].state_mb_per_s));
    printf("\n");
  }
  std::vector<double> kb;
  for (const shards_series &s : series)
    kb.insert(kb.end(), s.scrape_kb.begin(), s.scrape_kb.end());
  printf("\nA scrape of /metrics at the end: %.0f kB (median over exporters "
         "and runs)\n",
         bench_median(kb));
  if (!again.empty()) {
    printf("\nRuns in which the group rebalanced again after sharing its "
           "shards out (each run again):\n\n");
    printf("| exporters | shards shared out | start to done | CPU µs per "
           "record, all exporters | records routed again, taken once | records "
           "counted twice |\n");
    printf("|---|---|---|---|---|---|\n");
    for (const shards_again &a : again) {
      char shared[32] = "not before the end";
      if (a.shared_s >= 0)
        snprintf(shared, sizeof(shared), "%.1f s", a.shared_s);
      printf("| %s | %s | %.1f s | %.2f | %.0f | %.0f |\n",
             shards_config_name(a.k).c_str(), shared, a.done_s, a.cpu_us,
             a.rerouted, a.twice);
    }
  }
  fflush(stdout);
}

/* Starts the cluster, fills the topic, runs every configuration round
 * after round and prints the medians. */
int main(int argc, char **argv) {
  shards_options opt = shards_parse_args(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, shards_on_signal);
  signal(SIGTERM, shards_on_signal);
  signal(SIGHUP, shards_on_signal);
  atexit(shards_kill_all);
  std::string load0 = shards_loadavg();

  const char *tmp = getenv("TMPDIR");
  std::string dir =
      std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_shards.XXXXXX";
  if (!mkdtemp(&dir[0])) {
    fprintf(stderr, "bench_shards: %s: %s\n", dir.c_str(), strerror(errno));
    return 1;
  }

  int runs = opt.rounds * static_cast<int>(opt.configs.size()) + opt.retries;
  std::vector<std::string> topics = {std::string(shards_mon_topic) + ":" +
                                     std::to_string(opt.mon_partitions)};
  for (int n = 0; n < runs; n++) {
    topics.push_back("bench-shards-" + std::to_string(n) + ":" +
                     std::to_string(opt.shard_partitions));
    topics.push_back("bench-state-" + std::to_string(n) + ":1");
  }
  /* The cluster's own bound: every run at its longest, and the fill. */
  int seconds = runs * (opt.run_timeout_s + 2 * SHARDS_STOP_MS / 1000) + 600;
  shards_cluster c;
  if (!shards_cluster_start(opt, topics, seconds, &c))
    return 1;

  shards_shape sh = shards_shape_of(opt);
  long records = shards_records(sh);
  double bytes = 0, t = bench_now_s();
  shards_delivery d;
  rd_kafka_t *rk = shards_producer_new(c.bootstraps, &d);
  if (!rk || !shards_fill(opt, sh, rk, &d, &bytes)) {
    if (rk)
      rd_kafka_destroy(rk);
    shards_cluster_stop(&c);
    return 1;
  }
  fprintf(stderr, "filled %ld records (%.1f MB) in %.1f s; logs in %s\n",
          records, bytes / 1e6, bench_now_s() - t, dir.c_str());

  std::vector<shards_series> series(opt.configs.size());
  std::vector<shards_again> again;
  bool ok = true;
  int n = 0, retries = opt.retries;
  for (int round = 0; ok && round < opt.rounds; round++)
    for (size_t j = 0; ok && j < opt.configs.size(); j++) {
      size_t i = (j + static_cast<size_t>(round)) % opt.configs.size();
      int k = opt.configs[i];
      for (;;) {
        shards_run r = shards_run_config(opt, c, rk, dir, records, k, n++);
        ok = r.ok;
        if (!ok)
          break;
        /* A group that rebalanced once more measures that hand-over, not
         * the division: noted apart and run again, within the bound. */
        if (k > 0 && r.taken_on > opt.shard_partitions && retries > 0) {
          retries--;
          again.push_back(shards_again_of(r, k, records));
          shards_series scratch;
          shards_series_add(&scratch, r, k, round, records);
          fprintf(stderr,
                  "round %d %s: the group rebalanced again; run "
                  "again\n",
                  round + 1, shards_config_name(k).c_str());
          continue;
        }
        shards_series_add(&series[i], r, k, round, records);
        break;
      }
    }
  rd_kafka_destroy(rk);
  shards_cluster_stop(&c);
  if (!ok)
    return 1;
  shards_print(opt, sh, records, bytes, opt.configs, series, again, load0);
  /* The logs are kept only when something went wrong, or when asked. */
  if (opt.keep_logs || shards_keep_logs) {
    fprintf(stderr, "logs kept in %s\n", dir.c_str());
    return 0;
  }
  for (const std::string &log : shards_logs)
    unlink(log.c_str());
  rmdir(dir.c_str());
  return 0;
}
