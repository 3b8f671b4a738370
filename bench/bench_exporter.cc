/* The exporter's side: decoding, aggregating and auditing monitoring
 * records on one core, rendering a scrape, the memory that its counters,
 * sequence tracking and audit take for many client topic-partitions, the
 * audit's memory per open window and group, its bound over a long run, and
 * the cost of saving its state.
 *
 * Records are encoded beforehand with the plug-in's own encoder, as a
 * producer and consumer groups (one client each) would publish them, pass
 * by pass, over the topic-partitions of 100-partition topics. The audit's
 * memory benchmarks hand it records already decoded. */
#include "exporter/aggregate.h"
#include "exporter/audit.h"
#include "exporter/exposition.h"
#include "monitoring/histogram_encode.h"
#include "monitoring/monitoring.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <malloc.h>
#include <string>
#include <vector>

constexpr int BENCH_CLIENTS = 3;
constexpr int64_t BENCH_WINDOW_MS = 15000;
constexpr int BENCH_PARTITIONS_PER_TOPIC = 100;
constexpr int64_t BENCH_T0 = 1765000000000LL;

/* The shape of a stream of records: a producer and consumer groups (one
 * client each) over topic-partitions of 100-partition topics. */
struct bench_shape {
  int tps = 1000;     /* topic-partitions */
  int passes = 20;    /* the producer's windows, one per pass */
  int groups = 2;     /* consumer groups */
  int lag = 0;        /* passes a group's records come after the producer's */
  bool skips = false; /* the last group misses 3 messages now and then */
  bool hist = false;  /* records carry latency histograms */
  int64_t window_ms = BENCH_WINDOW_MS;
};

/* The latency counts of a record with histogram: its count spread over
 * five buckets around its latencies (3 to 41 ms). */
struct bench_hist {
  uint32_t counts[HISTOGRAM_BUCKET_CNT];
  int64_t total;
};

/* The identity of client c: 0 the producer, 1 and up a group's consumer. */
struct bench_client {
  std::string id;
  std::string group; /* empty for the producer */
  std::string session;
};

/* Client c's names; the first three as they always were. */
static bench_client bench_client_of(int c) {
  static const char *const ids[BENCH_CLIENTS] = {
      "orders-service-producer", "billing-consumer", "audit-consumer"};
  static const char *const groups[BENCH_CLIENTS] = {"", "billing", "audit"};
  static const char *const sessions[BENCH_CLIENTS] = {
      "4b1e0c2a9f8d47e3b6a5c4d3e2f10987", "5c2f1d3b0a9e48f4c7b6d5e4f3a21098",
      "6d3a2e4c1b0f49a5d8c7e6f5a4b32109"};
  if (c < BENCH_CLIENTS)
    return bench_client{ids[c], groups[c], sessions[c]};
  char id[32], group[32], session[40];
  snprintf(id, sizeof(id), "group-%02d-consumer", c);
  snprintf(group, sizeof(group), "group-%02d", c);
  snprintf(session, sizeof(session), "7e4b3f5d2c1a4%019d", c);
  return bench_client{id, group, session};
}

/* The fields of client c's record for topic-partition tp and window w
 * (its producer's pass), published in pass p: numbers only. */
static void bench_fields(const bench_shape &sh, int c, int tp, int w, int p,
                         MonitoringMessage *m) {
  monitoring_message_init(m);
  m->client_type = c == 0 ? W4_CLIENT_PRODUCER : W4_CLIENT_CONSUMER;
  m->partition = tp % BENCH_PARTITIONS_PER_TOPIC;
  m->sequence = w;
  m->window = BENCH_T0 + w * sh.window_ms;
  m->timestamp = BENCH_T0 + p * sh.window_ms + sh.window_ms + 20;
  m->window_size = sh.window_ms;
  m->count = 40 + (tp + w) % 200;
  if (sh.skips && c == sh.groups && (tp + w) % 97 == 0)
    m->count -= 3;
  m->aggregate_bytes = m->count * 350;
  m->latency_sum = m->count * 12;
  m->min_latency = 3;
  m->max_latency = 41;
  if (w > 0)
    m->min_recent_window = m->max_recent_window = m->window - sh.window_ms;
}

/* The topic of topic-partition tp. */
static std::string bench_topic(int tp) {
  char topic[32];
  snprintf(topic, sizeof(topic), "topic-%03d", tp / BENCH_PARTITIONS_PER_TOPIC);
  return topic;
}

/* One framed record of client c for topic-partition tp and window w,
 * published in pass p, with a latency histogram when the shape says so. */
