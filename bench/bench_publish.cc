/* Cost of a publish pass, the part of it for which recording waits (the
 * hand-over under the lock), and the memory of the aggregation store.
 *
 * The pass produces into a real private producer whose cluster is
 * librdkafka's mock cluster. Only the pass is timed; the buckets are
 * refilled and the producer drained between passes. */
#include "interceptors/w4ic.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <librdkafka/rdkafka_mock.h>
#include <malloc.h>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace tinycthread;

constexpr int32_t BENCH_WINDOW_MS = 15000;
constexpr int BENCH_PARTITIONS_PER_TOPIC = 100;
constexpr int BENCH_DRAIN_TIMEOUT_MS = 60000;
static const char *const bench_mon_topic = "_quarndale-monitoring";

/* The mock cluster, hosted by a plain producer of its own. */
struct bench_cluster {
  rd_kafka_t *host;
  rd_kafka_mock_cluster_t *mcluster;
  std::string bootstraps;
};

static bench_cluster *cluster;

/* Starts the mock cluster with the monitoring topic; exits on failure. */
static bench_cluster *bench_cluster_start(void) {
  char errstr[512];
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  rd_kafka_conf_set(conf, "log_level", "0", errstr, sizeof(errstr));
  rd_kafka_t *host =
      rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  rd_kafka_mock_cluster_t *mcluster =
      host ? rd_kafka_mock_cluster_new(host, 1) : nullptr;
  if (!mcluster) {
    fprintf(stderr, "bench_publish: no mock cluster: %s\n", errstr);
    exit(1);
  }
  rd_kafka_mock_topic_create(mcluster, bench_mon_topic, 4, 1);
  bench_cluster *c = new bench_cluster;
  c->host = host;
  c->mcluster = mcluster;
  c->bootstraps = rd_kafka_mock_cluster_bootstraps(mcluster);
  return c;
}

/* Stops the mock cluster and its host. */
static void bench_cluster_stop(bench_cluster *c) {
  rd_kafka_mock_cluster_destroy(c->mcluster);
  rd_kafka_destroy(c->host);
  delete c;
}

/* Sets a property of the private producer's configuration or exits. */
static void bench_conf_set(rd_kafka_conf_t *conf, const char *name,
                           const char *value) {
  char errstr[512];
  if (rd_kafka_conf_set(conf, name, value, errstr, sizeof(errstr)) !=
      RD_KAFKA_CONF_OK) {
    fprintf(stderr, "bench_publish: %s: %s\n", name, errstr);
    exit(1);
  }
}

/* A publishing instance without an intercepted client: a private producer
 * on the mock cluster, identity strings, a known cluster id (so the pass
 * never asks for it) and a session that does not expire while measured. */
struct bench_publisher {
  w4ic *ic;
  char *cluster_id; /* ours, released with free() */
  std::vector<std::string> topics;
};

/* Creates the publishing instance with its producer, and no entry; its
 * windows carry latency histograms when histogram is set. */
static bench_publisher *bench_publisher_new(int32_t histogram) {
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  bench_conf_set(conf, "bootstrap.servers", cluster->bootstraps.c_str());
  bench_conf_set(conf, "api.version.request", "true");
  bench_conf_set(conf, "log_level", "3");
  bench_conf_set(conf, "log.connection.close", "false");
  bench_conf_set(conf, "queue.buffering.max.ms", "100");
  bench_conf_set(conf, "queue.buffering.max.messages", "1000000");
  char errstr[512];
  rd_kafka_t *mon_rk =
      rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!mon_rk) {
    fprintf(stderr, "bench_publish: private producer: %s\n", errstr);
    exit(1);
  }

  bench_publisher *p = new bench_publisher;
  w4ic *ic = static_cast<w4ic *>(calloc(1, sizeof(*ic)));
  mtx_init(&ic->lock, mtx_plain);
  tpmap_init(&ic->tpmap, TPMAP_CHAIN_CNT);
  ic->histogram = ic->tpmap.histogram = histogram;
  ic->publishms = BENCH_WINDOW_MS;
  ic->sessiondurationms = 600000;
  ic->client_type = 1;
  ic->client_id = ic_strdup("bench-producer");
  ic_uuid_str(ic->session_id, sizeof(ic->session_id));
  ic->session_expiry_ms = INT64_MAX;
  p->cluster_id = strdup("bench-cluster-0123456789");
  ic->cluster_id = p->cluster_id;
  ic->mon_rk = mon_rk;
  ic->mon_rkt = rd_kafka_topic_new(mon_rk, bench_mon_topic, nullptr);
  p->ic = ic;
  return p;
}

