/* The exporter's side: decoding and aggregating monitoring records on one
 * core, rendering a scrape, and the memory that its counters, sequence
 * tracking and audit take for many client topic-partitions.
 *
 * Records are encoded beforehand with the plug-in's own encoder, as three
 * clients (a producer and two consumer groups) would publish them, pass by
 * pass, over the topic-partitions of 100-partition topics. */
#include "exporter/aggregate.h"
#include "exporter/audit.h"
#include "exporter/exposition.h"
#include "monitoring/histogram_encode.h"
#include "monitoring/monitoring.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <malloc.h>
#include <string>
#include <vector>

constexpr int BENCH_CLIENTS = 3;
constexpr int64_t BENCH_WINDOW_MS = 15000;
constexpr int BENCH_PARTITIONS_PER_TOPIC = 100;

/* The latency counts of a record with histogram: its count spread over
 * five buckets around its latencies (3 to 41 ms). */
struct bench_hist {
  uint32_t counts[HISTOGRAM_BUCKET_CNT];
  int64_t total;
};

/* One framed record of client c for topic-partition tp in pass p, with a
 * latency histogram when hist is set. */
static std::string bench_record(int c, int tp, int p, bool hist = false) {
  static const char *const ids[BENCH_CLIENTS] = {
      "orders-service-producer", "billing-consumer", "audit-consumer"};
  static const char *const groups[BENCH_CLIENTS] = {nullptr, "billing",
                                                    "audit"};
  static const char *const sessions[BENCH_CLIENTS] = {
      "4b1e0c2a9f8d47e3b6a5c4d3e2f10987", "5c2f1d3b0a9e48f4c7b6d5e4f3a21098",
      "6d3a2e4c1b0f49a5d8c7e6f5a4b32109"};
  char topic[32];
  snprintf(topic, sizeof(topic), "topic-%03d", tp / BENCH_PARTITIONS_PER_TOPIC);
  MonitoringMessage m;
  monitoring_message_init(&m);
  m.client_type = c == 0 ? W4_CLIENT_PRODUCER : W4_CLIENT_CONSUMER;
  string_encode_callback(&m.client_id, ids[c]);
  string_encode_callback(&m.group_id, groups[c]);
  string_encode_callback(&m.session_id, sessions[c]);
  string_encode_callback(&m.cluster_id, "lkc-9x8y7z");
  string_encode_callback(&m.topic, topic);
  m.partition = tp % BENCH_PARTITIONS_PER_TOPIC;
  m.sequence = p;
  m.window = 1765000000000LL + p * BENCH_WINDOW_MS;
  m.timestamp = m.window + BENCH_WINDOW_MS + 20;
  m.window_size = BENCH_WINDOW_MS;
  m.count = 40 + (tp + p) % 200;
  m.aggregate_bytes = m.count * 350;
  m.latency_sum = m.count * 12;
  m.min_latency = 3;
  m.max_latency = 41;
  if (p > 0)
    m.min_recent_window = m.max_recent_window = m.window - BENCH_WINDOW_MS;
  bench_hist h = {};
  if (hist) {
    const int64_t lat[5] = {3, 7, 12, 20, 41};
    for (int i = 0; i < 5; i++)
      h.counts[histogram_index(lat[i])] +=
          static_cast<uint32_t>(m.count / 5 + (i < m.count % 5 ? 1 : 0));
    h.total = m.count;
  }
  size_t n = 0;
  pb_get_encoded_size(&n, monitoring_MonitoringMessage_fields, &m);
  if (hist)
    n += histogram_encoded_size(h.counts, h.total);
  std::string out(n + 1, '\0');
  out[0] = '\x7f';
  pb_ostream_t os =
      pb_ostream_from_buffer(reinterpret_cast<pb_byte_t *>(&out[1]), n);
  pb_encode(&os, monitoring_MonitoringMessage_fields, &m);
  if (hist)
    histogram_encode(&os, h.counts);
  return out;
}

/* Every record of passes [0, passes) over tps topic-partitions, pass by
 * pass, the clients interleaved as on the monitoring topic. */
