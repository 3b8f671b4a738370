/* One application with its own librdkafka: a producer on the mock cluster
 * with the plug-in named in plugin.library.paths, then a plain consumer that
 * reads the monitoring topic back and decodes it.
 *
 * Built three ways: into a shared module linked against a private, renamed
 * copy of librdkafka; into a program with librdkafka linked statically and
 * its symbols exported; and into the same program without exported symbols.
 * Whichever copy it is linked with, no second librdkafka may be mapped. */
#include "host_scenario.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char *const PREFIX = "quarndale.monitoring.interceptor.";
const char *const MON_TOPIC = "_quarndale-monitoring";
const char *const APP_TOPIC = "host-traffic";
const int MSG_CNT = 60;
const int PARTITION_CNT = 3;

int failures;
FILE *report; /* the real standard error, while fd 2 is captured */

/* Counts and reports a failed check. */
void fail(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fprintf(report, "host: FAILED: ");
  vfprintf(report, fmt, ap);
  fprintf(report, "\n");
  va_end(ap);
  failures++;
}

/* Milliseconds on the monotonic clock. */
int64_t mono_ms(void) {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
      .count();
}

/* The file names mapped into this process. */
std::vector<std::string> mapped_files(void) {
  std::vector<std::string> files;
  FILE *f = fopen("/proc/self/maps", "r");
  if (!f)
    return files;
  char line[4096];
  while (fgets(line, sizeof(line), f)) {
    const char *path = strchr(line, '/');
    if (!path)
      continue;
    std::string p(path);
    while (!p.empty() && (p.back() == '\n' || p.back() == ' '))
      p.pop_back();
    files.push_back(p);
  }
  fclose(f);
  return files;
}

/* The last component of a path. */
std::string base_name(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

/* Checks at one point of the run that the system's librdkafka is not
 * mapped, and that what must be mapped is. */
void check_maps(const host_params *hp, const char *when) {
  bool plugin = false, own_copy = !hp->own_copy, second = false;
  for (const std::string &file : mapped_files()) {
    if (!second &&
        (file == hp->system_rdkafka || base_name(file) == "librdkafka.so.1")) {
      fail("%s: a second librdkafka is mapped: %s", when, file.c_str());
      second = true;
    }
    if (base_name(file) == base_name(hp->plugin_path))
      plugin = true;
    if (hp->own_copy && base_name(file) == hp->own_copy)
      own_copy = true;
  }
  if (!plugin && strcmp(when, "start"))
    fail("%s: the plug-in is not mapped", when);
  if (!own_copy)
    fail("%s: the application's own librdkafka %s is not mapped", when,
         hp->own_copy);
}

/* Sets a property; reports a rejection unless expected. */
rd_kafka_conf_res_t set(rd_kafka_conf_t *conf, const std::string &name,
                        const std::string &value, bool must_accept = true) {
  char errstr[512] = "";
  rd_kafka_conf_res_t res = rd_kafka_conf_set(conf, name.c_str(), value.c_str(),
                                              errstr, sizeof(errstr));
  if (must_accept && res != RD_KAFKA_CONF_OK)
    fail("%s=%s rejected: %s", name.c_str(), value.c_str(), errstr);
  return res;
}

struct delivery {
  int ok, failed;
};

/* Delivery report of the application's producer. */
void on_delivery(rd_kafka_t *rk, const rd_kafka_message_t *m, void *opaque) {
  (void)rk;
  delivery *d = static_cast<delivery *>(opaque);
  if (m->err)
    d->failed++;
  else
    d->ok++;
}

/* The application: a producer with the plug-in, MSG_CNT messages, every one
 * delivered; then the producer is destroyed (the plug-in's last pass). */
void run_producer(const host_params *hp, const std::string &bootstraps) {
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  set(conf, "bootstrap.servers", bootstraps);
  set(conf, "client.id", "host-app");
  set(conf, "linger.ms", "5");
  set(conf, "plugin.library.paths", hp->plugin_path);
  /* Unmonitored, the plug-in's properties are unknown, as without it. */
  rd_kafka_conf_res_t res =
      set(conf, std::string(PREFIX) + "publishms", "1000", hp->monitored);
  if (!hp->monitored && res != RD_KAFKA_CONF_UNKNOWN)
    fail("plug-in property answered %d without the plug-in", res);
  delivery d = {0, 0};
  rd_kafka_conf_set_opaque(conf, &d);
  rd_kafka_conf_set_dr_msg_cb(conf, on_delivery);

  char errstr[512];
  rd_kafka_t *rk =
      rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!rk) {
    fail("producer: %s", errstr);
    rd_kafka_conf_destroy(conf);
    return;
  }
  check_maps(hp, "producer created");
  std::string value(100, 'v');
  for (int i = 0; i < MSG_CNT; i++) {
    rd_kafka_resp_err_t err = rd_kafka_producev(
        rk, RD_KAFKA_V_TOPIC(APP_TOPIC),
        RD_KAFKA_V_PARTITION(i % PARTITION_CNT),
        RD_KAFKA_V_VALUE((void *)value.data(), 1 + i % 100), RD_KAFKA_V_END);
    if (err)
      fail("produce: %s", rd_kafka_err2str(err));
  }
  if (rd_kafka_flush(rk, 15000))
    fail("flush timed out");
  if (d.ok != MSG_CNT || d.failed)
    fail("delivered %d of %d, %d failed", d.ok, MSG_CNT, d.failed);
  check_maps(hp, "traffic delivered");
  rd_kafka_destroy(rk);
}