/* Drains and releases the producer, then the store and the instance. */
static void bench_publisher_free(bench_publisher *p) {
  w4ic *ic = p->ic;
  ic->cluster_id = nullptr;
  free(p->cluster_id);
  rd_kafka_flush(ic->mon_rk, BENCH_DRAIN_TIMEOUT_MS);
  rd_kafka_topic_destroy(ic->mon_rkt);
  rd_kafka_destroy(ic->mon_rk);
  tpmap_destroy(&ic->tpmap);
  ic_free(ic->client_id);
  ic_free(ic->record_buf);
  mtx_destroy(&ic->lock);
  ic_free(ic);
  delete p;
}

/* The name of topic t of the larger maps. */
static const char *bench_topic_name(std::vector<std::string> *topics,
                                    size_t t) {
  char name[64];
  while (topics->size() <= t) {
    snprintf(name, sizeof(name), "bench.topic.%06zu", topics->size());
    topics->push_back(name);
  }
  return (*topics)[t].c_str();
}

/* Creates n entries, entry i being partition i % 100 of topic i / 100, in
 * ascending key order (partition first): each lands at the head of its
 * chain, so creating them is linear. */
static void bench_entries_create(tpmap *map, std::vector<std::string> *topics,
                                 int64_t n) {
  for (int64_t p = 0; p < BENCH_PARTITIONS_PER_TOPIC; p++)
    for (int64_t i = p; i < n; i += BENCH_PARTITIONS_PER_TOPIC)
      tp_get(map,
             bench_topic_name(
                 topics, static_cast<size_t>(i / BENCH_PARTITIONS_PER_TOPIC)),
             static_cast<int32_t>(p), BENCH_WINDOW_MS);
}

/* Gives every entry one bucket with a few messages, as recording would;
 * walks the creation list, so the map's lookup is not paid again. With
 * another thread recording, each entry under the instance's lock. */
static void bench_buckets_fill(tpmap *map, int64_t ts, mtx_t *lock = nullptr) {
  for (tp *e = map->tps.first; e; e = tailq_next(e, &tp::list_link)) {
    if (lock)
      mtx_lock(lock);
    timebuckets *set = tp_recording_set(map, e);
    timebucket *b = timebucket_get(set, ts);
    if (b) {
      b->msg.count += 10;
      b->msg.aggregate_bytes += 1000;
      b->msg.latency_sum += 50;
      b->msg.min_latency = 3;
      b->msg.max_latency = 9;
      if (set->histogram) { /* the same ten latencies, 3 buckets */
        b->latency_counts[histogram_index(3)] += 4;
        b->latency_counts[histogram_index(5)] += 3;
        b->latency_counts[histogram_index(9)] += 3;
      }
    }
    if (lock)
      mtx_unlock(lock);
  }
}

/* Waits until every record produced so far is delivered; false when they
 * are not within the bound. */
static bool bench_drain(rd_kafka_t *rk) {
  rd_kafka_flush(rk, BENCH_DRAIN_TIMEOUT_MS);
  return rd_kafka_outq_len(rk) == 0;
}

/* Publishers of the pass benchmark, one per map size, made on first use and
 * kept across repetitions. */
static std::map<int64_t, bench_publisher *> publishers;

/* The publisher of n entries, made and warmed up on first use; with
 * latency histograms when histogram is set. */
static bench_publisher *bench_publisher_get(int64_t n, int32_t histogram = 0) {
  int64_t key = histogram ? -n : n;
  auto it = publishers.find(key);
  if (it != publishers.end())
    return it->second;
  bench_publisher *p = bench_publisher_new(histogram);
  bench_entries_create(&p->ic->tpmap, &p->topics, n);
  /* One untimed pass: the producer learns the topic, the record buffer is
   * allocated. */
  bench_buckets_fill(&p->ic->tpmap, ic_now_ms());
  w4ic_publish(p->ic, 0);
  bench_drain(p->ic->mon_rk);
  publishers[key] = p;
  return p;
}

