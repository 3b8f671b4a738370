/* Test helpers. */
#include "testlib.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace w4test {

mock_cluster *mock_cluster_start(int broker_cnt) {
  char errstr[512];
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  rd_kafka_conf_set(conf, "log_level", "0", errstr, sizeof(errstr));
  rd_kafka_t *host =
      rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!host) {
    ADD_FAILURE() << "mock host: " << errstr;
    return nullptr;
  }
  rd_kafka_mock_cluster_t *mcluster =
      rd_kafka_mock_cluster_new(host, broker_cnt);
  if (!mcluster) {
    ADD_FAILURE() << "mock cluster could not be started";
    rd_kafka_destroy(host);
    return nullptr;
  }
  mock_cluster *mc = new mock_cluster;
  mc->host = host;
  mc->mcluster = mcluster;
  mc->bootstraps = rd_kafka_mock_cluster_bootstraps(mcluster);
  return mc;
}

void mock_cluster_stop(mock_cluster *mc) {
  if (!mc)
    return;
  rd_kafka_mock_cluster_destroy(mc->mcluster);
  rd_kafka_destroy(mc->host);
  delete mc;
}

rd_kafka_conf_res_t conf_set(rd_kafka_conf_t *conf, const std::string &name,
                             const std::string &value, std::string *errstr) {
  char buf[512] = "";
  rd_kafka_conf_res_t r =
      rd_kafka_conf_set(conf, name.c_str(), value.c_str(), buf, sizeof(buf));
  if (errstr)
    *errstr = buf;
  return r;
}

rd_kafka_conf_t *
make_conf(const std::vector<std::pair<std::string, std::string>> &props) {
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  for (const auto &p : props) {
    std::string err;
    EXPECT_EQ(RD_KAFKA_CONF_OK, conf_set(conf, p.first, p.second, &err))
        << p.first << "=" << p.second << ": " << err;
  }
  return conf;
}

std::string conf_get(const rd_kafka_conf_t *conf, const std::string &name) {
  char buf[1024];
  size_t size = sizeof(buf);
  if (rd_kafka_conf_get(conf, name.c_str(), buf, &size) != RD_KAFKA_CONF_OK)
    return "<unknown>";
  return buf;
}

rd_kafka_t *client_new(rd_kafka_type_t type, rd_kafka_conf_t *conf) {
  char errstr[512];
  rd_kafka_t *rk = rd_kafka_new(type, conf, errstr, sizeof(errstr));
  EXPECT_NE(nullptr, rk) << errstr;
  return rk;
}

void dr_count(rd_kafka_t *, const rd_kafka_message_t *m, void *opaque) {
  if (!m->err)
    ++*static_cast<int *>(opaque);
}

void produce_values(const mock_cluster *mc, const std::string &topic,
                    int32_t partition, const std::vector<std::string> &values) {
  rd_kafka_t *rk = client_new(
      RD_KAFKA_PRODUCER, make_conf({{"bootstrap.servers", mc->bootstraps}}));
  ASSERT_NE(nullptr, rk);
  for (const std::string &v : values) {
    void *payload = v.empty() ? nullptr : const_cast<char *>(v.data());
    ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
              rd_kafka_producev(rk, RD_KAFKA_V_TOPIC(topic.c_str()),
                                RD_KAFKA_V_PARTITION(partition),
                                RD_KAFKA_V_VALUE(payload, v.size()),
                                RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY),
                                RD_KAFKA_V_END));
    ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(rk, 10000));
  }
  rd_kafka_destroy(rk);
}

bool subscribe(rd_kafka_t *rk, const std::string &topic) {
  rd_kafka_poll_set_consumer(rk);
  rd_kafka_topic_partition_list_t *sub = rd_kafka_topic_partition_list_new(1);
  rd_kafka_topic_partition_list_add(sub, topic.c_str(), RD_KAFKA_PARTITION_UA);
  rd_kafka_resp_err_t err = rd_kafka_subscribe(rk, sub);
  rd_kafka_topic_partition_list_destroy(sub);
  return err == RD_KAFKA_RESP_ERR_NO_ERROR;
}

int consume_n(rd_kafka_t *rk, int n, int timeout_ms) {
  int got = 0;
  int64_t deadline = mono_ms() + timeout_ms;
  while (got < n && mono_ms() < deadline) {
    rd_kafka_message_t *m = rd_kafka_consumer_poll(rk, 100);
    if (!m)
      continue;
    if (!m->err)
      got++;
    rd_kafka_message_destroy(m);
  }
  return got;
}

int64_t mono_ms(void) {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
      .count();
}

int64_t wall_ms(void) {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch())
      .count();
}

void sleep_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

const char *plugin_path(void) { return W4_PLUGIN_PATH; }

