/* A hostile or churning writer: 200,000 records, each of a client id and a
 * topic of its own, fed through the exporter's monitor (decoded, checked,
 * counted, audited and noted for the page) with its default options, then
 * one scrape; also with --max-series 100000. Counters: the process's resident
 * memory after the records (and its peak, scrape included), the size, sample
 * lines and time of the scrape, and the longest that the reading thread,
 * adding records meanwhile, waited for one record (the scrape's hold on the
 * lock). The memory figures are the process's own: it runs alone. */
#include "exporter/monitor.h"
#include "monitoring/monitoring.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

constexpr int FLOOD_RECORDS = 200000;
constexpr int64_t FLOOD_T0 = 1765000000000LL;

/* A value of /proc/self/status in bytes ("VmRSS", "VmHWM"). */
static double flood_status_bytes(const char *name) {
  FILE *f = fopen("/proc/self/status", "r");
  if (!f)
    return 0;
  char line[256];
  double kb = 0;
  size_t n = strlen(name);
  while (fgets(line, sizeof(line), f))
    if (strncmp(line, name, n) == 0 && line[n] == ':')
      kb = atof(line + n + 1);
  fclose(f);
  return kb * 1024;
}

/* Record i: a producer's data record of a client id and topic of its own. */
static std::string flood_record(int i) {
  char id[48], topic[48];
  snprintf(id, sizeof(id), "churning-client-%07d", i);
  snprintf(topic, sizeof(topic), "churning-topic-%07d", i);
  MonitoringMessage m;
  monitoring_message_init(&m);
  m.client_type = 1;
  string_encode_callback(&m.client_id, id);
  string_encode_callback(&m.session_id, "4b1e0c2a9f8d47e3b6a5c4d3e2f10987");
  string_encode_callback(&m.cluster_id, "lkc-9x8y7z");
  string_encode_callback(&m.topic, topic);
  m.window = FLOOD_T0;
  m.timestamp = FLOOD_T0 + 15020;
  m.window_size = 15000;
  m.count = 100;
  m.aggregate_bytes = 35000;
  m.latency_sum = 1200;
  m.min_latency = 3;
  m.max_latency = 41;
  size_t n = 0;
  pb_get_encoded_size(&n, monitoring_MonitoringMessage_fields, &m);
  std::string out(n + 1, '\x7f');
  pb_ostream_t os =
      pb_ostream_from_buffer(reinterpret_cast<pb_byte_t *>(&out[1]), n);
  pb_encode(&os, monitoring_MonitoringMessage_fields, &m);
  return out;
}

/* The sample lines of an exposition text. */
static double flood_lines(const std::string &text) {
  double n = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    n += text[at] != '#';
    at = end + 1;
  }
  return n;
}

/* Adds records of the flood again until stop, as the reading thread does
 * during a scrape; the longest one took, seconds. */
static double flood_reader_wait(w4_monitor *mon,
                                const std::vector<std::string> &records,
                                const std::atomic<bool> &stop) {
  double longest = 0;
  w4_record rec;
  std::string err;
  for (size_t i = 0; !stop.load(); i = (i + 1) % records.size()) {
    auto t0 = std::chrono::steady_clock::now();
    w4_monitor_take(mon, records[i].data(), records[i].size(), 2000,
                    FLOOD_T0 + 22000, &rec, &err);
    double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
            .count();
    if (s > longest)
      longest = s;
  }
  return longest;
}

/* The flood through a monitor with its default options, or a limit of
 * range(0) sample lines when not 0. */
static void BM_flood(benchmark::State &state) {
  std::vector<std::string> records;
  records.reserve(FLOOD_RECORDS);
  for (int i = 0; i < FLOOD_RECORDS; i++)
    records.push_back(flood_record(i));
  double rss0 = flood_status_bytes("VmRSS");
  double rss = 0, bytes = 0, lines = 0, scrape_s = 0, wait_s = 0;
  for (auto _ : state) {
    w4_monitor *mon = new w4_monitor();
    w4_monitor_opts o;
    o.page_now_ms = FLOOD_T0 + 20000;
    if (state.range(0) > 0)
      o.max_series = static_cast<uint64_t>(state.range(0));
    w4_monitor_init(mon, o);
    w4_record rec;
    std::string err;
    for (int i = 0; i < FLOOD_RECORDS; i++) {
      const std::string &v = records[static_cast<size_t>(i)];
      int64_t t = i / 100; /* 100,000 records a second */
      w4_monitor_take(mon, v.data(), v.size(), t, FLOOD_T0 + 20000 + t, &rec,
                      &err);
      if (i % 50000 == 49999)
        w4_monitor_tick(mon, t, FLOOD_T0 + 20000 + t, nullptr);
    }
    rss = flood_status_bytes("VmRSS") - rss0;
    std::atomic<bool> stop{false};
    std::thread reader([&] { wait_s = flood_reader_wait(mon, records, stop); });
    auto t0 = std::chrono::steady_clock::now();
    std::string text = w4_monitor_render(mon);
    scrape_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
            .count();
    stop = true;
    reader.join();
    bytes = static_cast<double>(text.size());
    lines = flood_lines(text);
    delete mon;
  }
  state.counters["rss_mb"] = rss / 1e6;
  state.counters["peak_rss_mb"] = flood_status_bytes("VmHWM") / 1e6;
  state.counters["metrics_mb"] = bytes / 1e6;
  state.counters["metrics_lines"] = lines;
  state.counters["scrape_s"] = scrape_s;
  state.counters["reader_wait_max_s"] = wait_s;
}
BENCHMARK(BM_flood)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_flood)->Arg(100000)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
