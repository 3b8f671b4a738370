/* Small helpers shared by the tools: clocks, argument parsing, metadata. */
#include "w4tool.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

int64_t w4_mono_ms(void) {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
      .count();
}

int64_t w4_wall_ms(void) {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch())
      .count();
}

bool w4_parse_long(const char *s, long min, long max, long *out) {
  if (!s || !*s)
    return false;
  char *end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno || *end || v < min || v > max)
    return false;
  *out = v;
  return true;
}

bool w4_parse_prop(const char *s, w4_prop *prop) {
  const char *eq = s ? strchr(s, '=') : nullptr;
  if (!eq || eq == s)
    return false;
  prop->first.assign(s, static_cast<size_t>(eq - s));
  prop->second.assign(eq + 1);
  return true;
}

bool w4_parse_prop_arg(const char *prog, const char *s,
                       std::vector<w4_prop> *props) {
  w4_prop p;
  if (!w4_parse_prop(s, &p)) {
    fprintf(stderr, "%s: -X needs prop=value, got \"%s\"\n", prog, s);
    return false;
  }
  props->push_back(p);
  return true;
}

bool w4_conf_set_all(rd_kafka_conf_t *conf, const std::vector<w4_prop> &props,
                     std::string *err) {
  char errstr[512];
  for (const w4_prop &p : props) {
    if (rd_kafka_conf_set(conf, p.first.c_str(), p.second.c_str(), errstr,
                          sizeof(errstr)) != RD_KAFKA_CONF_OK) {
      *err = p.first + ": " + errstr;
      return false;
    }
  }
  return true;
}

int w4_topic_partition_cnt(rd_kafka_t *rk, const std::string &topic,
                           int timeout_ms) {
  rd_kafka_topic_t *rkt = rd_kafka_topic_new(rk, topic.c_str(), nullptr);
  if (!rkt)
    return -1;
  const rd_kafka_metadata_t *md = nullptr;
  int cnt = -1;
  if (rd_kafka_metadata(rk, 0, rkt, &md, timeout_ms) ==
      RD_KAFKA_RESP_ERR_NO_ERROR) {
    cnt = 0;
    if (md->topic_cnt == 1 && !md->topics[0].err)
      cnt = md->topics[0].partition_cnt;
    rd_kafka_metadata_destroy(md);
  }
  rd_kafka_topic_destroy(rkt);
  return cnt;
}

std::string w4_random_tag(void) {
  std::random_device rd;
  char buf[16];
  snprintf(buf, sizeof(buf), "%08x", static_cast<unsigned>(rd()));
  return buf;
}

volatile sig_atomic_t w4_stop_requested = 0;

/* SIGINT/SIGTERM handler: asks the tool's loop to end. */
static void w4_on_stop_signal(int sig) {
  (void)sig;
  w4_stop_requested = 1;
}

void w4_stop_on_signals(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = w4_on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}