stderr_capture *stderr_capture_start(void) {
  stderr_capture *cap = new stderr_capture;
  std::string tmpl_buf = std::string(P_tmpdir) + "/w4test-stderr-XXXXXX";
  char *tmpl = &tmpl_buf[0];
  int fd = mkstemp(tmpl);
  cap->path = tmpl;
  fflush(stderr);
  cap->saved_fd = dup(2);
  dup2(fd, 2);
  close(fd);
  return cap;
}

std::string stderr_capture_stop(stderr_capture *cap) {
  fflush(stderr);
  dup2(cap->saved_fd, 2);
  close(cap->saved_fd);
  std::ifstream in(cap->path);
  std::stringstream ss;
  ss << in.rdbuf();
  unlink(cap->path.c_str());
  delete cap;
  return ss.str();
}

int count_lines(const std::string &text, const std::string &needle) {
  int n = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.find(needle) != std::string::npos)
      n++;
  return n;
}

int stderr_wait(const stderr_capture *cap, const std::string &needle, int n,
                int timeout_ms) {
  int64_t deadline = mono_ms() + timeout_ms;
  int got;
  while ((got = count_lines(read_file(cap->path), needle)) < n &&
         mono_ms() < deadline)
    sleep_ms(50);
  return got;
}

std::vector<consumed> consume_all(const std::string &bootstraps,
                                  const std::string &topic, int idle_ms,
                                  int timeout_ms) {
  std::vector<consumed> out;
  char errstr[512];
  rd_kafka_conf_t *conf = make_conf({{"bootstrap.servers", bootstraps},
                                     {"group.id", "w4test-reader"},
                                     {"enable.partition.eof", "true"},
                                     {"log_level", "0"}});
  rd_kafka_t *rk =
      rd_kafka_new(RD_KAFKA_CONSUMER, conf, errstr, sizeof(errstr));
  if (!rk) {
    ADD_FAILURE() << "reader: " << errstr;
    return out;
  }
  /* Every partition the cluster knows of, from the beginning. */
  rd_kafka_topic_t *rkt = rd_kafka_topic_new(rk, topic.c_str(), nullptr);
  const rd_kafka_metadata_t *md = nullptr;
  int partition_cnt = 0;
  int64_t start = mono_ms();
  while (mono_ms() - start < timeout_ms) {
    if (rd_kafka_metadata(rk, 0, rkt, &md, 2000) ==
        RD_KAFKA_RESP_ERR_NO_ERROR) {
      if (md->topic_cnt == 1 && !md->topics[0].err)
        partition_cnt = md->topics[0].partition_cnt;
      rd_kafka_metadata_destroy(md);
      if (partition_cnt > 0)
        break;
    }
    usleep(100 * 1000);
  }
  rd_kafka_topic_destroy(rkt);
  rd_kafka_topic_partition_list_t *parts =
      rd_kafka_topic_partition_list_new(partition_cnt);
  for (int p = 0; p < partition_cnt; p++)
    rd_kafka_topic_partition_list_add(parts, topic.c_str(), p)->offset =
        RD_KAFKA_OFFSET_BEGINNING;
  rd_kafka_assign(rk, parts);
  rd_kafka_topic_partition_list_destroy(parts);

  /* What is there now is read whatever the wait for the first fetch: the
   * idle time counts only once every partition has reached its end, and
   * ends the wait for what may come after. */
  std::vector<bool> at_end(partition_cnt, false);
  int behind = partition_cnt;
  int64_t last = mono_ms();
  while (partition_cnt > 0 && (behind > 0 || mono_ms() - last < idle_ms) &&
         mono_ms() - start < timeout_ms) {
    rd_kafka_message_t *m = rd_kafka_consumer_poll(rk, 100);
    if (!m)
      continue;
    int p = m->partition;
    if (m->err == RD_KAFKA_RESP_ERR__PARTITION_EOF && p >= 0 &&
        p < partition_cnt && !at_end[p]) {
      at_end[p] = true;
      if (--behind == 0)
        last = mono_ms();
    } else if (!m->err) {
      out.push_back(
          {m->partition, m->offset,
           std::string(static_cast<const char *>(m->payload), m->len)});
      last = mono_ms();
    }
    rd_kafka_message_destroy(m);
  }
  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
  return out;
}

/* Reads a varint at *pos; false when the bytes end inside it. */
static bool read_varint(const std::string &b, size_t *pos, uint64_t *v) {
  *v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (*pos >= b.size())
      return false;
    uint8_t c = static_cast<uint8_t>(b[(*pos)++]);
    *v |= static_cast<uint64_t>(c & 0x7f) << shift;
    if (!(c & 0x80))
      return true;
  }
  return false;
}

