/* Fuzz target: the exporter's path of a record, from the bytes read off the
 * monitoring topic to what it serves: decode, checks, the monitor's
 * counters, audit and page history, ticks that settle and expire, the text
 * of /metrics and the page's JSON.
 *
 * The input is a script of steps: a record written field by field (values
 * at and beyond the plug-in's bounds, long names, many client ids, so that
 * the limit of series and expiry are reached), raw bytes, a tick after the
 * clock moved on, a scrape, the page's JSON. Under the sanitizers no sum
 * may overflow; after each scrape /metrics holds at most --max-series
 * sample lines, each a number that is not negative, the monitor's count of
 * lines matches what it holds, and the page's JSON has no negative
 * number. */
#include "exporter/monitor.h"

#include "fuzz_values.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

/* The page's files are not fuzzed: none. */
struct w4_page_embedded {
  const char *path;
  const unsigned char *data;
  size_t len;
};
extern const w4_page_embedded w4_page_embedded_files[] = {{"", nullptr, 0}};
extern const size_t w4_page_embedded_count = 0;

namespace {

const int64_t WALL0 = INT64_C(1765000000000);
const int64_t settles[] = {1, 100, 2000};
const int64_t expires[] = {1, 500, 10000, 3600000};
const int64_t horizons[] = {300, 10000};
/* The fixed lines (5) and one line more, room for a few series, many. */
const uint64_t max_series[] = {6, 40, 300, 1000000};
const int64_t extremes[] = {0,
                            -1,
                            1,
                            1000,
                            86400000,
                            86400001,
                            (INT64_C(1) << 32) - 1,
                            INT64_C(1) << 32,
                            INT64_C(1) << 40,
                            (INT64_C(1) << 40) + 1,
                            INT64_C(1) << 42,
                            INT64_C(1) << 50,
                            INT64_C(1) << 56,
                            INT64_C(1) << 62,
                            INT64_MAX,
                            INT64_MIN,
                            WALL0,
                            WALL0 + 86400000,
                            WALL0 + 2 * 86400000};

/* Stops the run with what was found. */
[[noreturn]] void fail(const char *what, const std::string &text) {
  fprintf(stderr, "fuzz_exporter: %s\n%s\n", what, text.c_str());
  abort();
}

/* A number: mostly small, sometimes extreme or anything. */
int64_t value_of(FuzzedDataProvider *in, int64_t unit) {
  return value_from(in, unit, extremes);
}

/* Appends a base-128 varint. */
void varint(std::string *out, uint64_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<char>((v & 0x7f) | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<char>(v));
}

/* Appends a varint field (int64 values as their two's complement). */
void field_int(std::string *out, int no, int64_t v) {
  if (v == 0)
    return;
  varint(out, static_cast<uint64_t>(no) << 3);
  varint(out, static_cast<uint64_t>(v));
}

/* Appends a length-delimited field. */
void field_bytes(std::string *out, int no, const std::string &v) {
  varint(out, (static_cast<uint64_t>(no) << 3) | 2);
  varint(out, v.size());
  out->append(v);
}

/* A name: one of a few, a numbered one (many clients), or one at or past
 * the longest allowed. */
std::string name_of(FuzzedDataProvider *in, const char *prefix, size_t max) {
  switch (in->ConsumeIntegralInRange<int>(0, 7)) {
  case 0:
    return std::string(max + in->ConsumeIntegralInRange<size_t>(0, 1), 'n');
  case 1:
  case 2:
    return prefix + std::to_string(in->ConsumeIntegral<uint16_t>());
  default:
    return prefix + std::to_string(in->ConsumeIntegralInRange<int>(0, 2));
  }
}

/* A histogram of count messages in a bucket or two, or any counts. */
void hist_of(FuzzedDataProvider *in, int64_t count, std::string *out) {
  int kind = in->ConsumeIntegralInRange<int>(0, 3);
  if (kind == 0 || count <= 0)
    return;
  std::string idx, cnt;
  if (kind == 1) {
    for (int i = in->ConsumeIntegralInRange<int>(1, 3); i > 0; i--) {
      varint(&idx, in->ConsumeIntegral<uint8_t>());
      varint(&cnt, in->ConsumeIntegral<uint64_t>());
    }
  } else {
    uint64_t part =
        in->ConsumeIntegralInRange<uint64_t>(1, static_cast<uint64_t>(count));
    varint(&idx, 2);
    varint(&cnt, part);
    if (part < static_cast<uint64_t>(count)) {
      varint(&idx, HISTOGRAM_BUCKET_CNT - 1);
      varint(&cnt, static_cast<uint64_t>(count) - part);
    }
  }
  field_bytes(out, 25, idx);
  field_bytes(out, 26, cnt);
}

/* A framed record written field by field from the input. */
std::string record_of(FuzzedDataProvider *in) {
  std::string r = "\x7f";
  bool consumer = in->ConsumeBool();
  field_int(&r, 1,
            consumer                                ? 0
            : in->ConsumeIntegralInRange<int>(0, 7) ? 1
                                                    : 9);
  field_bytes(&r, 2, name_of(in, "client-", 511));
  if (consumer)
    field_bytes(&r, 3, name_of(in, "group-", 511));
  static const char *const sessions[] = {"0123456789abcdef0123456789abcdef",
                                         "fedcba9876543210fedcba9876543210"};
  field_bytes(&r, 4, pick(in, sessions));
  field_int(&r, 5, value_of(in, 1));
  /* Near the clock mostly (wrapping like the wire would), else anything. */
  int64_t window = static_cast<int64_t>(
      static_cast<uint64_t>(WALL0) + static_cast<uint64_t>(value_of(in, 1000)));
  if (in->ConsumeIntegralInRange<int>(0, 7) == 0)
    window = value_of(in, 1000);
  field_int(&r, 6, window);
  field_int(&r, 7,
            in->ConsumeIntegralInRange<int>(0, 7) ? WALL0 : value_of(in, 1000));
  field_bytes(&r, 8, name_of(in, "topic-", 249));
  field_int(&r, 9, in->ConsumeIntegralInRange<int>(-1, 2));
  int64_t count = value_of(in, 10);
  field_int(&r, 10, count);
  field_int(&r, 11, value_of(in, 100));
  field_int(&r, 13, value_of(in, 50));
  field_int(&r, 14, value_of(in, 3));
  field_int(&r, 15, value_of(in, 9));
  field_int(&r, 16,
            in->ConsumeIntegralInRange<int>(0, 3) ? 1000 : value_of(in, 500));
  field_int(&r, 17, in->ConsumeIntegralInRange<int>(0, 7) ? 0 : 2);
  field_int(&r, 18, in->ConsumeIntegralInRange<int>(0, 7) == 0);
  if (in->ConsumeIntegralInRange<int>(0, 3))
    field_bytes(&r, 22, name_of(in, "cluster-", 511));
  hist_of(in, count, &r);
  return r;
}

/* Checks /metrics: at most max sample lines, each value a number that is
 * not negative. */
void check_metrics(const std::string &text, uint64_t max) {
  uint64_t lines = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos)
      fail("/metrics does not end with a newline", text);
    if (text[at] != '#') {
      lines++;
      size_t sp = text.rfind(' ', end);
      if (sp == std::string::npos || sp < at ||
          text.find_first_not_of("0123456789.", sp + 1) < end || sp + 1 == end)
        fail("a sample that is not a number at least 0",
             text.substr(at, end - at));
    }
    at = end + 1;
  }
  if (lines > max)
    fail("more sample lines than --max-series", text);
}

