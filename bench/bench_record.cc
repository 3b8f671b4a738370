/* Cost of recording one message: the accounting core, lock included, into an
 * existing bucket, a new bucket or a new topic-partition entry.
 *
 * The instances here have no client: a zero-filled record with its lock and
 * map is all that recording touches. */
#include "interceptors/w4ic.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace tinycthread;

constexpr int32_t BENCH_WINDOW_MS = 15000;
constexpr int64_t BENCH_BYTES = 100;
constexpr int64_t BENCH_LATENCY = 5;
/* Topic-partitions of the larger maps: this many partitions per topic. */
constexpr int BENCH_PARTITIONS_PER_TOPIC = 100;
/* New buckets made between two clears of the bucket set. */
constexpr int64_t BENCH_BUCKETS_PER_CLEAR = 1024;
/* New entries timed per run of the new-entry benchmark. */
constexpr int64_t BENCH_NEW_ENTRIES = 2000;

static const char *const bench_topic = "bench.topic.events";

/* A message timestamp near the present, fixed for the whole process. */
static int64_t bench_ts(void) {
  static const int64_t ts = ic_now_ms();
  return ts;
}

/* An instance with an empty store and no client: enough for recording;
 * its windows carry latency histograms when histogram is set and offset
 * ranges when offsets is. */
static w4ic *bench_ic_new(int32_t histogram = 0, int32_t offsets = 0) {
  w4ic *ic = static_cast<w4ic *>(calloc(1, sizeof(*ic)));
  mtx_init(&ic->lock, mtx_plain);
  tpmap_init(&ic->tpmap, TPMAP_CHAIN_CNT);
  ic->publishms = BENCH_WINDOW_MS;
  ic->histogram = ic->tpmap.histogram = histogram;
  ic->offsets = ic->tpmap.offsets = offsets;
  return ic;
}

/* Releases an instance made by bench_ic_new. */
static void bench_ic_free(w4ic *ic) {
  tpmap_destroy(&ic->tpmap);
  mtx_destroy(&ic->lock);
  ic_free(ic);
}

/* Topic names of the larger maps: entry i is partition i % 100 of topic
 * i / 100, so that chains mix partition and topic comparisons. */
struct bench_keys {
  std::vector<std::string> topics;
};

/* Makes sure names exist for entries [0, n). */
static void bench_keys_reserve(bench_keys *keys, int64_t n) {
  size_t need = static_cast<size_t>(n / BENCH_PARTITIONS_PER_TOPIC + 1);
  char name[64];
  while (keys->topics.size() < need) {
    snprintf(name, sizeof(name), "bench.topic.%06zu", keys->topics.size());
    keys->topics.push_back(name);
  }
}

/* The topic name of entry i. */
static const char *bench_key_topic(const bench_keys *keys, int64_t i) {
  return keys->topics[static_cast<size_t>(i / BENCH_PARTITIONS_PER_TOPIC)]
      .c_str();
}

/* The partition of entry i. */
static int32_t bench_key_partition(int64_t i) {
  return static_cast<int32_t>(i % BENCH_PARTITIONS_PER_TOPIC);
}

/* Records one message into each of the entries [0, n). They are created in
 * ascending key order, partition first, so that each lands at the head of
 * its chain: filling is linear, the chains end up the same as in any
 * order. */
static void bench_fill(w4ic *ic, bench_keys *keys, int64_t n) {
  bench_keys_reserve(keys, n);
  for (int64_t p = 0; p < BENCH_PARTITIONS_PER_TOPIC; p++)
    for (int64_t i = p; i < n; i += BENCH_PARTITIONS_PER_TOPIC)
      w4ic_account(ic, bench_key_topic(keys, i), bench_key_partition(i),
                   BENCH_BYTES, bench_ts(), BENCH_LATENCY);
}

/* The instance shared by the threads of the existing-bucket benchmarks. */
static w4ic *shared_ic;

/* Runs once before the threads start: one entry per thread, each with its
 * bucket. */
static void shared_setup(const benchmark::State &state) {
  shared_ic = bench_ic_new();
  for (int t = 0; t < state.threads(); t++)
    w4ic_account(shared_ic, bench_topic, t, BENCH_BYTES, bench_ts(),
                 BENCH_LATENCY);
}