wire_msg wire_decode(const std::string &b) {
  wire_msg m;
  m.ok = false;
  size_t pos = 0;
  while (pos < b.size()) {
    uint64_t key, v;
    if (!read_varint(b, &pos, &key))
      return m;
    int field = static_cast<int>(key >> 3);
    int type = static_cast<int>(key & 7);
    if (type == 0) {
      if (!read_varint(b, &pos, &v))
        return m;
      m.varints[field].push_back(v);
    } else if (type == 2) {
      if (!read_varint(b, &pos, &v) || v > b.size() - pos)
        return m;
      m.strings[field].push_back(b.substr(pos, v));
      pos += v;
    } else {
      return m; /* the record uses no other wire type */
    }
    m.order.push_back(field);
  }
  m.ok = true;
  return m;
}

wire_msg record_decode(const std::string &value) {
  if (value.empty() || static_cast<uint8_t>(value[0]) != 0x7f) {
    wire_msg m;
    m.ok = false;
    return m;
  }
  return wire_decode(value.substr(1));
}

std::vector<wire_msg> read_records(const std::string &bootstraps,
                                   const std::string &topic, int idle_ms,
                                   int timeout_ms) {
  std::vector<wire_msg> out;
  for (const consumed &c :
       consume_all(bootstraps, topic, idle_ms, timeout_ms)) {
    wire_msg m = record_decode(c.value);
    EXPECT_TRUE(m.ok) << "undecodable record: " << hex(c.value);
    if (m.ok)
      out.push_back(m);
  }
  return out;
}

std::string hex(const std::string &bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    snprintf(buf, sizeof(buf), "%02x ", c);
    out += buf;
  }
  if (!out.empty())
    out.pop_back();
  return out;
}