/* The pass benchmark's body: one pass over range(0) entries of one bucket
 * each. The iteration time is the whole pass; the counters give the
 * hand-over, the only part that holds the lock (recording waits for nothing
 * else), per record and at most. */
static void bench_publish_pass(benchmark::State &state, int32_t histogram) {
  int64_t n = state.range(0);
  bench_publisher *p = bench_publisher_get(n, histogram);
  w4ic *ic = p->ic;
  double total_s = 0, handover_max_s = 0, handover_sum_s = 0;
  for (auto _ : state) {
    bench_buckets_fill(&ic->tpmap, ic_now_ms());
    auto t0 = std::chrono::steady_clock::now();
    int64_t now = ic_now_ms();
    w4ic_pass pass;
    w4ic_pass_begin(ic, &pass);
    auto t1 = std::chrono::steady_clock::now();
    w4ic_pass_publish(ic, pass, 0, now);
    auto t2 = std::chrono::steady_clock::now();
    double s = std::chrono::duration<double>(t2 - t0).count();
    double h = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(s);
    total_s += s;
    handover_sum_s += h;
    handover_max_s = std::max(handover_max_s, h);
    if (!bench_drain(ic->mon_rk)) {
      state.SkipWithError("private producer did not drain");
      break;
    }
  }
  double passes = static_cast<double>(state.iterations());
  state.counters["records"] = static_cast<double>(n);
  state.counters["ns_per_record"] =
      passes > 0 ? total_s * 1e9 / (passes * static_cast<double>(n)) : 0;
  state.counters["lock_held_us_mean"] =
      passes > 0 ? handover_sum_s * 1e6 / passes : 0;
  state.counters["lock_held_us_max"] = handover_max_s * 1e6;
  state.SetItemsProcessed(state.iterations() * n);
}
/* One pass over range(0) entries of one bucket each. */
static void BM_publish_pass(benchmark::State &state) {
  bench_publish_pass(state, 0);
}

/* The same with the histogram setting off (range(1) 0) or on (1). */
static void BM_publish_pass_histogram(benchmark::State &state) {
  bench_publish_pass(state, static_cast<int32_t>(state.range(1)));
}

BENCHMARK(BM_publish_pass)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Args({1000})
    ->Iterations(40);
BENCHMARK(BM_publish_pass)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Args({10000})
    ->Iterations(15);
BENCHMARK(BM_publish_pass)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Args({100000})
    ->Iterations(4);
/* The histogram setting off and on, 10,000 records with three non-empty
 * buckets each: the encoding's cost per record. */
