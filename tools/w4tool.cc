/* Small helpers shared by the tools: clocks, argument parsing, metadata. */
#include "w4tool.h"

#include <algorithm>
#include <cctype>
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
    fprintf(stderr, "%s: -X needs name=value\n", prog);
    return false;
  }
  props->push_back(p);
  return true;
}

/* Whether c is a blank that a properties file's line may carry around its
 * name and value. */
static bool w4_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

/* s without the blanks at both ends. */
static std::string w4_trim(const std::string &s) {
  size_t from = 0, to = s.size();
  while (from < to && w4_blank(s[from]))
    from++;
  while (to > from && w4_blank(s[to - 1]))
    to--;
  return s.substr(from, to - from);
}

int w4_parse_prop_text(const std::string &text, std::vector<w4_prop> *props) {
  int number = 0;
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos)
      nl = text.size();
    std::string line = w4_trim(text.substr(at, nl - at));
    at = nl + 1;
    number++;
    if (line.empty() || line[0] == '#')
      continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos || line.find('\0') != std::string::npos)
      return number;
    w4_prop p(w4_trim(line.substr(0, eq)), w4_trim(line.substr(eq + 1)));
    if (p.first.empty())
      return number;
    props->push_back(p);
  }
  return 0;
}

/* A properties file larger than this is not one (a device, a wrong path). */
static const size_t W4_PROP_FILE_MAX = 1 << 20;

bool w4_read_prop_file(const char *prog, const char *path,
                       std::vector<w4_prop> *props) {
  FILE *f = fopen(path, "r");
  if (!f) {
    fprintf(stderr, "%s: cannot read %s: %s\n", prog, path, strerror(errno));
    return false;
  }
  std::string text;
  char buf[4096];
  size_t n;
  while (text.size() <= W4_PROP_FILE_MAX &&
         (n = fread(buf, 1, sizeof(buf), f)) > 0)
    text.append(buf, n);
  int err = ferror(f) ? errno : 0;
  fclose(f);
  if (err || text.size() > W4_PROP_FILE_MAX) {
    fprintf(stderr, "%s: cannot read %s: %s\n", prog, path,
            err ? strerror(err) : "larger than 1 MiB");
    return false;
  }
  int bad = w4_parse_prop_text(text, props);
  if (bad) {
    fprintf(stderr, "%s: %s line %d: expected name=value\n", prog, path, bad);
    return false;
  }
  return true;
}

/* Whether c may be part of a word, for whole-word matches. */
static bool w4_word_char(char c) {
  return isalnum(static_cast<unsigned char>(c)) || c == '_';
}

/* Marks in *hidden the bytes of every whole-word occurrence of needle in
 * text. */
static void w4_mark_word(const std::string &text, const std::string &needle,
                         std::vector<bool> *hidden) {
  if (needle.empty())
    return;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + 1)) {
    size_t end = at + needle.size();
    bool starts =
        at == 0 || !w4_word_char(needle.front()) || !w4_word_char(text[at - 1]);
    bool ends = end == text.size() || !w4_word_char(needle.back()) ||
                !w4_word_char(text[end]);
    if (starts && ends)
      std::fill(hidden->begin() + static_cast<long>(at),
                hidden->begin() + static_cast<long>(end), true);
  }
}

std::string w4_hide_values(const std::string &text,
                           const std::vector<w4_prop> &props) {
  std::vector<bool> hidden(text.size(), false);
  for (const w4_prop &p : props) {
    w4_mark_word(text, p.second, &hidden);
    /* librdkafka shows an integer as it read it: "-05" as -5. */
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(p.second.c_str(), &end, 10);
    if (!errno && end != p.second.c_str() && !*end)
      w4_mark_word(text, std::to_string(v), &hidden);
  }
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (!hidden[i])
      out.push_back(text[i]);
    else if (i == 0 || !hidden[i - 1])
      out.append("(value not shown)");
  }
  return out;
}

std::string w4_arg_shown(const char *arg) {
  const char *eq = strchr(arg, '=');
  return eq ? std::string(arg, static_cast<size_t>(eq - arg)) + "=..." : arg;
}

bool w4_conf_set_all(rd_kafka_conf_t *conf, const std::vector<w4_prop> &props,
                     std::string *err) {
  char errstr[512];
  for (const w4_prop &p : props) {
    if (rd_kafka_conf_set(conf, p.first.c_str(), p.second.c_str(), errstr,
                          sizeof(errstr)) != RD_KAFKA_CONF_OK) {
      *err = p.first + ": " + w4_hide_values(errstr, {p});
      while (!err->empty() && isspace(static_cast<unsigned char>(err->back())))
        err->pop_back(); /* some of librdkafka's reasons end in a newline */
      return false;
    }
  }
  return true;
}

std::vector<w4_prop> w4_producer_props(const std::vector<w4_prop> &props) {
  static const char *const consumer_only[] = {
      "group.id",
      "group.instance.id",
      "group.protocol.type",
      "partition.assignment.strategy",
      "session.timeout.ms",
      "heartbeat.interval.ms",
      "coordinator.query.interval.ms",
      "max.poll.interval.ms",
      "enable.auto.commit",
      "auto.commit.interval.ms",
      "enable.auto.offset.store",
      "auto.offset.reset",
      "queued.min.messages",
      "queued.max.messages.kbytes",
      "fetch.wait.max.ms",
      "fetch.message.max.bytes",
      "max.partition.fetch.bytes",
      "fetch.max.bytes",
      "fetch.min.bytes",
      "fetch.error.backoff.ms",
      "fetch.queue.backoff.ms",
      "offset.store.method",
      "isolation.level",
      "enable.partition.eof",
      "check.crcs",
      "allow.auto.create.topics",
      "consume.callback.max.messages",
  };
  std::vector<w4_prop> out;
  for (const w4_prop &p : props)
    if (std::none_of(std::begin(consumer_only), std::end(consumer_only),
                     [&p](const char *name) { return p.first == name; }))
      out.push_back(p);
  return out;
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