std::string run_command(const std::string &cmd, int *status) {
  std::string out;
  FILE *f = popen(cmd.c_str(), "r");
  if (!f) {
    *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
    out.append(buf, n);
  *status = pclose(f);
  return out;
}

std::string temp_file(void) {
  std::string path = std::string(P_tmpdir) + "/w4test-XXXXXX";
  int fd = mkstemp(&path[0]);
  if (fd >= 0)
    close(fd);
  return path;
}

int promtool_check(const std::string &text, std::string *out) {
  int status = 0;
  run_command("command -v promtool", &status);
  if (status != 0)
    return -1;
  std::string path = temp_file();
  std::ofstream(path) << text;
  *out = run_command("promtool check metrics <" + path + " 2>&1", &status);
  unlink(path.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

child spawn(const std::vector<std::string> &argv) {
  child c;
  c.out_path = temp_file();
  c.err_path = temp_file();
  c.pid = fork();
  if (c.pid == 0) {
    int out = open(c.out_path.c_str(), O_WRONLY | O_TRUNC);
    int err = open(c.err_path.c_str(), O_WRONLY | O_TRUNC);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char *> args;
    for (const std::string &a : argv)
      args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return c;
}

int wait_child(child *c, int timeout_ms) {
  int status = 0;
  int64_t deadline = mono_ms() + timeout_ms;
  while (waitpid(c->pid, &status, WNOHANG) == 0) {
    if (mono_ms() >= deadline) {
      kill(c->pid, SIGKILL);
      waitpid(c->pid, &status, 0);
      c->pid = -1;
      return -1;
    }
    sleep_ms(50);
  }
  c->pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int stop_child(child *c) {
  if (c->pid <= 0)
    return -1;
  kill(c->pid, SIGTERM);
  return wait_child(c, 15000);
}

int exporter_start(child *c, const std::vector<std::string> &args) {
  std::vector<std::string> argv = {std::string(W4_TOOLS_DIR) +
                                       "/w4metrics-exporter",
                                   "--listen", "127.0.0.1:0"};
  argv.insert(argv.end(), args.begin(), args.end());
  *c = spawn(argv);
  /* "serving http://127.0.0.1:PORT/metrics", or https:// with TLS. */
  const std::string mark = "://127.0.0.1:";
  for (int64_t end = mono_ms() + 20000; mono_ms() < end; sleep_ms(100)) {
    std::string err = read_file(c->err_path);
    size_t at = err.find("serving http");
    if (at != std::string::npos)
      at = err.find(mark, at);
    if (at != std::string::npos)
      return atoi(err.c_str() + at + mark.size());
  }
  return 0;
}

rd_kafka_t *
plugin_client(const mock_cluster *mc, rd_kafka_type_t type,
              const std::string &client_id, const std::string &group,
              const std::vector<std::pair<std::string, std::string>> &extra) {
  const std::string p = "quarndale.monitoring.interceptor.";
  std::vector<std::pair<std::string, std::string>> props = {
      {"bootstrap.servers", mc->bootstraps},
      {"client.id", client_id},
      {"plugin.library.paths", plugin_path()},
      {p + "publishms", "500"},
      {p + "histogram", "true"}};
  if (!group.empty()) {
    props.push_back({"group.id", group});
    props.push_back({"enable.partition.eof", "false"});
  }
  props.insert(props.end(), extra.begin(), extra.end());
  return client_new(type, make_conf(props));
}

/* Sleeps until the next window of window_ms starts, and a little more;
 * the start of that window. */
static int64_t next_window(int64_t window_ms) {
  int64_t now = wall_ms();
  int64_t start = now - now % window_ms + window_ms;
  sleep_ms(static_cast<int>(start - now + 20));
  return start;
}

/* Produces cnt messages to each of partitions 0 and 1 of "orders", all
 * stamped ts, and waits for their delivery. */
static void two_groups_phase(twin_producer *tw, int cnt, int64_t ts) {
  for (int i = 0; i < cnt; i++)
    for (int32_t p = 0; p < 2; p++)
      ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
                twin_produce(tw, "orders", p, "", "payload", ts));
  ASSERT_TRUE(twin_flush(tw, 15000));
}

/* Assigns partitions 0 and 1 at the offsets and consumes n messages. */
static void two_groups_read(rd_kafka_t *rk, int64_t off0, int64_t off1, int n) {
  assign_at(rk, "orders", off0, off1);
  EXPECT_EQ(n, consume_n(rk, n, 30000));
}

void two_groups_traffic(const mock_cluster *mc, const two_groups &t,
                        void (*between)(void *), void *arg) {
  const int64_t window = 500; /* plugin_client's publish interval */
  int per = t.n / 2, a = per / 4, b = per / 2, c = per - a - b;
  twin_producer *tw = twin_start(mc, t.prefix + "-producer", window);
  ASSERT_NE(nullptr, tw);
  twin_guard guard(tw);
  rd_kafka_t *ca =
      plugin_client(mc, RD_KAFKA_CONSUMER, t.prefix + "-a", t.group_a);
  rd_kafka_t *cb =
      plugin_client(mc, RD_KAFKA_CONSUMER, t.prefix + "-b", t.group_b);
  two_groups_phase(tw, a, next_window(window));
  two_groups_read(cb, 0, 0, 2 * a);
  int64_t b_start = next_window(window);
  two_groups_phase(tw, b, b_start);
  two_groups_read(cb, a + t.skip0, a + t.skip1, 2 * b - t.skip0 - t.skip1);
  sleep_ms(static_cast<int>(b_start + window + t.settle_ms - wall_ms()));
  two_groups_phase(tw, c, next_window(window));
  twin_stop(tw);
  if (between)
    between(arg);
  EXPECT_EQ(2 * c, consume_n(cb, 2 * c, 30000));
  two_groups_read(ca, 0, 0, t.n);
  if (between)
    between(arg);
  sleep_ms(700); /* one more ordinary pass each */
  for (rd_kafka_t *rk : {ca, cb}) {
    rd_kafka_consumer_close(rk);
    rd_kafka_destroy(rk);
  }
}

std::string varint(uint64_t v) {
  std::string out;
  do {
    uint8_t b = v & 0x7f;
    v >>= 7;
    out += static_cast<char>(v ? b | 0x80 : b);
  } while (v);
  return out;
}

std::vector<uint64_t> packed_varints(const std::string &bytes) {
  std::vector<uint64_t> out;
  uint64_t v = 0;
  int shift = 0;
  for (unsigned char c : bytes) {
    v |= static_cast<uint64_t>(c & 0x7f) << shift;
    shift += 7;
    if (!(c & 0x80)) {
      out.push_back(v);
      v = 0;
      shift = 0;
    }
  }
  return out;
}

void remove_child_files(const child &c) {
  unlink(c.out_path.c_str());
  unlink(c.err_path.c_str());
}

std::string http_get(const std::string &url, int *status) {
  int st = 0;
  std::string body = run_command("curl -s -f --max-time 20 '" + url + "'", &st);
  if (status)
    *status = st;
  return st == 0 ? body : "";
}

int free_port(void) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa));
  socklen_t len = sizeof(sa);
  getsockname(fd, reinterpret_cast<struct sockaddr *>(&sa), &len);
  close(fd);
  return ntohs(sa.sin_port);
}

std::string prometheus_path(void) {
  int st;
  std::string path = run_command("command -v prometheus", &st);
  while (!path.empty() && (path.back() == '\n' || path.back() == ' '))
    path.pop_back();
  return st == 0 ? path : "";
}

bool prometheus_start(prometheus_server *p, int target_port,
                      const std::string &rules_file,
                      const std::string &scrape_extra) {
  std::string dir_tmpl = std::string(P_tmpdir) + "/w4prom-XXXXXX";
  char *dir = &dir_tmpl[0];
  if (!mkdtemp(dir))
    return false;
  p->dir = dir;
  std::string config = p->dir + "/prometheus.yml";
  std::ofstream(config) << "global:\n"
                           "  scrape_interval: 1s\n"
                           "  scrape_timeout: 1s\n"
                           "  evaluation_interval: 1s\n"
                        << (rules_file.empty()
                                ? std::string()
                                : "rule_files: ['" + rules_file + "']\n")
                        << "scrape_configs:\n"
                           "  - job_name: w4metrics\n"
                        << scrape_extra
                        << "    static_configs:\n"
                           "      - targets: ['127.0.0.1:"
                        << target_port << "']\n";
  p->port = free_port();
  p->proc =
      spawn({prometheus_path(), "--config.file=" + config,
             "--storage.tsdb.path=" + p->dir + "/data",
             "--web.listen-address=127.0.0.1:" + std::to_string(p->port)});
  int64_t deadline = mono_ms() + 30000;
  while (mono_ms() < deadline) {
    int st;
    http_get("http://127.0.0.1:" + std::to_string(p->port) + "/-/ready", &st);
    if (st == 0)
      break;
    sleep_ms(250);
  }
  /* Targets reach the scraper some seconds after the server is ready: wait
   * for the first scrape, so that what follows is seen from its start. */
  while (mono_ms() < deadline) {
    if (prometheus_query(*p, "count(up == 1)") == 1)
      return true;
    sleep_ms(250);
  }
  return false;
}

void prometheus_stop(prometheus_server *p) {
  stop_child(&p->proc);
  remove_child_files(p->proc);
  int st;
  if (!p->dir.empty())
    run_command("rm -rf '" + p->dir + "'", &st);
  p->dir.clear();
}

std::string prometheus_query_json(const prometheus_server &p,
                                  const std::string &q, double at) {
  /* The query goes through a file so that no quoting of the shell can
   * change it. */
  std::string path = temp_file();
  std::ofstream(path) << q;
  std::string time_arg;
  if (at > 0) {
    char buf[64];
    snprintf(buf, sizeof(buf), " --data-urlencode time=%.3f", at);
    time_arg = buf;
  }
  int st;
  std::string body = run_command(
      "curl -s --max-time 10 --data-urlencode 'query@" + path + "'" + time_arg +
          " http://127.0.0.1:" + std::to_string(p.port) + "/api/v1/query",
      &st);
  unlink(path.c_str());
  return body;
}

double prometheus_query(const prometheus_server &p, const std::string &q) {
  std::string body = prometheus_query_json(p, q);
  size_t at = body.find("\"value\":[");
  if (at == std::string::npos)
    return -1;
  size_t quote = body.find('"', body.find(',', at));
  return quote == std::string::npos ? -1 : atof(body.c_str() + quote + 1);
}

double prometheus_wait(const prometheus_server &p, const std::string &q,
                       double want) {
  double v = -1;
  int64_t deadline = mono_ms() + 60000;
  while (mono_ms() < deadline && (v = prometheus_query(p, q)) != want)
    sleep_ms(500);
  return v;
}

int64_t mock_append_time(const mock_cluster *mc) {
  struct probe {
    static void dr(rd_kafka_t *, const rd_kafka_message_t *m, void *opaque) {
      *static_cast<int64_t *>(opaque) = rd_kafka_message_timestamp(m, nullptr);
    }
  };
  rd_kafka_mock_topic_create(mc->mcluster, "probe", 1, 1);
  rd_kafka_conf_t *conf = make_conf({{"bootstrap.servers", mc->bootstraps}});
  int64_t ts = -1;
  rd_kafka_conf_set_dr_msg_cb(conf, probe::dr);
  rd_kafka_conf_set_opaque(conf, &ts);
  char errstr[512];
  rd_kafka_t *rk =
      rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  rd_kafka_producev(rk, RD_KAFKA_V_TOPIC("probe"),
                    RD_KAFKA_V_VALUE(const_cast<char *>("x"), 1),
                    RD_KAFKA_V_END);
  rd_kafka_flush(rk, 10000);
  rd_kafka_destroy(rk);
  return ts;
}

void assign_at(rd_kafka_t *rk, const char *topic, int64_t off0, int64_t off1) {
  rd_kafka_poll_set_consumer(rk);
  rd_kafka_topic_partition_list_t *parts = rd_kafka_topic_partition_list_new(2);
  rd_kafka_topic_partition_list_add(parts, topic, 0)->offset = off0;
  rd_kafka_topic_partition_list_add(parts, topic, 1)->offset = off1;
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_assign(rk, parts));
  rd_kafka_topic_partition_list_destroy(parts);
}