/* Reads a varint at *pos; false when the bytes end inside it. */
bool read_varint(const char *b, size_t len, size_t *pos, uint64_t *v) {
  *v = 0;
  for (int shift = 0; shift < 64 && *pos < len; shift += 7) {
    uint8_t c = static_cast<uint8_t>(b[(*pos)++]);
    *v |= static_cast<uint64_t>(c & 0x7f) << shift;
    if (!(c & 0x80))
      return true;
  }
  return false;
}

/* Decodes a monitoring record (0x7F, then the message) far enough to read
 * its topic (field 8) and count (field 10); false if it is not one. */
bool decode_record(const char *b, size_t len, std::string *topic,
                   int64_t *count) {
  if (len < 1 || static_cast<uint8_t>(b[0]) != 0x7f)
    return false;
  size_t pos = 1;
  *count = 0;
  while (pos < len) {
    uint64_t key, v;
    if (!read_varint(b, len, &pos, &key))
      return false;
    if ((key & 7) == 0) {
      if (!read_varint(b, len, &pos, &v))
        return false;
      if (key >> 3 == 10)
        *count = static_cast<int64_t>(v);
    } else if ((key & 7) == 2) {
      if (!read_varint(b, len, &pos, &v) || v > len - pos)
        return false;
      if (key >> 3 == 8)
        topic->assign(b + pos, v);
      pos += v;
    } else {
      return false;
    }
  }
  return true;
}

/* The partition count of topic, waiting up to wait_ms for it to exist. */
int partition_count(rd_kafka_t *rk, const char *topic, int wait_ms) {
  rd_kafka_topic_t *rkt = rd_kafka_topic_new(rk, topic, nullptr);
  int cnt = 0;
  int64_t start = mono_ms();
  while (!cnt && mono_ms() - start < wait_ms) {
    const rd_kafka_metadata_t *md = nullptr;
    if (!rd_kafka_metadata(rk, 0, rkt, &md, 1000)) {
      if (md->topic_cnt == 1 && !md->topics[0].err)
        cnt = md->topics[0].partition_cnt;
      rd_kafka_metadata_destroy(md);
    }
    if (!cnt)
      usleep(100 * 1000);
  }
  rd_kafka_topic_destroy(rkt);
  return cnt;
}

/* Reads the whole monitoring topic; returns the number of records and adds
 * the counts of the application's topic to *counted. */
