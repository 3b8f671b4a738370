/* Fuzz target: the exporter's delivery audit and its saved state.
 *
 * The state is read back from a topic that anyone allowed to write to it
 * may have written, so the input either is (a) such bytes, loaded into an
 * audit (and as a shard's state: refused, or saved and loaded alike), or
 * (b) nothing: the audit starts empty. Then a script of records,
 * ticks and restarts taken from the input runs twice: once straight
 * through, once with the state saved and loaded into a fresh audit at every
 * restart, on a clock that starts elsewhere. Both must end with the same
 * counters, rows and bytes, and every save must load back into the same
 * bytes. Records are built field by field (extreme values included) and go
 * through w4_record_sane as the exporter's do. Between steps the audit's
 * invariants are checked: counters never go down, nothing is negative,
 * open_windows counts the windows some audited group has not judged, and
 * for an audit that started empty, what its windows counted is within its
 * totals.
 *
 * Layout: every number comes from the end of the input (FuzzedDataProvider
 * takes integers from the back); in (a) the state's bytes are at the front,
 * their length a 16-bit number after the mode, settings and clock. */
#include "exporter/aggregate.h"
#include "exporter/audit.h"
#include "exporter/shards.h"

#include "fuzz_values.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

namespace {

const char *const groups[] = {"", "g", "h"};
const char *const clusters[] = {"", "c1", "c2"};
const char *const sessions[] = {"s1", "s2", "s3"};
const char *const topics[] = {"orders", "t", ""};
const char *const clients[] = {"p", "c"};
const int64_t settles[] = {1, 100, 2000, 60000};
const int64_t horizons[] = {300, 10000, 3600000, 7200000};
const int64_t max_ages[] = {400, 20000, 3600000, 86400000};
const int64_t extremes[] = {0,
                            -1,
                            1,
                            999,
                            1000,
                            INT64_MAX,
                            INT64_MAX - 1,
                            INT64_C(1) << 62,
                            (INT64_C(1) << 62) + 1000,
                            INT64_MIN,
                            INT64_C(1) << 53};
/* The clock starts within this range; a run spans far less than the year
 * that a saved age may be. */
const int64_t CLOCK_MAX = INT64_C(1) << 40;

/* Stops the run with what was found. */
[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_audit: %s\n", what);
  abort();
}

/* Aborts unless cond holds. */
void check(bool cond, const char *what) {
  if (!cond)
    fail(what);
}

/* A window start, size or count: mostly small, sometimes extreme. */
int64_t value_of(FuzzedDataProvider *in, int64_t unit) {
  return value_from(in, unit, extremes);
}

/* A histogram for rec: most often one whose counts add up to its count,
 * sometimes whatever the input says (w4_record_sane refuses most). */
void hist_of(FuzzedDataProvider *in, w4_record *rec) {
  int kind = in->ConsumeIntegralInRange<int>(0, 3);
  if (kind == 0 || rec->msg.count <= 0)
    return;
  if (kind == 1) {
    size_t n = in->ConsumeIntegralInRange<size_t>(1, 3);
    for (size_t i = 0; i < n; i++) {
      rec->hist_index.push_back(in->ConsumeIntegral<uint8_t>());
      rec->hist_count.push_back(in->ConsumeIntegral<uint64_t>());
    }
    return;
  }
  uint32_t first = in->ConsumeIntegralInRange<uint32_t>(
      0, static_cast<uint32_t>(HISTOGRAM_BUCKET_CNT - 1));
  uint64_t total = static_cast<uint64_t>(rec->msg.count);
  uint64_t part = in->ConsumeIntegralInRange<uint64_t>(1, total);
  rec->hist_index.push_back(first);
  rec->hist_count.push_back(part);
  if (part < total && first + 1 < static_cast<uint32_t>(HISTOGRAM_BUCKET_CNT)) {
    rec->hist_index.push_back(HISTOGRAM_BUCKET_CNT - 1);
    rec->hist_count.push_back(total - part);
  } else {
    rec->hist_count.back() = total;
  }
}

/* A record built from the input, as the decoder would give it. */
w4_record record_of(FuzzedDataProvider *in) {
  w4_record rec;
  rec.msg = monitoring_MonitoringMessage_init_zero;
  uint32_t type = in->ConsumeIntegralInRange<uint32_t>(0, 7);
  rec.msg.client_type = type < 6 ? type & 1 : type;
  rec.msg.record_kind = in->ConsumeIntegralInRange<int>(0, 7) == 0
                            ? in->ConsumeIntegralInRange<uint32_t>(1, 2)
                            : W4_RECORD_DATA;
  rec.client_id = pick(in, clients);
  rec.group_id = rec.msg.client_type == W4_CLIENT_CONSUMER ? pick(in, groups)
                                                           : std::string();
  rec.has_group_id = !rec.group_id.empty();
  rec.session_id = pick(in, sessions);
  rec.cluster_id = pick(in, clusters);
  rec.has_cluster_id = !rec.cluster_id.empty();
  rec.topic = pick(in, topics);
  rec.msg.partition = in->ConsumeIntegralInRange<int>(0, 7)
                          ? in->ConsumeIntegralInRange<int32_t>(-1, 1)
                          : in->ConsumeIntegral<int32_t>();
  rec.msg.window = value_of(in, 1000);
  rec.msg.window_size =
      in->ConsumeIntegralInRange<int>(0, 3) ? 1000 : value_of(in, 500);
  rec.msg.count = value_of(in, 10);
  hist_of(in, &rec);
  /* Often an offset range of the offsets setting, from small ones that
   * neighbouring records share to whatever the input says. */
  if (in->ConsumeBool()) {
    rec.has_min_offset = rec.has_max_offset = true;
    rec.min_offset = value_of(in, 10);
    int64_t width = in->ConsumeIntegralInRange<int>(0, 20);
    rec.max_offset = in->ConsumeBool() && rec.min_offset <= INT64_MAX - width
                         ? rec.min_offset + width
                         : value_of(in, 10);
  }
  return rec;
}

enum op_kind { OP_ADD, OP_TICK, OP_RESTART };

/* One step of the script: a record that arrives, a tick, or a restart;
 * each after the clock moved on by step ms. */
struct op {
  op_kind kind;
  int64_t step;
  w4_record rec;
  int64_t offset; /* restart: where the fresh audit's clock is moved */
};

/* How far the clock moves before a step: often not at all. */
int64_t step_of(FuzzedDataProvider *in, const w4_audit &settings) {
  switch (in->ConsumeIntegralInRange<int>(0, 5)) {
  case 0:
    return 0;
  case 1:
    return settings.settle_ms;
  case 2:
    return settings.horizon_ms;
  case 3:
    return settings.max_age_ms;
  default:
    return in->ConsumeIntegralInRange<int64_t>(0, 3 * settings.settle_ms);
  }
}

/* The script: whatever the rest of the input says, at most 512 steps. */
std::vector<op> script_of(FuzzedDataProvider *in, const w4_audit &settings) {
  std::vector<op> ops;
  while (in->remaining_bytes() > 0 && ops.size() < 512) {
    op o;
    int k = in->ConsumeIntegralInRange<int>(0, 15);
    o.kind = k < 9 ? OP_ADD : k < 15 ? OP_TICK : OP_RESTART;
    o.step = step_of(in, settings);
    o.offset = in->ConsumeIntegralInRange<int64_t>(-CLOCK_MAX, CLOCK_MAX);
    if (o.kind == OP_ADD)
      o.rec = record_of(in);
    ops.push_back(std::move(o));
  }
  return ops;
}

/* Whether a window is audited for a member, as the header tells it. */
bool applies(const w4_audit_member &m, const w4_audit_window &w) {
  return !m.stopped && m.start >= 0 && w.window >= m.start &&
         w.window > m.floor;
}

/* Whether some audited group has not judged the window. */
bool window_open(const w4_audit_stream &s, const w4_audit_window &w) {
  for (const auto &mkv : s.members) {
    if (!applies(mkv.second, w))
      continue;
    auto c = w.consumed.find(mkv.first);
    if (c == w.consumed.end() || !c->second.judged)
      return true;
  }
  return false;
}

/* a + b, saturating, for sums that are not negative. */
uint64_t sat_add(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

/* What the live windows of one cluster, topic and group counted. */
struct live_sums {
  uint64_t messages = 0, missing = 0, duplicate = 0, windows = 0;
};

/* Checks what holds of any audit after a tick: nothing negative, and
 * open_windows is what it says. */
void check_any(const w4_audit &a) {
  uint64_t open = 0;
  for (const auto &skv : a.streams) {
    const w4_audit_stream &s = skv.second;
    check(s.newest >= -1 && s.released >= -1, "stream start below -1");
    for (const auto &wkv : s.windows) {
      const w4_audit_window &w = wkv.second;
      check(w.window >= 0 && w.window_size > 0 && w.produced >= 0,
            "negative window, size or produced");
      for (const auto &ckv : w.consumed)
        check(ckv.second.messages >= 0 && ckv.second.counted_missing >= 0 &&
                  ckv.second.counted_duplicate >= 0,
              "negative consumption");
      /* A topic-partition that no producer's record came for is not
       * audited: none of its windows is open. */
      open += s.produced && window_open(s, w) ? 1 : 0;
    }
    for (const auto &mkv : s.members)
      check(mkv.second.start >= -1 && mkv.second.progress >= -1 &&
                mkv.second.passed >= -1 && mkv.second.floor >= -1,
            "member start below -1");
  }
  check(open == a.open_windows, "open_windows is not the open windows");
  for (const auto &kv : a.lag)
    check(kv.second.lag_ms >= 0 && kv.second.open >= 0, "negative lag");
}

/* Checks what holds of an audit that started empty: its members' places
 * are in order, and what its windows counted is within the totals. */
void check_grown(const w4_audit &a) {
  std::map<w4_audit_key, live_sums> live;
  for (const auto &skv : a.streams) {
    const w4_audit_stream &s = skv.second;
    for (const auto &mkv : s.members) {
      const w4_audit_member &m = mkv.second;
      check(m.passed <= m.progress, "passed beyond progress");
      check(!m.start_fixed || m.start >= 0, "fixed start of none");
      check(!m.stopped || m.recent.empty(), "stopped member with recent");
    }
    for (const auto &wkv : s.windows) {
      const w4_audit_window &w = wkv.second;
      for (const auto &ckv : w.consumed) {
        const w4_audit_consumed &c = ckv.second;
        check(!c.audited || c.judged, "audited, not judged");
        check(c.counted_missing <= w.produced &&
                  c.counted_duplicate <= c.messages,
              "counted more than there is");
        check(c.audited || (c.counted_missing == 0 && c.counted_duplicate == 0),
              "counted without an audit");
        if (!c.audited)
          continue;
        live_sums *l = &live[w4_audit_key(s.cluster_id, s.topic, ckv.first)];
        l->messages = sat_add(l->messages, static_cast<uint64_t>(w.produced));
        l->missing =
            sat_add(l->missing, static_cast<uint64_t>(c.counted_missing));
        l->duplicate =
            sat_add(l->duplicate, static_cast<uint64_t>(c.counted_duplicate));
        l->windows++;
      }
    }
  }
  for (const auto &kv : live) {
    auto t = a.totals.find(kv.first);
    check(t != a.totals.end(), "audited window without totals");
    check(t->second.messages >= kv.second.messages &&
              t->second.missing >= kv.second.missing &&
              t->second.duplicate >= kv.second.duplicate &&
              t->second.windows >= kv.second.windows,
          "totals below what the windows counted");
  }
}

/* Checks that no counter went down since before. */
void check_monotonic(const std::map<w4_audit_key, w4_audit_totals> &before,
                     const w4_audit &a) {
  for (const auto &kv : before) {
    auto t = a.totals.find(kv.first);
    check(t != a.totals.end(), "totals forgotten");
    const w4_audit_totals &x = kv.second, &y = t->second;
    check(y.messages >= x.messages && y.missing >= x.missing &&
              y.duplicate >= x.duplicate && y.unconsumed >= x.unconsumed &&
              y.windows >= x.windows && y.hist.total >= x.hist.total,
          "a counter went down");
  }
}

/* Saves a at now, loads the bytes into a fresh audit at later (a clock
 * that starts elsewhere) and checks that they save back the same. */
w4_audit reload(const w4_audit &a, int64_t now, int64_t later) {
  std::string bytes = w4_audit_save(a, now);
  w4_audit fresh;
  fresh.settle_ms = a.settle_ms;
  fresh.max_age_ms = a.max_age_ms;
  fresh.horizon_ms = a.horizon_ms;
  check(w4_audit_load(&fresh, bytes, later), "a saved state does not load");
  check(w4_audit_save(fresh, later) == bytes, "a state loads differently");
  return fresh;
}

/* One run of the script: its audit, clock and rows. */
struct run {
  w4_audit a;
  int64_t now;
  std::vector<w4_audit_row> rows;
  bool grown; /* started empty: the stricter invariants hold */
};

/* Whether W4_FUZZ_VERBOSE is set: the script is printed, to read a
 * crash's input. */
bool verbose(void) {
  static const bool on = getenv("W4_FUZZ_VERBOSE") != nullptr;
  return on;
}

/* Prints a step when verbose. */
void trace(const op &o, int64_t now) {
  if (!verbose())
    return;
  const w4_record &r = o.rec;
  std::string err;
  if (o.kind == OP_ADD)
    fprintf(stderr,
            "%lld add type %u kind %u client %s group %s session %s cluster "
            "%s topic %s partition %d window %lld size %lld count %lld "
            "hist %zu%s\n",
            static_cast<long long>(now), r.msg.client_type, r.msg.record_kind,
            r.client_id.c_str(), r.group_id.c_str(), r.session_id.c_str(),
            r.cluster_id.c_str(), r.topic.c_str(), r.msg.partition,
            static_cast<long long>(r.msg.window),
            static_cast<long long>(r.msg.window_size),
            static_cast<long long>(r.msg.count), r.hist_index.size(),
            w4_record_sane(r, &err) ? "" : " (refused)");
  else
    fprintf(stderr, "%lld %s\n", static_cast<long long>(now),
            o.kind == OP_TICK ? "tick" : "restart");
}

/* Runs the script on r; with restarts, the state goes through bytes at
 * each restart. */
void run_script(run *r, const std::vector<op> &ops, bool restarts) {
  for (const op &o : ops) {
    r->now += o.step;
    if (!restarts)
      trace(o, r->now);
    switch (o.kind) {
    case OP_ADD: {
      std::string err;
      if (w4_record_sane(o.rec, &err))
        w4_audit_add(&r->a, o.rec, r->now, &r->rows);
      break;
    }
    case OP_TICK: {
      std::map<w4_audit_key, w4_audit_totals> before = r->a.totals;
      w4_audit_tick(&r->a, r->now, &r->rows);
      check_any(r->a);
      if (r->grown)
        check_grown(r->a);
      check_monotonic(before, r->a);
      break;
    }
    case OP_RESTART: {
      if (!restarts)
        break;
      int64_t later = std::max<int64_t>(r->now + o.offset, 0);
      r->a = reload(r->a, r->now, later);
      r->now = later;
      break;
    }
    }
  }
  std::map<w4_audit_key, w4_audit_totals> before = r->a.totals;
  w4_audit_finish(&r->a, &r->rows);
  check_any(r->a);
  if (r->grown)
    check_grown(r->a);
  check_monotonic(before, r->a);
  for (const w4_audit_row &row : r->rows)
    check(!w4_audit_table_line(row).empty(), "empty table line");
}

/* The rows in an order that does not depend on the order of hashing. */
std::vector<std::string> rows_sorted(const std::vector<w4_audit_row> &rows) {
  std::vector<std::string> out;
  for (const w4_audit_row &r : rows) {
    char nums[160];
    snprintf(nums, sizeof(nums), "|%d|%lld|%lld|%lld|%lld|%llu|%llu|%.3f",
             r.partition, static_cast<long long>(r.window),
             static_cast<long long>(r.window_size),
             static_cast<long long>(r.produced),
             static_cast<long long>(r.consumed),
             static_cast<unsigned long long>(r.missing),
             static_cast<unsigned long long>(r.duplicate), r.p99_ms);
    out.push_back(r.cluster_id + '|' + r.topic + '|' + r.group_id + nums);
  }
  std::sort(out.begin(), out.end());
  return out;
}

/* Checks that two runs of one script ended alike. */
void check_same(const run &x, const run &y) {
  check(w4_audit_save(x.a, x.now) == w4_audit_save(y.a, y.now),
        "the restarted audit ends with other state");
  check(x.a.totals.size() == y.a.totals.size(), "other totals");
  for (const auto &kv : x.a.totals) {
    auto t = y.a.totals.find(kv.first);
    check(t != y.a.totals.end(), "other totals");
    const w4_audit_totals &p = kv.second, &q = t->second;
    if (verbose())
      fprintf(stderr,
              "%s/%s/%s: %llu %llu %llu %llu %llu %llu | "
              "%llu %llu %llu %llu %llu %llu\n",
              std::get<0>(kv.first).c_str(), std::get<1>(kv.first).c_str(),
              std::get<2>(kv.first).c_str(),
              static_cast<unsigned long long>(p.messages),
              static_cast<unsigned long long>(p.missing),
              static_cast<unsigned long long>(p.duplicate),
              static_cast<unsigned long long>(p.unconsumed),
              static_cast<unsigned long long>(p.windows),
              static_cast<unsigned long long>(p.hist.total),
              static_cast<unsigned long long>(q.messages),
              static_cast<unsigned long long>(q.missing),
              static_cast<unsigned long long>(q.duplicate),
              static_cast<unsigned long long>(q.unconsumed),
              static_cast<unsigned long long>(q.windows),
              static_cast<unsigned long long>(q.hist.total));
    check(p.messages == q.messages && p.missing == q.missing &&
              p.duplicate == q.duplicate && p.unconsumed == q.unconsumed &&
              p.windows == q.windows && p.hist.total == q.hist.total,
          "the restarted audit counts otherwise");
    for (int i = 0; i < HISTOGRAM_BUCKET_CNT; i++)
      check(p.hist.counts[i] == q.hist.counts[i],
            "the restarted audit's latencies differ");
  }
  check(x.a.open_windows == y.a.open_windows &&
            x.a.dropped_windows == y.a.dropped_windows &&
            x.a.late_records == y.a.late_records,
        "the restarted audit's gauges differ");
  check(x.a.lag.size() == y.a.lag.size(), "other lag gauges");
  for (const auto &kv : x.a.lag) {
    auto l = y.a.lag.find(kv.first);
    check(l != y.a.lag.end() && l->second.pending == kv.second.pending &&
              l->second.lag_ms == kv.second.lag_ms &&
              l->second.open == kv.second.open,
          "the restarted audit's lag differs");
  }
  check(rows_sorted(x.rows) == rows_sorted(y.rows),
        "the restarted audit's rows differ");
}

} // namespace

/* Runs one input: see the top of the file. */
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  bool from_bytes = in.ConsumeIntegral<uint8_t>() & 1;
  w4_audit settings;
  settings.settle_ms = pick(&in, settles);
  settings.horizon_ms = pick(&in, horizons);
  settings.max_age_ms = pick(&in, max_ages);
  int64_t start = in.ConsumeIntegralInRange<int64_t>(0, CLOCK_MAX);
  run whole{settings, start, {}, !from_bytes};
  if (from_bytes) {
    size_t len = in.ConsumeIntegral<uint16_t>();
    std::string bytes = in.ConsumeBytesAsString(len);
    /* The same bytes as a shard's state, as a hostile writer of the state
     * topic may leave them: refused, or a shard that saves as it loaded. */
    w4_shard shard;
    shard.audit = settings;
    if (w4_shard_load(&shard, bytes, start)) {
      w4_shard again;
      again.audit = settings;
      check(w4_shard_load(&again, w4_shard_save(shard, start), start) &&
                again.taken == shard.taken,
            "a shard's saved state does not load as it was");
    }
    bool loaded = w4_audit_load(&whole.a, bytes, start);
    if (verbose())
      fprintf(stderr, "state of %zu bytes %s\n", bytes.size(),
              loaded ? "loaded" : "refused");
    if (!loaded)
      return 0;
    check(whole.a.settle_ms == settings.settle_ms, "load changed settings");
  } else {
    whole.a.from_window = in.ConsumeBool() ? 0 : value_of(&in, 1000) & 0xffff;
  }
  std::vector<op> ops = script_of(&in, settings);
  /* The restarted run starts from the state's bytes too. */
  run restarted{reload(whole.a, start, start), start, {}, whole.grown};
  run_script(&whole, ops, false);
  run_script(&restarted, ops, true);
  check_same(whole, restarted);
  reload(whole.a, whole.now, whole.now);
  return 0;
}
