/* The exporter's page at scale: 10,000 topic-partitions (100 topics of 100
 * partitions) with a producer and two consumer groups, an hour of history.
 * Measures the size and build time of each JSON document the page fetches,
 * then serves the page and lets headless Chromium render it, in runs that
 * alternate with the page of an empty exporter: the browser's whole run
 * (start, fetches, tables and charts drawn, DOM written out) at that size,
 * and its difference to the empty page, which is what the size costs. The
 * page's own clock is not used: under a virtual time budget it runs on the
 * browser's virtual time.
 *
 *   bench_page [--runs N] [--no-browser]
 *
 * Prints "name value" lines. */
#include "exporter/http.h"
#include "exporter/monitor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

static const int TOPICS = 100;
static const int PARTITIONS = 100;
static const int64_t WINDOW_MS = 15000;
static const int64_t T0 = 1765000000000LL;

/* One data record of client c (0 producer, 1 and 2 consumers) for a
 * topic-partition in pass p; group "audit" misses a message now and then. */
static void bench_fill(w4_record *rec, int c, int topic, int partition, int p) {
  static const char *const ids[3] = {"orders-service-producer",
                                     "billing-consumer", "audit-consumer"};
  static const char *const groups[3] = {"", "billing", "audit"};
  char name[32];
  snprintf(name, sizeof(name), "topic-%03d", topic);
  memset(&rec->msg, 0, sizeof(rec->msg));
  rec->client_id = ids[c];
  rec->group_id = groups[c];
  rec->session_id = std::string(32, static_cast<char>('a' + c));
  rec->cluster_id = "lkc-9x8y7z";
  rec->topic = name;
  monitoring_MonitoringMessage &m = rec->msg;
  m.client_type = c == 0 ? W4_CLIENT_PRODUCER : W4_CLIENT_CONSUMER;
  m.partition = partition;
  m.sequence = p;
  m.window = T0 + p * WINDOW_MS;
  m.timestamp = m.window + WINDOW_MS + 20;
  m.window_size = WINDOW_MS;
  m.count = 40 + (topic * PARTITIONS + partition + p) % 200;
  if (c == 2 && (topic + partition + p) % 97 == 0)
    m.count -= 3;
  m.aggregate_bytes = m.count * 350;
  m.latency_sum = m.count * (c ? 40 : 12);
  m.min_latency = 3;
  m.max_latency = c ? 180 : 41;
}

/* Fills the monitor: the last few passes over every topic-partition, and
 * one hour of passes of one topic-partition so that every step of the
 * history holds values; its page's "now" is the end of that hour. */
static void bench_build(w4_monitor *mon, int passes) {
  w4_record rec;
  int64_t end_ms = 0;
  const int hour_passes = static_cast<int>(W4_HISTORY_SPAN_MS / WINDOW_MS);
  for (int p = 0; p < hour_passes; p++) {
    int64_t wall = T0 + (p + 1) * WINDOW_MS + 20;
    bool full = p >= hour_passes - passes;
    for (int t = 0; t < (full ? TOPICS : 1); t++)
      for (int part = 0; part < (full ? PARTITIONS : 1); part++)
        for (int c = 0; c < 3; c++) {
          bench_fill(&rec, c, t, part, p);
          w4_monitor_add(mon, rec, wall, wall);
        }
    for (int64_t step = 0; step < WINDOW_MS; step += 5000)
      w4_monitor_tick(mon, wall + step, wall + step, nullptr);
    end_ms = wall + WINDOW_MS;
  }
  mon->o.page_now_ms = end_ms; /* not served yet: no other thread reads it */
}