std::map<pid_t, std::string> thread_names(void) {
  std::map<pid_t, std::string> out;
  DIR *d = opendir("/proc/self/task");
  if (!d)
    return out;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.')
      continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    out[static_cast<pid_t>(atoi(e->d_name))] = name;
  }
  closedir(d);
  return out;
}

std::vector<pid_t>
plugin_threads_since(const std::map<pid_t, std::string> &before) {
  std::vector<pid_t> out;
  int64_t deadline = mono_ms() + 5000;
  for (bool first = true;; first = false) {
    if (!first)
      sleep_ms(50);
    out.clear();
    for (const auto &t : thread_names())
      if (!before.count(t.first) && t.second.rfind("rdk:", 0) != 0)
        out.push_back(t.first);
    if (out.size() == 1 || mono_ms() >= deadline)
      return out;
  }
}

/* A new session id: 32 random lower-case hex digits. */
static std::string twin_session_id(void) {
  static const char digits[] = "0123456789abcdef";
  std::random_device rd;
  std::mt19937_64 gen((static_cast<uint64_t>(rd()) << 32) ^ rd());
  std::string id;
  for (int i = 0; i < 32; i++)
    id += digits[gen() & 15];
  return id;
}

/* Adds one delivered message to a window's counts, the first message
 * setting the minimum, as the plug-in does. */