static std::vector<std::string> bench_stream(int tps, int passes,
                                             bool hist = false) {
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(tps) * BENCH_CLIENTS * passes);
  for (int p = 0; p < passes; p++)
    for (int tp = 0; tp < tps; tp++)
      for (int c = 0; c < BENCH_CLIENTS; c++)
        out.push_back(bench_record(c, tp, p, hist));
  return out;
}

/* What the exporter does with one consumed value, short of the lock. */
static void bench_take(w4_aggregate *agg, w4_audit *audit, w4_record *rec,
                       const std::string &value, int64_t now) {
  std::string err;
  if (w4_record_decode(value.data(), value.size(), rec, &err) &&
      w4_record_sane(*rec, &err)) {
    w4_aggregate_add(agg, *rec, now);
    w4_audit_add(audit, *rec, now);
  } else {
    agg->bad_records++;
  }
}

/* Decoding and aggregating, one thread: 1,000 topic-partitions of three
 * clients over 20 passes (60,000 records), with the settling ticks that
 * the exporter runs, on fresh state each iteration. */
static void BM_decode_aggregate(benchmark::State &state) {
  static const std::vector<std::string> plain = bench_stream(1000, 20);
  static const std::vector<std::string> hist = bench_stream(1000, 20, true);
  const std::vector<std::string> &stream = state.range(0) ? hist : plain;
  w4_record rec;
  for (auto _ : state) {
    state.PauseTiming();
    w4_aggregate *agg = new w4_aggregate();
    w4_audit *audit = new w4_audit();
    agg->settle_ms = audit->settle_ms = 45000;
    state.ResumeTiming();
    int64_t now = 0;
    for (size_t i = 0; i < stream.size(); i++) {
      bench_take(agg, audit, &rec, stream[i], now);
      if (i % 3000 == 2999) { /* one pass: 15 s on the exporter's clock */
        now += BENCH_WINDOW_MS;
        w4_aggregate_tick(agg, now);
        w4_audit_tick(audit, now, nullptr);
      }
    }
    benchmark::DoNotOptimize(agg->decoded_records);
    state.PauseTiming();
    delete agg;
    delete audit;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<int64_t>(stream.size()));
}
/* Without histograms (0) and with one of five buckets in every record (1). */
BENCHMARK(BM_decode_aggregate)
    ->ArgName("histogram")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

/* Bytes the allocator has handed out, mapped blocks included. */
static double bench_heap_used(void) {
  struct mallinfo2 mi = mallinfo2();
  return static_cast<double>(mi.uordblks + mi.hblkhd);
}

/* The exporter's memory for n topic-partitions of three clients: after two
 * passes, with the audit's windows of the second pass still open. Also the
 * time and size of one scrape of that state. */
static void BM_memory(benchmark::State &state) {
  int tps = static_cast<int>(state.range(0));
  double bytes = 0, scrape_ms = 0, scrape_bytes = 0;
  for (auto _ : state) {
    std::vector<std::string> stream = bench_stream(tps, 2);
    w4_record rec;
    double before = bench_heap_used();
    w4_aggregate *agg = new w4_aggregate();
    w4_audit *audit = new w4_audit();
    agg->settle_ms = audit->settle_ms = 45000;
    for (size_t i = 0; i < stream.size(); i++)
      bench_take(agg, audit, &rec, stream[i],
                 i < stream.size() / 2 ? 0 : 30000);
    w4_aggregate_tick(agg, 50000);
    w4_audit_tick(audit, 50000, nullptr); /* settles the first pass */
    w4_exposition_opts opts;
    w4_exposition(agg, audit, opts); /* label texts are made once */
    bytes = bench_heap_used() - before;
    auto t0 = std::chrono::steady_clock::now();
    std::string text = w4_exposition(agg, audit, opts);
    scrape_ms = std::chrono::duration<double, std::milli>(
                    std::chrono::steady_clock::now() - t0)
                    .count();
    scrape_bytes = static_cast<double>(text.size());
    delete agg;
    delete audit;
  }
  state.counters["bytes"] = bytes;
  state.counters["bytes_per_client_tp"] = bytes / (tps * BENCH_CLIENTS);
  state.counters["scrape_ms"] = scrape_ms;
  state.counters["scrape_bytes"] = scrape_bytes;
}
BENCHMARK(BM_memory)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