/* Milliseconds spent by fn, and its result's size in *bytes. */
template <typename F> static double bench_time(F fn, size_t *bytes) {
  auto t0 = std::chrono::steady_clock::now();
  std::string out = fn();
  auto t1 = std::chrono::steady_clock::now();
  *bytes = out.size();
  return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

/* The median of values (not empty). */
static double bench_median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/* Runs headless Chromium once on url until the page has rendered; its wall
 * time in ms, or -1 when the page did not render. */
static double bench_browser(const std::string &url) {
  std::string tmpl = std::string(P_tmpdir) + "/w4bench-chromium-XXXXXX";
  if (!mkdtemp(&tmpl[0]))
    return -1;
  std::string cmd =
      "timeout -k 5 120 chromium --headless --no-sandbox --disable-gpu "
      "--disable-quic --no-first-run --disable-background-networking "
      "--disable-component-update --disable-sync --user-data-dir='" +
      tmpl +
      "' --window-size=1280,1100 --virtual-time-budget=3000 --dump-dom '" +
      url + "' 2>/dev/null";
  auto t0 = std::chrono::steady_clock::now();
  FILE *f = popen(cmd.c_str(), "r");
  std::string dom;
  char buf[65536];
  size_t n;
  while (f && (n = fread(buf, 1, sizeof(buf), f)) > 0)
    dom.append(buf, n);
  if (f)
    pclose(f);
  double wall_ms = std::chrono::duration<double, std::milli>(
                       std::chrono::steady_clock::now() - t0)
                       .count();
  std::string rm = "rm -rf '" + tmpl + "'";
  if (system(rm.c_str()) != 0)
    fprintf(stderr, "bench_page: cannot remove %s\n", tmpl.c_str());
  return dom.find("data-renders=\"") == std::string::npos ? -1 : wall_ms;
}

int main(int argc, char **argv) {
  int runs = 5;
  bool browser = true;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
      runs = std::max(1, atoi(argv[++i]));
    else if (strcmp(argv[i], "--no-browser") == 0)
      browser = false;
    else {
      fprintf(stderr, "usage: bench_page [--runs N] [--no-browser]\n");
      return 2;
    }
  }
  w4_monitor s;
  w4_monitor_opts opts;
  w4_monitor_init(&s, opts);
  bench_build(&s, 4);
  printf("page_client_partitions %d\n", TOPICS * PARTITIONS * 3);
  const w4_page_args none;
  w4_page_args one_topic = {{"topic", "topic-042"}, {"group", "audit"}};
  struct doc {
    const char *name;
    const w4_page_args *args;
  };
  const doc docs[] = {{"streams", &none},
                      {"clients", &none},
                      {"partitions", &one_topic},
                      {"history", &none}};
  for (const doc &d : docs) {
    std::vector<double> ms;
    size_t bytes = 0;
    std::string path = std::string("/api/") + d.name;
    auto make = [&] {
      std::string body;
      w4_monitor_api(&s, path, *d.args, &body);
      return body;
    };
    for (int r = 0; r < 5; r++)
      ms.push_back(bench_time(make, &bytes));
    printf("page_json_%s_bytes %zu\n", d.name, bytes);
    printf("page_json_%s_ms %.3f\n", d.name, bench_median(ms));
  }
  if (!browser)
    return 0;

  w4_monitor empty;
  opts.page_now_ms = s.o.page_now_ms;
  w4_monitor_init(&empty, opts);
  w4_http http, http_empty;
  std::string err;
  if (!w4_monitor_serve(&s, &http, "127.0.0.1", 0, &err) ||
      !w4_monitor_serve(&empty, &http_empty, "127.0.0.1", 0, &err)) {
    fprintf(stderr, "bench_page: cannot listen: %s\n", err.c_str());
    return 1;
  }
  std::string url = w4_http_base_url(http, "127.0.0.1") + "/";
  std::string url_empty = w4_http_base_url(http_empty, "127.0.0.1") + "/";
  std::vector<double> full, bare, diff;
  for (int r = 0; r < runs; r++) {
    double e = bench_browser(url_empty);
    double f = bench_browser(url);
    if (e < 0 || f < 0) {
      fprintf(stderr, "bench_page: the page did not render (run %d)\n", r);
      continue;
    }
    bare.push_back(e);
    full.push_back(f);
    diff.push_back(f - e);
  }
  w4_http_stop(&http);
  w4_http_stop(&http_empty);
  if (full.empty())
    return 1;
  printf("page_browser_runs %zu\n", full.size());
  printf("page_browser_ms %.0f\n", bench_median(full));
  printf("page_browser_empty_ms %.0f\n", bench_median(bare));
  printf("page_browser_extra_ms %.0f\n", bench_median(diff));
  return 0;
}