static void twin_count_add(twin_counts *c, int64_t bytes, int64_t latency,
                           int64_t offset) {
  c->count++;
  if (offset >= 0) {
    c->min_offset = std::min(c->min_offset, offset);
    c->max_offset = std::max(c->max_offset, offset);
  }
  c->bytes += bytes;
  if (c->count == 1 || latency < c->min_latency)
    c->min_latency = latency;
  if (latency > c->max_latency)
    c->max_latency = latency;
  c->latency_sum += latency;
}

/* Delivery report: counts a message delivered without error in the window
 * of its own timestamp (kept in its opaque). The twin's thread, or the one
 * flushing; takes the twin's lock. */
static void twin_dr(rd_kafka_t *, const rd_kafka_message_t *m, void *opaque) {
  twin_producer *tw = static_cast<twin_producer *>(opaque);
  std::lock_guard<std::mutex> hold(tw->lock);
  if (m->err) {
    tw->failed++;
    return;
  }
  int64_t ts = static_cast<int64_t>(reinterpret_cast<intptr_t>(m->_private));
  int64_t window = ts - ts % tw->window_ms;
  int64_t latency = rd_kafka_message_latency(m) / 1000;
  if (latency < 0)
    latency = 0;
  int64_t bytes = static_cast<int64_t>(m->len + m->key_len);
  std::string topic = rd_kafka_topic_name(m->rkt);
  twin_tp_key tpk(topic, m->partition);
  auto ins = tw->tps.emplace(tpk, twin_tp());
  twin_tp *tp = &ins.first->second;
  if (ins.second) {
    for (int64_t &w : tp->recent)
      w = -1;
    tw->tp_order.push_back(tpk);
  }
  if (!tp->fresh.count(window))
    tp->fresh_order.push_back(window);
  twin_count_add(&tp->fresh[window], bytes, latency, m->offset);
  twin_count_add(&tw->delivered[twin_window_key(topic, m->partition, window)],
                 bytes, latency, m->offset);
}

/* Appends a varint field unless its value is 0 (proto3). */
static void pb_varint_field(std::string *out, int field, uint64_t v) {
  if (!v)
    return;
  *out += varint(static_cast<uint64_t>(field) << 3);
  *out += varint(v);
}

/* Appends a length-delimited field unless the string is absent (empty). */
static void pb_string_field(std::string *out, int field, const std::string &s) {
  if (s.empty())
    return;
  *out += varint(static_cast<uint64_t>(field) << 3 | 2);
  *out += varint(s.size());
  *out += s;
}

/* The framed value of one record: 0x7F, then the fields in the order of
 * their numbers, as the plug-in writes them. kind is 0 (data, with c) or 2
 * (empty window). Takes the next sequence number and moves the ring of
 * recent windows, as the plug-in does; under the twin's lock. */