/* Runs once after the threads have stopped. */
static void shared_teardown(const benchmark::State &) {
  bench_ic_free(shared_ic);
  shared_ic = nullptr;
}

/* Existing entry and bucket. With several threads each records into its own
 * partition, as two broker threads acknowledging for different leaders
 * would: they share the lock, not the bucket. */
static void BM_record_existing(benchmark::State &state) {
  int32_t partition = static_cast<int32_t>(state.thread_index());
  int64_t ts = bench_ts();
  for (auto _ : state)
    w4ic_account(shared_ic, bench_topic, partition, BENCH_BYTES, ts,
                 BENCH_LATENCY);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_record_existing)->Setup(shared_setup)->Teardown(shared_teardown);
BENCHMARK(BM_record_existing)
    ->Name("BM_record_existing_contended")
    ->Threads(2)
    ->UseRealTime()
    ->Setup(shared_setup)
    ->Teardown(shared_teardown);

/* A new bucket on every call: each message lies one window after the last.
 * The set is emptied every 1024 buckets outside the timing, so memory stays
 * bounded and each new window lands at the head of its chain, as windows
 * near the present do. */
static void BM_record_new_bucket(benchmark::State &state) {
  w4ic *ic = bench_ic_new();
  int64_t ts = bench_ts();
  w4ic_account(ic, bench_topic, 0, BENCH_BYTES, ts, BENCH_LATENCY);
  tp *entry = ic->tpmap.tps.first;
  int64_t n = 0;
  for (auto _ : state) {
    ts += BENCH_WINDOW_MS;
    w4ic_account(ic, bench_topic, 0, BENCH_BYTES, ts, BENCH_LATENCY);
    if (++n % BENCH_BUCKETS_PER_CLEAR == 0) {
      state.PauseTiming();
      timebuckets_clear(tp_recording_set(&ic->tpmap, entry), 1);
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
  bench_ic_free(ic);
}
BENCHMARK(BM_record_new_bucket);

/* A new entry on every call into a map that already holds range(0)
 * entries: the map is filled outside the timing, then 2000 entries of fresh
 * topics are created. Their keys sort into the middle of their chains, so a
 * creation walks about half a chain, as a key in random order would. */
static void BM_record_new_tp(benchmark::State &state) {
  int64_t n = state.range(0);
  bench_keys keys;
  w4ic *ic = bench_ic_new();
  bench_fill(ic, &keys, n);
  /* Fresh topics start at a whole topic past the filled range. */
  int64_t first =
      (n / BENCH_PARTITIONS_PER_TOPIC + 1) * BENCH_PARTITIONS_PER_TOPIC;
  bench_keys_reserve(&keys, first + state.max_iterations);
  int64_t i = first;
  int64_t ts = bench_ts();
  for (auto _ : state) {
    w4ic_account(ic, bench_key_topic(&keys, i), bench_key_partition(i),
                 BENCH_BYTES, ts, BENCH_LATENCY);
    i++;
  }
  state.SetItemsProcessed(state.iterations());
  bench_ic_free(ic); /* the timing stops with the loop */
}
BENCHMARK(BM_record_new_tp)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(BENCH_NEW_ENTRIES);

/* Filled instances of the existing-entry benchmark, kept across its runs
 * since recording into existing buckets leaves the structure as it is. */
struct bench_filled {
  w4ic *ic;
  bench_keys keys;
  std::vector<int64_t> order; /* every entry once, shuffled */
};
static std::map<int64_t, bench_filled *> filled;

/* The instance of n entries, each with its bucket, made on first use; with
 * latency histograms when histogram is set, offset ranges when offsets
 * is. */
static bench_filled *bench_filled_get(int64_t n, int32_t histogram = 0,
                                      int32_t offsets = 0) {
  int64_t key = n * 4 + (histogram ? 1 : 0) + (offsets ? 2 : 0);
  auto it = filled.find(key);
  if (it != filled.end())
    return it->second;
  bench_filled *f = new bench_filled;
  f->ic = bench_ic_new(histogram, offsets);
  bench_fill(f->ic, &f->keys, n);
  for (int64_t i = 0; i < n; i++)
    f->order.push_back(i);
  std::mt19937_64 rng(42);
  std::shuffle(f->order.begin(), f->order.end(), rng);
  filled[key] = f;
  return f;
}

/* Existing entry and bucket in a map of range(0) entries, the entries taken
 * in random order: the per-message cost of a client with that many
 * topic-partitions. */
static void BM_record_existing_at(benchmark::State &state) {
  bench_filled *f = bench_filled_get(state.range(0));
  int64_t ts = bench_ts();
  size_t k = 0;
  for (auto _ : state) {
    int64_t i = f->order[k];
    w4ic_account(f->ic, bench_key_topic(&f->keys, i), bench_key_partition(i),
                 BENCH_BYTES, ts, BENCH_LATENCY);
    if (++k == f->order.size())
      k = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_record_existing_at)
    ->Arg(1)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000);

/* Messages of one run of a topic-partition: acknowledgements and consumed
 * messages come in batches of one partition. */
constexpr size_t BENCH_RUN_LEN = 100;

/* Existing entry and bucket in a map of range(0) entries, in runs of 100
 * messages of one entry, the entries taken in random order. */
static void BM_record_run_at(benchmark::State &state) {
  bench_filled *f = bench_filled_get(state.range(0));
  int64_t ts = bench_ts();
  size_t k = 0, in_run = 0;
  for (auto _ : state) {
    int64_t i = f->order[k];
    w4ic_account(f->ic, bench_key_topic(&f->keys, i), bench_key_partition(i),
                 BENCH_BYTES, ts, BENCH_LATENCY);
    if (++in_run == BENCH_RUN_LEN) {
      in_run = 0;
      if (++k == f->order.size())
        k = 0;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_record_run_at)->Arg(1)->Arg(1000)->Arg(10000)->Arg(100000);

/* Latencies spread over most buckets, ms: log-uniform from 0 to about
 * ten minutes, in random order, so that the histogram index sees varied
 * values and its branch is not learnt. */
static const std::vector<int64_t> &bench_latencies(void) {
  static const std::vector<int64_t> lat = [] {
    std::vector<int64_t> v(4096);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> exp10(0.0, 5.8);
    for (int64_t &l : v)
      l = static_cast<int64_t>(std::pow(10.0, exp10(rng))) - 1;
    return v;
  }();
  return lat;
}

/* The histogram setting's cost: range(0) off (0) or on (1), over
 * range(1) entries. One entry: a run of one topic-partition; 1000: the
 * entries in random order. The same varied latencies either way. */
static void BM_record_histogram(benchmark::State &state) {
  bench_filled *f =
      bench_filled_get(state.range(1), static_cast<int32_t>(state.range(0)));
  const std::vector<int64_t> &lat = bench_latencies();
  int64_t ts = bench_ts();
  size_t k = 0, j = 0;
  for (auto _ : state) {
    int64_t i = f->order[k];
    w4ic_account(f->ic, bench_key_topic(&f->keys, i), bench_key_partition(i),
                 BENCH_BYTES, ts, lat[j]);
    j = (j + 1) & (4096 - 1);
    if (++k == f->order.size())
      k = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_record_histogram)
    ->ArgNames({"histogram", "entries"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({0, 1000})
    ->Args({1, 1000});

/* The offsets setting's cost: range(0) off (0) or on (1), over range(1)
 * entries. One entry: a run of one topic-partition; 1000: the entries in
 * random order. Every message carries the next offset of a counter, as the
 * acknowledgements of a partition do; the same offsets either way. */
static void BM_record_offsets(benchmark::State &state) {
  bench_filled *f =
      bench_filled_get(state.range(1), 0, static_cast<int32_t>(state.range(0)));
  int64_t ts = bench_ts();
  int64_t offset = 0;
  size_t k = 0;
  for (auto _ : state) {
    int64_t i = f->order[k];
    w4ic_account(f->ic, bench_key_topic(&f->keys, i), bench_key_partition(i),
                 BENCH_BYTES, ts, BENCH_LATENCY, offset++);
    if (++k == f->order.size())
      k = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_record_offsets)
    ->ArgNames({"offsets", "entries"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({0, 1000})
    ->Args({1, 1000});

/* Runs the selected benchmarks, then releases the kept instances. */
int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (auto &it : filled) {
    bench_ic_free(it.second->ic);
    delete it.second;
  }
  return 0;
}