static std::string bench_record(const bench_shape &sh, int c, int tp, int w,
                                int p) {
  bench_client cl = bench_client_of(c);
  std::string topic = bench_topic(tp);
  MonitoringMessage m;
  bench_fields(sh, c, tp, w, p, &m);
  string_encode_callback(&m.client_id, cl.id.c_str());
  string_encode_callback(&m.group_id, c ? cl.group.c_str() : nullptr);
  string_encode_callback(&m.session_id, cl.session.c_str());
  string_encode_callback(&m.cluster_id, "lkc-9x8y7z");
  string_encode_callback(&m.topic, topic.c_str());
  bench_hist h = {};
  if (sh.hist) {
    const int64_t lat[5] = {3, 7, 12, 20, 41};
    for (int i = 0; i < 5; i++)
      h.counts[histogram_index(lat[i])] +=
          static_cast<uint32_t>(m.count / 5 + (i < m.count % 5 ? 1 : 0));
    h.total = m.count;
  }
  size_t n = 0;
  pb_get_encoded_size(&n, monitoring_MonitoringMessage_fields, &m);
  if (sh.hist)
    n += histogram_encoded_size(h.counts, h.total);
  std::string out(n + 1, '\0');
  out[0] = '\x7f';
  pb_ostream_t os =
      pb_ostream_from_buffer(reinterpret_cast<pb_byte_t *>(&out[1]), n);
  pb_encode(&os, monitoring_MonitoringMessage_fields, &m);
  if (sh.hist)
    histogram_encode(&os, h.counts);
  return out;
}

/* The same record as the exporter holds it once decoded. */
static void bench_fill(const bench_shape &sh, int c, int tp, int w, int p,
                       w4_record *rec) {
  bench_client cl = bench_client_of(c);
  bench_fields(sh, c, tp, w, p, &rec->msg);
  rec->client_id = cl.id;
  rec->group_id = cl.group;
  rec->has_group_id = c != 0;
  rec->session_id = cl.session;
  rec->cluster_id = "lkc-9x8y7z";
  rec->has_cluster_id = true;
  rec->topic = bench_topic(tp);
  rec->hist_index.clear();
  rec->hist_count.clear();
}

/* The window that client c publishes in pass p, or -1 when none: the
 * groups' windows come lag passes after the producer's. */
static int bench_window_of(const bench_shape &sh, int c, int p) {
  int w = c == 0 ? p : p - sh.lag;
  return w >= 0 && w < sh.passes ? w : -1;
}

/* A stream of records, pass by pass, and where each pass ends. */
struct bench_stream_t {
  std::vector<std::string> records;
  std::vector<size_t> pass_end;
};

/* Every record of the shape, pass by pass, the clients interleaved as on
 * the monitoring topic. */