static std::string twin_record(twin_producer *tw, const twin_tp_key &tpk,
                               twin_tp *tp, int64_t window,
                               const twin_counts &c, uint32_t kind, bool final,
                               int64_t now) {
  bool any = false;
  int64_t lo = 0, hi = 0;
  for (int64_t w : tp->recent) {
    if (w == -1)
      continue;
    lo = any ? std::min(lo, w) : w;
    hi = any ? std::max(hi, w) : w;
    any = true;
  }
  tp->recent[tp->recent_idx] = window;
  tp->recent_idx = (tp->recent_idx + 1) % 10;

  std::string m;
  pb_varint_field(&m, F_CLIENT_TYPE, 1);
  pb_string_field(&m, F_CLIENT_ID, tw->client_id);
  pb_string_field(&m, F_SESSION_ID, tw->session_id);
  pb_varint_field(&m, F_SEQUENCE, static_cast<uint64_t>(tp->seq++));
  pb_varint_field(&m, F_WINDOW, static_cast<uint64_t>(window));
  pb_varint_field(&m, F_TIMESTAMP, static_cast<uint64_t>(now));
  pb_string_field(&m, F_TOPIC, tpk.first);
  pb_varint_field(&m, F_PARTITION, static_cast<uint64_t>(tpk.second));
  pb_varint_field(&m, F_COUNT, static_cast<uint64_t>(c.count));
  pb_varint_field(&m, F_AGGREGATE_BYTES, static_cast<uint64_t>(c.bytes));
  pb_varint_field(&m, F_LATENCY_SUM, static_cast<uint64_t>(c.latency_sum));
  pb_varint_field(&m, F_MIN_LATENCY, static_cast<uint64_t>(c.min_latency));
  pb_varint_field(&m, F_MAX_LATENCY, static_cast<uint64_t>(c.max_latency));
  pb_varint_field(&m, F_WINDOW_SIZE, static_cast<uint64_t>(tw->window_ms));
  pb_varint_field(&m, F_RECORD_KIND, kind);
  pb_varint_field(&m, F_FINAL, final ? 1 : 0);
  pb_varint_field(&m, F_MIN_RECENT_WINDOW, static_cast<uint64_t>(lo));
  pb_varint_field(&m, F_MAX_RECENT_WINDOW, static_cast<uint64_t>(hi));
  pb_string_field(&m, F_CLUSTER_ID, tw->cluster_id);
  if (tw->offsets && kind == 0 && c.max_offset >= 0) {
    /* Both written, 0 included. */
    m += varint(27u << 3) + varint(static_cast<uint64_t>(c.min_offset));
    m += varint(28u << 3) + varint(static_cast<uint64_t>(c.max_offset));
  }
  return std::string(1, '\x7f') + m;
}

/* Produces one record to the monitoring topic; under the twin's lock. */
static void twin_send_record(twin_producer *tw, const std::string &value) {
  tw->records.push_back(value);
  rd_kafka_resp_err_t err = rd_kafka_producev(
      tw->mon_rk, RD_KAFKA_V_TOPIC(tw->mon_topic.c_str()),
      RD_KAFKA_V_VALUE(const_cast<char *>(value.data()), value.size()),
      RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY), RD_KAFKA_V_END);
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, err) << rd_kafka_err2str(err);
}

/* The records of one topic-partition in a pass: one per window with new
 * counts, in the order of their first message, then a fresh ring; or one
 * empty-window record. Under the twin's lock. */
static void twin_publish_tp(twin_producer *tw, const twin_tp_key &tpk,
                            bool final, int64_t now) {
  twin_tp *tp = &tw->tps[tpk];
  if (tp->fresh_order.empty()) {
    twin_send_record(tw,
                     twin_record(tw, tpk, tp, 0, twin_counts(), 2, final, now));
    return;
  }
  for (size_t i = 0; i < tp->fresh_order.size(); i++) {
    int64_t w = tp->fresh_order[i];
    bool last = i + 1 == tp->fresh_order.size();
    twin_send_record(
        tw, twin_record(tw, tpk, tp, w, tp->fresh[w], 0, final && last, now));
  }
  tp->fresh_order.clear();
  tp->fresh.clear();
  for (int64_t &w : tp->recent)
    w = -1;
  tp->recent_idx = 0;
}

void twin_publish(twin_producer *tw, bool final) {
  int64_t now = wall_ms(); /* one timestamp for the whole pass */
  std::lock_guard<std::mutex> hold(tw->lock);
  for (const twin_tp_key &tpk : tw->tp_order)
    twin_publish_tp(tw, tpk, final, now);
}

/* The twin's thread: serves delivery reports and publishes every
 * window_ms, like the plug-in's background thread. */
static void twin_run(twin_producer *tw) {
  int64_t next = mono_ms() + tw->window_ms;
  while (!tw->stopping.load()) {
    rd_kafka_poll(tw->rk, 20);
    rd_kafka_poll(tw->mon_rk, 0);
    if (mono_ms() < next)
      continue;
    twin_publish(tw, false);
    next += tw->window_ms;
    if (next <= mono_ms()) /* a late pass does not bunch up the next ones */
      next = mono_ms() + tw->window_ms;
  }
}

/* The producer of the messages: delivery reports to the twin, each message
 * sent on its own so that the consumers' fetches follow production. */
static rd_kafka_t *twin_data_producer(const mock_cluster *mc,
                                      twin_producer *tw) {
  rd_kafka_conf_t *conf = make_conf({{"bootstrap.servers", mc->bootstraps},
                                     {"client.id", tw->client_id},
                                     {"linger.ms", "0"},
                                     {"log_level", "3"}});
  rd_kafka_conf_set_dr_msg_cb(conf, twin_dr);
  rd_kafka_conf_set_opaque(conf, tw);
  return client_new(RD_KAFKA_PRODUCER, conf);
}