BENCHMARK(BM_publish_pass_histogram)
    ->ArgNames({"records", "histogram"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Iterations(15);

/* A recording thread's view of passes over range(0) entries: it records
 * into one entry of its own, timing every call, while the main thread
 * fills every entry's bucket (each under the lock, as recording would) and
 * runs a pass, again and again. The calls that began during a pass are
 * what the message path waits for; those that began outside passes are
 * the machine's own noise, for comparison. */
struct bench_probe {
  w4ic *ic;
  std::atomic<bool> stop{false};
  std::atomic<bool> ready{false};
  std::vector<std::pair<double, double>> calls; /* start s, duration ns */
};

/* Seconds on the monotonic clock. */
static double bench_now_s(void) {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

/* The probe: about one message a microsecond, a busy client. */
static void bench_probe_loop(bench_probe *p) {
  int64_t ts = ic_now_ms();
  /* The entry is made before the timing: a new entry may grow the map. */
  w4ic_account(p->ic, "bench.probe", 0, 100, ts, 1);
  p->ready = true;
  while (!p->stop.load(std::memory_order_relaxed)) {
    double t0 = bench_now_s();
    w4ic_account(p->ic, "bench.probe", 0, 100, ts, 1);
    double t1 = bench_now_s();
    p->calls.push_back({t0, (t1 - t0) * 1e9});
    while (bench_now_s() < t1 + 1e-6)
      ;
  }
}

/* Sets the counters prefix_p50 ... prefix_max of durations (ns). */
static void bench_tail_counters(benchmark::State &state, const char *prefix,
                                std::vector<double> v) {
  std::sort(v.begin(), v.end());
  auto at = [&v](double q) {
    return v.empty()
               ? 0
               : v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
  };
  std::string p = prefix;
  state.counters[p + "_calls"] = static_cast<double>(v.size());
  state.counters[p + "_ns_p50"] = at(0.5);
  state.counters[p + "_ns_p99"] = at(0.99);
  state.counters[p + "_ns_p999"] = at(0.999);
  state.counters[p + "_ns_max"] = v.empty() ? 0 : v.back();
}

static void BM_record_during_passes(benchmark::State &state) {
  int64_t n = state.range(0);
  bench_publisher *pub = bench_publisher_get(n, 0);
  bench_probe probe;
  probe.ic = pub->ic;
  probe.calls.reserve(1 << 23);
  std::vector<std::pair<double, double>> passes;
  std::thread th(bench_probe_loop, &probe);
  while (!probe.ready)
    std::this_thread::yield();
  for (auto _ : state) {
    bench_buckets_fill(&pub->ic->tpmap, ic_now_ms(), &pub->ic->lock);
    double t0 = bench_now_s();
    w4ic_publish(pub->ic, 0);
    passes.push_back({t0, bench_now_s()});
    if (!bench_drain(pub->ic->mon_rk)) {
      state.SkipWithError("private producer did not drain");
      break;
    }
  }
  probe.stop = true;
  th.join();
  std::vector<double> during, outside;
  size_t k = 0;
  for (const auto &c : probe.calls) {
    while (k < passes.size() && passes[k].second < c.first)
      k++;
    bool in = k < passes.size() && passes[k].first <= c.first;
    (in ? during : outside).push_back(c.second);
  }
  bench_tail_counters(state, "during_pass", during);
  bench_tail_counters(state, "outside", outside);
}
BENCHMARK(BM_record_during_passes)
    ->Unit(benchmark::kMillisecond)
    ->Args({10000})
    ->Iterations(10);
BENCHMARK(BM_record_during_passes)
    ->Unit(benchmark::kMillisecond)
    ->Args({100000})
    ->Iterations(4);

/* Bytes the allocator has handed out and not taken back, large blocks that
 * it maps on their own (such as a grown chain array) included. */
static double bench_heap_used(void) {
  struct mallinfo2 mi = mallinfo2();
  return static_cast<double>(mi.uordblks + mi.hblkhd);
}

/* Memory per topic-partition entry (with its topic copy and its share of
 * the map's chains) and per bucket, as the allocator counts it, over 100k of
 * each. */
static void BM_memory(benchmark::State &state) {
  int64_t n = state.range(0);
  double per_entry = 0, per_bucket = 0;
  for (auto _ : state) {
    std::vector<std::string> topics;
    bench_topic_name(&topics, static_cast<size_t>(n / 100 + 1));
    tpmap map;
    tpmap_init(&map, TPMAP_CHAIN_CNT);
    double before = bench_heap_used();
    bench_entries_create(&map, &topics, n);
    double entries = bench_heap_used();
    bench_buckets_fill(&map, ic_now_ms());
    double buckets = bench_heap_used();
    tpmap_destroy(&map);
    per_entry = (entries - before) / static_cast<double>(n);
    per_bucket = (buckets - entries) / static_cast<double>(n);
  }
  state.counters["bytes_per_entry"] = per_entry;
  state.counters["bytes_per_bucket"] = per_bucket;
  state.counters["sizeof_tp"] = static_cast<double>(sizeof(tp));
  state.counters["sizeof_timebucket"] = static_cast<double>(sizeof(timebucket));
}
BENCHMARK(BM_memory)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

/* Starts the mock cluster, runs the selected benchmarks, releases all. */
int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  cluster = bench_cluster_start();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (auto &it : publishers)
    bench_publisher_free(it.second);
  bench_cluster_stop(cluster);
  return 0;
}