/* Checks that the monitor's count of lines is what it holds. */
void check_lines(const w4_monitor &mon) {
  uint64_t n = mon.agg.clients.size() * W4_CLIENT_LINES +
               mon.agg.audit_shown.size() * W4_AUDIT_LINES;
  for (const auto &kv : mon.agg.series)
    n += w4_series_lines(mon.agg, *kv.second);
  if (n != mon.agg.lines)
    fail("the count of lines differs from the lines held", "");
}

/* Checks that a JSON text has no negative number: outside its strings no
 * minus sign. */
void check_json(const std::string &j) {
  bool in_string = false;
  for (size_t i = 0; i < j.size(); i++) {
    char c = j[i];
    if (in_string) {
      if (c == '\\')
        i++;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '-') {
      fail("a negative number in the page's JSON", j);
    }
  }
}

/* Runs the page's JSON of every path and checks it. */
void check_page(w4_monitor *mon) {
  static const char *const paths[] = {"/api/streams", "/api/partitions",
                                      "/api/clients", "/api/history"};
  w4_page_args args;
  args["topic"] = "topic-0";
  args["group"] = "group-0";
  for (const char *p : paths) {
    std::string body;
    if (!w4_monitor_api(mon, p, args, &body))
      fail("an /api/ path is missing", p);
    check_json(body);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  w4_monitor_opts o;
  o.settle_ms = pick(&in, settles);
  o.expire_ms = pick(&in, expires);
  o.horizon_ms = pick(&in, horizons);
  o.max_age_ms = o.horizon_ms;
  o.max_series = pick(&in, max_series);
  o.by_topic = in.ConsumeBool();
  o.history_step_ms = 1000;
  o.page_now_ms = WALL0;
  w4_monitor mon;
  w4_monitor_init(&mon, o);
  int64_t now = in.ConsumeIntegralInRange<int64_t>(0, INT64_C(1) << 40);
  w4_record rec;
  std::string err;
  for (int steps = 0; in.remaining_bytes() > 0 && steps < 256; steps++) {
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0:
    case 1:
    case 2:
    case 3: {
      std::string v = record_of(&in);
      w4_monitor_take(&mon, v.data(), v.size(), now, WALL0 + now, &rec, &err);
      break;
    }
    case 4: {
      std::string v = "\x7f" + in.ConsumeBytesAsString(
                                   in.ConsumeIntegralInRange<size_t>(0, 64));
      w4_monitor_take(&mon, v.data(), v.size(), now, WALL0 + now, &rec, &err);
      break;
    }
    case 5:
    case 6: {
      static const int64_t steps_ms[] = {0, 500, 1000};
      int64_t step =
          in.ConsumeBool() ? pick(&in, steps_ms)
          : in.ConsumeBool()
              ? o.expire_ms
              : in.ConsumeIntegralInRange<int64_t>(0, 3 * o.horizon_ms);
      now += step;
      w4_monitor_tick(&mon, now, WALL0 + now, nullptr);
      check_lines(mon);
      break;
    }
    case 7:
    case 8:
      check_metrics(w4_monitor_render(&mon), o.max_series);
      check_lines(mon);
      break;
    default:
      check_page(&mon);
      break;
    }
  }
  check_metrics(w4_monitor_render(&mon), o.max_series);
  check_page(&mon);
  return 0;
}