/* The producer of the records, configured as the plug-in's private one. */
static rd_kafka_t *twin_mon_producer(const std::string &bootstraps,
                                     const std::string &client_id) {
  return client_new(
      RD_KAFKA_PRODUCER,
      make_conf({{"bootstrap.servers", bootstraps},
                 {"client.id", "quarndale.monitoring.interceptor." + client_id},
                 {"queue.buffering.max.ms", "100"},
                 {"log_level", "3"}}));
}

twin_producer *twin_start(const mock_cluster *mc, const std::string &client_id,
                          int64_t window_ms, const std::string &mon_bootstraps,
                          const std::string &mon_topic) {
  twin_producer *tw = new twin_producer;
  tw->client_id = client_id;
  tw->session_id = twin_session_id();
  tw->mon_topic = mon_topic;
  tw->window_ms = window_ms;
  tw->rk = twin_data_producer(mc, tw);
  tw->mon_rk = twin_mon_producer(
      mon_bootstraps.empty() ? mc->bootstraps : mon_bootstraps, client_id);
  char *id = tw->rk ? rd_kafka_clusterid(tw->rk, 10000) : nullptr;
  EXPECT_NE(nullptr, id) << "the twin's cluster id";
  if (!tw->rk || !tw->mon_rk || !id) {
    if (id)
      rd_kafka_mem_free(tw->rk, id);
    if (tw->rk)
      rd_kafka_destroy(tw->rk);
    if (tw->mon_rk)
      rd_kafka_destroy(tw->mon_rk);
    delete tw;
    return nullptr;
  }
  tw->cluster_id = id;
  rd_kafka_mem_free(tw->rk, id);
  tw->thread = std::thread(twin_run, tw);
  return tw;
}

rd_kafka_resp_err_t twin_produce(twin_producer *tw, const std::string &topic,
                                 int32_t partition, const std::string &key,
                                 const std::string &value, int64_t ts) {
  if (ts == 0)
    ts = wall_ms();
  rd_kafka_resp_err_t err = rd_kafka_producev(
      tw->rk, RD_KAFKA_V_TOPIC(topic.c_str()), RD_KAFKA_V_PARTITION(partition),
      RD_KAFKA_V_KEY(key.data(), key.size()),
      RD_KAFKA_V_VALUE(const_cast<char *>(value.data()), value.size()),
      RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY), RD_KAFKA_V_TIMESTAMP(ts),
      RD_KAFKA_V_OPAQUE(reinterpret_cast<void *>(static_cast<intptr_t>(ts))),
      RD_KAFKA_V_END);
  if (!err) {
    std::lock_guard<std::mutex> hold(tw->lock);
    tw->sent++;
  }
  return err;
}

bool twin_flush(twin_producer *tw, int timeout_ms) {
  int64_t deadline = mono_ms() + timeout_ms;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(tw->lock);
      int64_t reported = tw->failed;
      for (const auto &kv : tw->delivered)
        reported += kv.second.count;
      if (reported >= tw->sent)
        return true;
    }
    if (mono_ms() >= deadline)
      return false;
    sleep_ms(20);
  }
}

void twin_stop(twin_producer *tw) {
  if (!tw->rk)
    return;
  tw->stopping.store(true);
  if (tw->thread.joinable())
    tw->thread.join();
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(tw->rk, 15000));
  twin_publish(tw, true);
  EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(tw->mon_rk, 15000));
  rd_kafka_destroy(tw->rk);
  rd_kafka_destroy(tw->mon_rk);
  tw->rk = nullptr;
  tw->mon_rk = nullptr;
}

void twin_destroy(twin_producer *tw) {
  twin_stop(tw);
  delete tw;
}

int64_t twin_delivered(twin_producer *tw, const std::string &topic,
                       int32_t partition) {
  std::lock_guard<std::mutex> hold(tw->lock);
  int64_t n = 0;
  for (const auto &kv : tw->delivered)
    if (std::get<0>(kv.first) == topic &&
        (partition == -1 || std::get<1>(kv.first) == partition))
      n += kv.second.count;
  return n;
}

std::map<std::pair<int32_t, int64_t>, twin_counts>
twin_windows(twin_producer *tw, const std::string &topic) {
  std::lock_guard<std::mutex> hold(tw->lock);
  std::map<std::pair<int32_t, int64_t>, twin_counts> out;
  for (const auto &kv : tw->delivered)
    if (std::get<0>(kv.first) == topic)
      out[{std::get<1>(kv.first), std::get<2>(kv.first)}] = kv.second;
  return out;
}

} // namespace w4test