static bench_stream_t bench_stream(const bench_shape &sh) {
  bench_stream_t out;
  for (int p = 0; p < sh.passes + sh.lag; p++) {
    for (int tp = 0; tp < sh.tps; tp++)
      for (int c = 0; c <= sh.groups; c++) {
        int w = bench_window_of(sh, c, p);
        if (w >= 0)
          out.records.push_back(bench_record(sh, c, tp, w, p));
      }
    out.pass_end.push_back(out.records.size());
  }
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

/* Decodes, aggregates and audits a stream on fresh state each iteration,
 * with a settling tick after each pass (15 s on the exporter's clock), as
 * many records per second as one thread takes. */
static void bench_throughput(benchmark::State &state,
                             const bench_stream_t &stream) {
  w4_record rec;
  for (auto _ : state) {
    state.PauseTiming();
    w4_aggregate *agg = new w4_aggregate();
    w4_audit *audit = new w4_audit();
    agg->settle_ms = audit->settle_ms = 45000;
    state.ResumeTiming();
    int64_t now = 0;
    size_t i = 0;
    for (size_t end : stream.pass_end) {
      for (; i < end; i++)
        bench_take(agg, audit, &rec, stream.records[i], now);
      now += BENCH_WINDOW_MS;
      w4_aggregate_tick(agg, now);
      w4_audit_tick(audit, now, nullptr);
    }
    benchmark::DoNotOptimize(agg->decoded_records);
    state.PauseTiming();
    delete agg;
    delete audit;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<int64_t>(stream.records.size()));
}

/* Decoding and aggregating, one thread: 1,000 topic-partitions of three
 * clients (a producer and two groups) over 20 passes (60,000 records). */
static void BM_decode_aggregate(benchmark::State &state) {
  bench_shape sh;
  static const bench_stream_t plain = bench_stream(sh);
  sh.hist = true;
  static const bench_stream_t hist = bench_stream(sh);
  bench_throughput(state, state.range(0) ? hist : plain);
}
/* Without histograms (0) and with one of five buckets in every record (1). */
BENCHMARK(BM_decode_aggregate)
    ->ArgName("histogram")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

/* The same with lagging groups: their records come N passes (windows)
 * after the producer's, so that each window waits for them, and one group
 * misses 3 messages of one record in 97 (pending, then missing). */
static void BM_decode_aggregate_lag(benchmark::State &state) {
  bench_shape sh;
  sh.lag = static_cast<int>(state.range(0));
  sh.skips = true;
  static const bench_stream_t stream = bench_stream(sh);
  bench_throughput(state, stream);
}
BENCHMARK(BM_decode_aggregate_lag)
    ->ArgName("lag")
    ->Arg(4)
    ->Unit(benchmark::kMillisecond);

/* Many groups per topic: a producer and N groups on 200 topic-partitions
 * (2 topics) over 20 passes (84,000 records at 20 groups), one group
 * skipping now and then. */
static void BM_decode_aggregate_groups(benchmark::State &state) {
  bench_shape sh;
  sh.tps = 200;
  sh.groups = static_cast<int>(state.range(0));
  sh.skips = true;
  static const bench_stream_t stream = bench_stream(sh);
  bench_throughput(state, stream);
}
BENCHMARK(BM_decode_aggregate_groups)
    ->ArgName("groups")
    ->Arg(20)
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
    bench_shape sh;
    sh.tps = tps;
    sh.passes = 2;
    std::vector<std::string> stream = bench_stream(sh).records;
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

/* The audit's parts that came with its saved state, horizon and gauges,
 * kept together here. */

/* The audit's state as saved (what the exporter writes once a second), its
 * size through *bytes and the time it took through *ms. */
static void bench_save(const w4_audit &a, int64_t now_ms, double *bytes,
                       double *ms) {
  auto t0 = std::chrono::steady_clock::now();
  std::string saved = w4_audit_save(a, now_ms);
  *ms = std::chrono::duration<double, std::milli>(
            std::chrono::steady_clock::now() - t0)
            .count();
  *bytes = static_cast<double>(saved.size());
}

/* Sets the audit's horizon (a group idle this long stops). */
static void bench_horizon(w4_audit *a, int64_t horizon_ms) {
  a->horizon_ms = horizon_ms;
}

/* The windows some group has not judged, as of the latest tick. */
static double bench_open_windows(const w4_audit &a) {
  return static_cast<double>(a.open_windows);
}

/* Takes windows [0, windows) of the shape's producer and groups over its
 * topic-partitions into the audit, all arriving at now_ms: records that
 * are already decoded, so that only the audit works. */
static void bench_open(w4_audit *a, const bench_shape &sh, int windows,
                       int64_t now_ms) {
  w4_record rec;
  for (int w = 0; w < windows; w++)
    for (int tp = 0; tp < sh.tps; tp++)
      for (int c = 0; c <= sh.groups; c++) {
        bench_fill(sh, c, tp, w, w, &rec);
        w4_audit_add(a, rec, now_ms);
      }
}

/* Memory per open window and group: 1,000 topic-partitions, N windows each
 * and G groups consuming every one of them, all arriving at once so that
 * nothing settles (a tick runs: it makes the gauges). Bytes from the
 * allocator's statistics, per topic-partition window and per window and
 * group; the saved state's bytes likewise. */
static void BM_audit_open(benchmark::State &state) {
  bench_shape sh;
  sh.groups = static_cast<int>(state.range(1));
  int windows = static_cast<int>(state.range(0));
  double bytes = 0, saved = 0, save_ms = 0;
  for (auto _ : state) {
    double before = bench_heap_used();
    w4_audit *audit = new w4_audit();
    bench_open(audit, sh, windows, 0);
    w4_audit_tick(audit, 0, nullptr);
    bytes = bench_heap_used() - before;
    bench_save(*audit, 0, &saved, &save_ms);
    delete audit;
  }
  double tpw = static_cast<double>(sh.tps) * windows;
  state.counters["bytes"] = bytes;
  state.counters["bytes_per_window"] = bytes / tpw;
  state.counters["bytes_per_window_group"] = bytes / (tpw * sh.groups);
  state.counters["save_bytes"] = saved;
  state.counters["save_bytes_per_window_group"] = saved / (tpw * sh.groups);
  state.counters["save_ms"] = save_ms;
}
BENCHMARK(BM_audit_open)
    ->ArgNames({"windows", "groups"})
    ->Args({4, 2})
    ->Args({16, 2})
    ->Args({4, 20})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

/* The state bound: the defaults' shape (--settle 60 s, --max-window-age and
 * --horizon an hour, windows of 15 s) scaled down 15 times, over 1,200
 * windows of 100 topic-partitions, a tick per window. Group "billing"
 * consumes everything; group "audit" misses 3 messages now and then, stops
 * at window 300 (its windows wait: max-window-age drops them and the
 * horizon stops it) and resumes at window 900. Reports the audit's memory
 * before the stop, at its peak, at the end and its spread over the last 200
 * windows; the saved state's largest size (every 50 windows) and at the
 * end. */
static void BM_audit_bounded(benchmark::State &state) {
  const int windows = 1200, stop = 300, resume = 900;
  bench_shape sh;
  sh.tps = 100;
  sh.window_ms = 1000;
  sh.skips = true;
  double peak = 0, end = 0, lo = 1e300, hi = 0, saved_peak = 0, saved_end = 0;
  double open_end = 0, dropped = 0, save_ms = 0, before_stop = 0;
  w4_record rec;
  for (auto _ : state) {
    double before = bench_heap_used();
    w4_audit *a = new w4_audit();
    a->settle_ms = 4000;
    a->max_age_ms = 240000;
    bench_horizon(a, 240000);
    for (int w = 0; w < windows; w++) {
      int64_t now = (w + 1) * sh.window_ms + 20;
      for (int tp = 0; tp < sh.tps; tp++)
        for (int c = 0; c <= sh.groups; c++) {
          if (c == 2 && w >= stop && w < resume)
            continue;
          bench_fill(sh, c, tp, w, w, &rec);
          w4_audit_add(a, rec, now);
        }
      w4_audit_tick(a, now, nullptr);
      double used = bench_heap_used() - before;
      peak = std::max(peak, used);
      if (w % 50 == 49) {
        double saved = 0;
        bench_save(*a, now, &saved, &save_ms);
        saved_peak = std::max(saved_peak, saved);
      }
      if (w == stop - 1)
        before_stop = used;
      if (w >= windows - 200) {
        lo = std::min(lo, used);
        hi = std::max(hi, used);
      }
      end = used;
    }
    bench_save(*a, (windows + 1) * sh.window_ms, &saved_end, &save_ms);
    open_end = bench_open_windows(*a);
    dropped = static_cast<double>(a->dropped_windows);
    delete a;
  }
  state.counters["bytes_peak"] = peak;
  state.counters["bytes_before_stop"] = before_stop;
  state.counters["bytes_end"] = end;
  state.counters["bytes_last200_min"] = lo;
  state.counters["bytes_last200_max"] = hi;
  state.counters["end_over_peak"] = end / peak;
  state.counters["save_bytes_peak"] = saved_peak;
  state.counters["save_bytes_end"] = saved_end;
  state.counters["open_windows_end"] = open_end;
  state.counters["dropped_windows"] = dropped;
}
BENCHMARK(BM_audit_bounded)->Iterations(1)->Unit(benchmark::kMillisecond);

/* The cost of a save (the exporter saves once a second) and of an idle
 * tick (it ticks twice a second) over 10,000 topic-partitions, with 3 open
 * windows each consumed by 2 groups. */
static void BM_audit_save(benchmark::State &state) {
  bench_shape sh;
  sh.tps = 10000;
  w4_audit *a = new w4_audit();
  bench_open(a, sh, 3, 0);
  double bytes = 0, ms = 0, tick_ms = 0;
  for (auto _ : state) {
    bench_save(*a, 0, &bytes, &ms);
    state.SetIterationTime(ms / 1e3);
  }
  for (int i = 0; i < 5; i++) { /* nothing is due at 1 s */
    auto t0 = std::chrono::steady_clock::now();
    w4_audit_tick(a, 1000, nullptr);
    tick_ms += std::chrono::duration<double, std::milli>(
                   std::chrono::steady_clock::now() - t0)
                   .count();
  }
  delete a;
  state.counters["save_bytes"] = bytes;
  state.counters["save_bytes_per_window_group"] = bytes / (10000.0 * 3 * 2);
  state.counters["tick_ms"] = tick_ms / 5;
}
BENCHMARK(BM_audit_save)
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