int read_monitoring(const std::string &bootstraps, int wait_ms,
                    int64_t *counted) {
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  set(conf, "bootstrap.servers", bootstraps);
  set(conf, "group.id", "host-reader");
  set(conf, "log_level", "0");
  char errstr[512];
  rd_kafka_t *rk =
      rd_kafka_new(RD_KAFKA_CONSUMER, conf, errstr, sizeof(errstr));
  if (!rk) {
    fail("reader: %s", errstr);
    return 0;
  }
  int partition_cnt = partition_count(rk, MON_TOPIC, wait_ms);
  rd_kafka_topic_partition_list_t *parts =
      rd_kafka_topic_partition_list_new(partition_cnt);
  for (int p = 0; p < partition_cnt; p++)
    rd_kafka_topic_partition_list_add(parts, MON_TOPIC, p)->offset =
        RD_KAFKA_OFFSET_BEGINNING;
  rd_kafka_assign(rk, parts);
  rd_kafka_topic_partition_list_destroy(parts);

  int records = 0;
  int64_t start = mono_ms(), last = start;
  while (partition_cnt > 0 && mono_ms() - last < 2000 &&
         mono_ms() - start < 30000) {
    rd_kafka_message_t *m = rd_kafka_consumer_poll(rk, 100);
    if (!m)
      continue;
    if (!m->err) {
      std::string topic;
      int64_t count;
      if (!decode_record(static_cast<const char *>(m->payload), m->len, &topic,
                         &count))
        fail("undecodable monitoring record at offset %lld",
             static_cast<long long>(m->offset));
      else if (topic == APP_TOPIC)
        *counted += count;
      records++;
      last = mono_ms();
    }
    rd_kafka_message_destroy(m);
  }
  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
  return records;
}

/* The standard error lines that contain needle. */
int count_lines(const std::string &text, const char *needle) {
  int n = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos)
      end = text.size();
    if (text.substr(pos, end - pos).find(needle) != std::string::npos)
      n++;
    pos = end + 1;
  }
  return n;
}

/* The run itself, with standard error captured. */
void run(const host_params *hp) {
  check_maps(hp, "start");
  char errstr[512];
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  set(conf, "log_level", "0");
  rd_kafka_t *host =
      rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!host) {
    fail("mock host: %s", errstr);
    return;
  }
  rd_kafka_mock_cluster_t *mcluster = rd_kafka_mock_cluster_new(host, 1);
  if (!mcluster) {
    fail("mock cluster not started");
    rd_kafka_destroy(host);
    return;
  }
  std::string bootstraps = rd_kafka_mock_cluster_bootstraps(mcluster);
  rd_kafka_mock_topic_create(mcluster, APP_TOPIC, PARTITION_CNT, 1);
  /* Made beforehand, so that the plug-in's last records, which its flush
   * at teardown waits for a bounded time, need no creation round. */
  rd_kafka_mock_topic_create(mcluster, MON_TOPIC, 1, 1);

  run_producer(hp, bootstraps);

  int64_t counted = 0;
  int records =
      read_monitoring(bootstraps, hp->monitored ? 20000 : 3000, &counted);
  if (hp->monitored && (records == 0 || counted != MSG_CNT))
    fail("monitoring topic accounts for %lld of %d messages in %d records",
         static_cast<long long>(counted), MSG_CNT, records);
  if (!hp->monitored && records)
    fail("%d monitoring records from an unmonitored client", records);
  fprintf(report, "host: %d monitoring record(s), %lld of %d messages\n",
          records, static_cast<long long>(counted), MSG_CNT);
  check_maps(hp, "end");

  rd_kafka_mock_cluster_destroy(mcluster);
  rd_kafka_destroy(host);
}

} // namespace

int host_run(const host_params *hp) {
  failures = 0;
  /* The plug-in's lines go to standard error: capture them. */
  FILE *captured = tmpfile();
  if (!captured) {
    fprintf(stderr, "host: no temporary file: %s\n", strerror(errno));
    return 1;
  }
  fflush(stderr);
  int saved = dup(2);
  report = fdopen(dup(saved), "w");
  setvbuf(report, nullptr, _IONBF, 0);
  dup2(fileno(captured), 2);

  run(hp);

  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string lines;
  rewind(captured);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), captured)) > 0)
    lines.append(buf, n);
  fclose(captured);
  fputs(lines.c_str(), report);

  int unmonitored = count_lines(lines, "this client is not monitored");
  if (hp->monitored && unmonitored)
    fail("the plug-in says the client is not monitored");
  if (!hp->monitored &&
      (unmonitored != 1 || count_lines(lines, hp->refusal) != 1))
    fail("expected one line saying \"%s\" and that the client is not "
         "monitored, found %d",
         hp->refusal, unmonitored);
  fprintf(report, "host: %s\n", failures ? "FAILED" : "passed");
  fclose(report);
  return failures ? 1 : 0;
}
