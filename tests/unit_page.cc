/* The page's JSON and its memory of the last hour, fed with records
 * through the monitor that the exporter and the demo serve: escaping of
 * hostile names, the order, states and paging of the streams, the
 * partitions' audit findings, the history's bounds, and what the monitor's
 * options switch. */
#include "exporter/monitor.h"
#include "monitoring/monitoring.h"

#include <cstring>
#include <gtest/gtest.h>
#include <malloc.h>
#include <string>
#include <vector>
#ifdef __SANITIZE_ADDRESS__
/* AddressSanitizer's count of the bytes allocated and not freed. */
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace {

/* A data record of a producer or a consumer (W4_CLIENT_...). */
w4_record record(uint32_t type, const std::string &client,
                 const std::string &group, const std::string &topic,
                 int32_t partition, int64_t window, int64_t count,
                 int64_t max_latency = 7) {
  w4_record rec;
  memset(&rec.msg, 0, sizeof(rec.msg));
  rec.msg.client_type = type;
  rec.client_id = client;
  rec.group_id = group;
  rec.session_id = std::string(32, type == W4_CLIENT_PRODUCER ? 'a' : 'b');
  rec.cluster_id = "c1";
  rec.topic = topic;
  rec.msg.partition = partition;
  rec.msg.window = window;
  rec.msg.window_size = 1000;
  rec.msg.count = count;
  rec.msg.latency_sum = count * 3;
  rec.msg.max_latency = max_latency;
  return rec;
}

const int64_t WALL = 1700000000000LL;

/* An exporter's monitor, fed by add at monotonic time 0 and settled by
 * finish once every window has been quiet long enough. */
struct state {
  w4_monitor mon;

  explicit state(w4_monitor_opts o = w4_monitor_opts()) {
    o.history_step_ms = 1000;
    o.page_now_ms = WALL;
    w4_monitor_init(&mon, o);
  }
  void add(const w4_record &rec) { w4_monitor_add(&mon, rec, 0, WALL); }
  std::vector<w4_audit_row> finish() {
    std::vector<w4_audit_row> rows;
    w4_monitor_tick(&mon, mon.o.settle_ms, WALL, &rows);
    return rows;
  }
  /* The JSON of an /api/ path, which must exist. */
  std::string api(const char *path, const w4_page_args &args = {}) {
    std::string body;
    EXPECT_TRUE(w4_monitor_api(&mon, std::string("/api/") + path, args, &body))
        << path;
    return body;
  }
};

TEST(PageJson, NamesAreEscapedForJsonAndStayInertAnywhere) {
  std::string out;
  w4_page_json_string(&out, std::string("a\"b\\c\n\t\x01</script>&\x7f", 19));
  EXPECT_EQ(
      "\"a\\\"b\\\\c\\n\\u0009\\u0001\\u003c/script\\u003e\\u0026\\u007f\"",
      out);
  out.clear();
  /* A byte that is not UTF-8, valid UTF-8 kept, and the two line
   * separators that older JavaScript ends a line at. */
  w4_page_json_string(&out, "\xff"
                            "é\xe2\x80\xa8\xe2\x80\xa9");
  EXPECT_EQ("\"\\ufffdé\\u2028\\u2029\"", out);
}

/* Options whose settle time lets a group pass a window two windows on. */
w4_monitor_opts quick(void) {
  w4_monitor_opts o;
  o.settle_ms = 1000;
  return o;
}

TEST(PageJson, StreamsShowTheAuditWithProblemsFirstAndPage) {
  state s(quick());
  /* orders: group a consumed everything, group b missed 3 of partition 1
   * in window 5 s and read on; quiet: no group; zeta: group z consumed
   * twice what was produced. */
  for (int p = 0; p < 2; p++)
    for (int64_t w : {4000, 5000, 7000}) {
      s.add(record(W4_CLIENT_PRODUCER, "prod", "", "orders", p, w, 10));
      s.add(record(W4_CLIENT_CONSUMER, "ca", "a", "orders", p, w, 10));
      s.add(record(W4_CLIENT_CONSUMER, "cb", "b", "orders", p, w,
                   p && w == 5000 ? 7 : 10));
    }
  s.add(record(W4_CLIENT_PRODUCER, "prod", "", "quiet", 0, 5000, 4));
  s.add(record(W4_CLIENT_PRODUCER, "prod", "", "zeta", 0, 5000, 2, 50));
  s.add(record(W4_CLIENT_CONSUMER, "cz", "z", "zeta", 0, 5000, 4, 90));
  std::string before = s.api("streams");
  EXPECT_NE(std::string::npos, before.find("\"states\":{\"no_group\":1,"
                                           "\"pending\":3}"))
      << before;
  s.finish();

  std::string j = s.api("streams");
  size_t b = j.find("{\"topic\":\"orders\",\"group\":\"b\"");
  size_t z = j.find("{\"topic\":\"zeta\",\"group\":\"z\"");
  size_t a = j.find("{\"topic\":\"orders\",\"group\":\"a\"");
  size_t q = j.find("{\"topic\":\"quiet\",\"group\":null");
  ASSERT_NE(std::string::npos, q) << j;
  EXPECT_TRUE(b < z && z < a && a < q) << j;
  EXPECT_NE(std::string::npos,
            j.find("\"group\":\"b\",\"state\":\"not_delivered\","
                   "\"produced\":60,\"consumed\":57,\"audited\":60,"
                   "\"missing\":3,\"duplicate\":0,"))
      << j;
  EXPECT_NE(std::string::npos,
            j.find("\"group\":\"z\",\"state\":\"duplicate\",\"produced\":2,"
                   "\"consumed\":4,\"audited\":2,\"missing\":0,"
                   "\"duplicate\":2,"))
      << j;
  EXPECT_NE(std::string::npos,
            j.find("\"group\":\"a\",\"state\":\"delivered\""))
      << j;
  EXPECT_NE(std::string::npos,
            j.find("\"group\":null,\"state\":\"no_group\",\"produced\":4,"
                   "\"consumed\":null,\"audited\":null,\"missing\":null,"))
      << j;
  /* The consumers' latency for a group, the largest seen; p99 not yet. */
  EXPECT_NE(std::string::npos,
            j.find("\"latency_avg_ms\":3,\"latency_max_ms\":90,"
                   "\"latency_p99_ms\":null,\"partitions\":1"))
      << j;

  std::string page = s.api("streams", {{"offset", "1"}, {"limit", "2"}});
  EXPECT_NE(std::string::npos,
            page.find("\"total\":4,\"offset\":1,\"limit\":2,"))
      << page;
  size_t rows = 0;
  for (size_t at = page.find("{\"topic\""); at != std::string::npos;
       at = page.find("{\"topic\"", at + 1))
    rows++;
  EXPECT_EQ(2u, rows) << page;
  EXPECT_EQ(std::string::npos, page.find("\"group\":\"b\"")) << page;
  EXPECT_NE(std::string::npos, page.find("\"group\":\"z\"")) << page;
  EXPECT_NE(std::string::npos, page.find("\"group\":\"a\"")) << page;
  std::string filtered = s.api("streams", {{"q", "zet"}});
  EXPECT_NE(std::string::npos, filtered.find("\"total\":1,")) << filtered;
  /* A limit beyond the largest page is cut to it; nonsense is ignored. */
  std::string big = s.api("streams", {{"limit", "99999999"}, {"offset", "-3"}});
  EXPECT_NE(std::string::npos, big.find("\"offset\":0,\"limit\":1000,")) << big;

  /* The partitions of group b's row, with the audit per partition. */
  std::string parts =
      s.api("partitions", {{"topic", "orders"}, {"group", "b"}});
  EXPECT_NE(std::string::npos,
            parts.find("{\"partition\":0,\"produced\":30,\"consumed\":30,"
                       "\"missing\":0,\"duplicate\":0,"))
      << parts;
  EXPECT_NE(std::string::npos,
            parts.find("{\"partition\":1,\"produced\":30,\"consumed\":27,"
                       "\"missing\":3,\"duplicate\":0,"))
      << parts;
  std::string none = s.api("partitions", {{"topic", "nope"}});
  EXPECT_NE(std::string::npos, none.find("\"total\":0,")) << none;

  std::string clients = s.api("clients");
  EXPECT_NE(std::string::npos, clients.find("\"total\":4,")) << clients;
  EXPECT_EQ(0u, clients.find("{\"total\":4,\"offset\":0,\"limit\":100,"
                             "\"rows\":[{\"type\":\"producer\","
                             "\"client_id\":\"prod\",\"group\":null,"))
      << clients;
}

TEST(PageHistory, KeepsAnHourOfStepsAndAtMostSoManyGroupLines) {
  w4_history h;
  w4_history_init(&h, 1000);
  w4_audit audit;
  const int64_t t0 = 1700000000000LL;
  /* Two hours of one record a second; a new group every minute. */
  for (int64_t s = 0; s < 7200; s++) {
    int64_t wall = t0 + s * 1000;
    std::string group = "g" + std::to_string(s / 60);
    w4_history_note(
        &h, record(W4_CLIENT_CONSUMER, "c" + group, group, "t", 0, wall, 2),
        wall);
    w4_history_note(&h, record(W4_CLIENT_PRODUCER, "p", "", "t", 0, wall, 2),
                    wall);
    w4_history_tick(&h, audit, wall);
  }
  EXPECT_EQ(3600u, h.steps.size());
  EXPECT_EQ(t0 + 3600 * 1000, h.steps.front().start_ms);
  EXPECT_EQ(W4_HISTORY_MAX_GROUPS, h.groups_followed.size());
  /* Lines of the first groups, then one for all the others. */
  EXPECT_EQ(1u, h.steps.back().groups.size());
  EXPECT_TRUE(h.steps.back().groups.count(W4_HISTORY_OTHER_GROUPS));
  w4_page_view v;
  v.history = &h;
  std::string j = w4_page_history_json(v);
  EXPECT_EQ(0u, j.find("{\"step_ms\":1000,\"rate_steps\":1,\"t\":[")) << j;
  EXPECT_NE(std::string::npos,
            j.find("{\"group\":\"other groups\",\"other\":true,"
                   "\"consumed_per_s\":[2,"))
      << j.substr(0, 300);
  /* Rates: two messages a second, over the last minute. */
  EXPECT_DOUBLE_EQ(2.0, w4_history_stream_rate(h, w4_stream_key("t", true, ""),
                                               t0 + 7199 * 1000));
}

/* The framed value of a producer's record for topic "t", encoded with the
 * plug-in's own encoder; client_type as given. */
std::string encoded(uint32_t client_type, int64_t count) {
  MonitoringMessage m;
  monitoring_message_init(&m);
  m.client_type = client_type;
  string_encode_callback(&m.client_id, "p");
  string_encode_callback(&m.session_id, "ffffffffffffffffffffffffffffffff");
  string_encode_callback(&m.topic, "t");
  m.window = 5000;
  m.window_size = 1000;
  m.count = count;
  m.min_latency = 0; /* the plug-in's first message sets it */
  size_t n = 0;
  pb_get_encoded_size(&n, monitoring_MonitoringMessage_fields, &m);
  std::string out(n + 1, '\x7f');
  pb_ostream_t os =
      pb_ostream_from_buffer(reinterpret_cast<pb_byte_t *>(&out[1]), n);
  EXPECT_TRUE(pb_encode(&os, monitoring_MonitoringMessage_fields, &m));
  return out;
}

TEST(Monitor, TakeAddsRecordsAndCountsValuesThatAreNoneWithTheirReason) {
  state s;
  w4_record rec;
  std::string err;
  std::string good = encoded(W4_CLIENT_PRODUCER, 5);
  EXPECT_TRUE(
      w4_monitor_take(&s.mon, good.data(), good.size(), 0, WALL, &rec, &err))
      << err;
  EXPECT_FALSE(w4_monitor_take(&s.mon, "hello", 5, 0, WALL, &rec, &err));
  EXPECT_FALSE(err.empty());
  /* Decodes, but no plug-in sends it. */
  std::string odd = encoded(7, 5);
  EXPECT_FALSE(
      w4_monitor_take(&s.mon, odd.data(), odd.size(), 0, WALL, &rec, &err));
  EXPECT_EQ("client_type is neither 0 nor 1", err);

  std::string j = s.api("streams");
  EXPECT_EQ(0u, j.find("{\"now\":1700000000000,\"audit\":true,\"gaps\":true,"
                       "\"settle_ms\":60000,\"rate_span_ms\":60000,"
                       "\"records\":1,\"bad_records\":2,"))
      << j;
  EXPECT_NE(std::string::npos,
            j.find("{\"topic\":\"t\",\"group\":null,\"state\":\"no_group\","
                   "\"produced\":5,"))
      << j;
  std::string metrics = w4_monitor_render(&s.mon);
  EXPECT_NE(std::string::npos,
            metrics.find("\nw4metrics_bad_records_total 2\n"))
      << metrics;
  std::string body;
  EXPECT_FALSE(w4_monitor_api(&s.mon, "/api/nothing", {}, &body));
}

TEST(Monitor, AuditAndGapsOffAreNeitherCountedNorShown) {
  /* An exporter that reads a share of the topic (-g). */
  w4_monitor_opts o;
  o.audit = false;
  o.gaps = false;
  state s(o);
  s.add(record(W4_CLIENT_PRODUCER, "prod", "", "orders", 0, 5000, 10));
  s.add(record(W4_CLIENT_CONSUMER, "ca", "a", "orders", 0, 5000, 7));
  EXPECT_TRUE(s.mon.audit.streams.empty());
  EXPECT_TRUE(s.finish().empty());

  std::string j = s.api("streams");
  EXPECT_NE(std::string::npos, j.find("\"audit\":false,\"gaps\":false,")) << j;
  EXPECT_NE(std::string::npos,
            j.find("\"group\":\"a\",\"state\":\"off\",\"produced\":10,"
                   "\"consumed\":7,\"audited\":null,\"missing\":null,"
                   "\"duplicate\":null,"))
      << j;
  std::string parts =
      s.api("partitions", {{"topic", "orders"}, {"group", "a"}});
  EXPECT_NE(std::string::npos,
            parts.find("\"consumed\":7,\"missing\":null,\"duplicate\":null,"))
      << parts;
  std::string clients = s.api("clients");
  EXPECT_NE(std::string::npos, clients.find("\"missing_records\":null,"))
      << clients;
  std::string metrics = w4_monitor_render(&s.mon);
  EXPECT_EQ(std::string::npos, metrics.find("w4metrics_audit_")) << metrics;
  EXPECT_EQ(std::string::npos, metrics.find("missing_records_total"));
  EXPECT_NE(std::string::npos, metrics.find("w4metrics_messages_total{"));
}

TEST(Monitor, TickReturnsAShortfallOnceTheGroupHasPassedIt) {
  state s(quick());
  for (int64_t w : {4000, 5000, 7000})
    s.add(record(W4_CLIENT_PRODUCER, "prod", "", "orders", 0, w, 10));
  s.add(record(W4_CLIENT_CONSUMER, "cb", "b", "orders", 0, 4000, 10));
  s.add(record(W4_CLIENT_CONSUMER, "cb", "b", "orders", 0, 5000, 7));
  std::vector<w4_audit_row> rows;
  w4_monitor_tick(&s.mon, 999, WALL, &rows);
  EXPECT_NE(std::string::npos, s.api("streams").find("\"state\":\"pending\""));
  /* Settled, but the group has not moved past the short window: lag. */
  w4_monitor_tick(&s.mon, 5000, WALL, &rows);
  EXPECT_TRUE(rows.empty());
  std::string j = s.api("streams");
  EXPECT_NE(std::string::npos, j.find("\"state\":\"delivered\"")) << j;
  EXPECT_NE(std::string::npos, j.find("\"pending\":13,\"unconsumed\":0,"
                                      "\"lag_messages\":null,\"lag_s\":2,"))
      << j;
  /* It reads window 7 s; once that record has settled, 5 s is judged. */
  w4_monitor_add(&s.mon,
                 record(W4_CLIENT_CONSUMER, "cb", "b", "orders", 0, 7000, 10),
                 5000, WALL);
  w4_monitor_tick(&s.mon, 5999, WALL, &rows);
  EXPECT_TRUE(rows.empty());
  w4_monitor_tick(&s.mon, 6000, WALL, &rows);
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("b", rows[0].group_id);
  EXPECT_EQ(10, rows[0].produced);
  EXPECT_EQ(7, rows[0].consumed);
  EXPECT_NE(std::string::npos,
            s.api("streams").find("\"state\":\"not_delivered\""));
}

TEST(Monitor, AWholeRunAuditsEveryWindowOfAPartitionAsOne) {
  /* The demo: on the mock cluster the producer's windows (the broker's
   * fixed log-append time) are not the consumer's. */
  for (bool whole : {false, true}) {
    w4_monitor_opts o;
    o.audit_whole_run = whole;
    state s(o);
    s.add(record(W4_CLIENT_PRODUCER, "prod", "", "orders", 0, 1000, 10));
    s.add(record(W4_CLIENT_CONSUMER, "ca", "a", "orders", 0, 8000, 6));
    s.add(record(W4_CLIENT_CONSUMER, "ca", "a", "orders", 0, 9000, 4));
    s.finish();
    std::string j = s.api("streams");
    /* Window by window, the consumer's windows have nothing produced. */
    EXPECT_NE(std::string::npos, j.find(whole ? "\"state\":\"delivered\""
                                              : "\"state\":\"duplicate\""))
        << whole << " " << j;
    /* Only the audit's windows are merged: the page keeps the real ones. */
    EXPECT_NE(std::string::npos, j.find("\"produced\":10,\"consumed\":10,"))
        << j;
  }
}

/* Bytes the allocator has handed out and not taken back: AddressSanitizer's
 * allocator when the tests run under it, glibc's otherwise. */
int64_t heap_in_use(void) {
#ifdef __SANITIZE_ADDRESS__
  return static_cast<int64_t>(__sanitizer_get_current_allocated_bytes());
#else
  struct mallinfo2 mi = mallinfo2();
  return static_cast<int64_t>(mi.uordblks + mi.hblkhd);
#endif
}

/* The sample lines of an exposition text, and those that hold needle. */
size_t sample_lines(const std::string &text, const std::string &needle = "") {
  size_t n = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line[0] != '#' &&
        line.find(needle) != std::string::npos)
      n++;
    at = end + 1;
  }
  return n;
}

/* A monitor on a clock of the test's: mono ms from 0, wall from WALL. */
struct clocked {
  w4_monitor mon;
  int64_t now = 0;

  explicit clocked(w4_monitor_opts o) {
    o.history_step_ms = 1000;
    o.page_now_ms = WALL;
    w4_monitor_init(&mon, o);
  }
  void add(const w4_record &rec) { w4_monitor_add(&mon, rec, now, WALL + now); }
  /* Moves the clock to t, ticking every 500 ms as the exporter does. */
  void run_to(int64_t t) {
    while (now < t) {
      now = std::min(now + 500, t);
      w4_monitor_tick(&mon, now, WALL + now, nullptr);
    }
  }
  std::string metrics() { return w4_monitor_render(&mon); }
  std::string api(const char *path) {
    std::string body;
    EXPECT_TRUE(w4_monitor_api(&mon, std::string("/api/") + path, {}, &body));
    return body;
  }
};

/* A producer and a group on "gone" fall silent, the group 2 messages
 * short; a producer on "stay" goes on. Their series, clients and the
 * page's entries leave after --expire-after; the group's audit stays while
 * its windows are open (until the horizon stops it), shows what it left
 * unconsumed, and goes expire_ms later. What stays keeps its counts. */
TEST(Bounds, SilentClientsExpireButNotBeforeTheAuditSettledThem) {
  w4_monitor_opts o;
  o.settle_ms = 1000;
  o.expire_ms = 10000;
  o.horizon_ms = 30000;
  clocked c(o);
  int stay_records = 0;
  /* "stay" sends every 2 s up to t. */
  auto go = [&](int64_t t) {
    while (c.now < t) {
      c.run_to(std::min(c.now + 2000, t));
      c.add(record(W4_CLIENT_PRODUCER, "p2", "", "stay", 0, 1000 + c.now, 1));
      stay_records++;
    }
  };
  c.add(record(W4_CLIENT_PRODUCER, "p1", "", "gone", 0, 1000, 5));
  c.add(record(W4_CLIENT_CONSUMER, "c1", "g", "gone", 0, 1000, 3));
  const std::string p1 = "client_id=\"p1\"", c1 = "client_id=\"c1\"";
  const std::string g = "group_id=\"g\"}";
  go(9000);
  std::string m = c.metrics();
  /* 8 counters and gauges, missing records and sessions. */
  EXPECT_EQ(10u, sample_lines(m, p1)) << m;
  EXPECT_EQ(10u, sample_lines(m, c1)) << m;
  EXPECT_EQ(
      1u, sample_lines(m, "w4metrics_audit_pending_messages{" +
                              std::string("cluster_id=\"c1\",topic=\"gone\",") +
                              g + " 2"))
      << m;

  go(10500);
  m = c.metrics();
  EXPECT_EQ(0u, sample_lines(m, p1)) << m;
  EXPECT_EQ(0u, sample_lines(m, c1)) << m;
  EXPECT_EQ(1u, c.mon.agg.series.size());
  EXPECT_EQ(1u, c.mon.agg.clients.size());
  EXPECT_EQ(std::string::npos, c.api("clients").find("\"p1\""))
      << c.api("clients");
  EXPECT_EQ(std::string::npos, c.api("streams").find("gone"))
      << c.api("streams");
  EXPECT_EQ(1u, c.mon.history.clients.size());
  EXPECT_EQ(1u, c.mon.history.streams.size());
  EXPECT_EQ(1u, c.mon.history.partitions.size());
  /* The group's window is still open: lag, not loss, and shown (pending
   * and lag; no window judged, no counters yet). */
  EXPECT_EQ(2u, sample_lines(m, g)) << m;

  /* The horizon stops the group: its 2 messages are unconsumed, and its
   * counters stay on show for expire_ms. */
  go(39000);
  m = c.metrics();
  EXPECT_EQ(5u, sample_lines(m, g)) << m;
  EXPECT_EQ(1u, sample_lines(m, "w4metrics_audit_unconsumed_messages_total{"
                                "cluster_id=\"c1\",topic=\"gone\"," +
                                    g + " 2"))
      << m;
  go(40500);
  m = c.metrics();
  EXPECT_EQ(0u, sample_lines(m, g)) << m;
  EXPECT_TRUE(c.mon.audit.totals.empty());
  EXPECT_TRUE(c.mon.agg.audit_shown.empty());
  /* What is left: p2's series and client, whose counts went on. */
  EXPECT_EQ(10u, c.mon.agg.lines);
  EXPECT_EQ(1u,
            sample_lines(m, "w4metrics_records_total{client_type=\"producer\","
                            "client_id=\"p2\",group_id=\"\",cluster_id=\"c1\","
                            "topic=\"stay\",partition=\"0\"} " +
                                std::to_string(stay_records)))
      << m;
  /* A client that comes back starts again, its session counted. */
  c.add(record(W4_CLIENT_PRODUCER, "p1", "", "gone", 0, 50000, 5));
  m = c.metrics();
  EXPECT_EQ(1u, sample_lines(
                    m, "w4metrics_sessions_total{client_type=\"producer\","
                       "client_id=\"p1\",group_id=\"\",cluster_id=\"c1\"} 1"))
      << m;
}

/* Feeds records of distinct clients and topics, producers and consumers,
 * named after pad (each name padded to its length), through a monitor
 * with a limit of n lines and the audit off (its memory has bounds of its
 * own); checks the limit, and returns the heap and the /metrics bytes that
 * a sample line took. */
void flood(uint64_t n, int records, size_t pad, double *heap_per_line,
           double *text_per_line) {
  w4_monitor_opts o;
  o.max_series = n;
  o.audit = false;
  int64_t heap0 = heap_in_use();
  clocked c(o);
  auto named = [pad](const char *prefix, int i, size_t max) {
    std::string s = prefix + std::to_string(i);
    s.resize(std::max(s.size(), std::min(pad, max)), 'x');
    return s;
  };
  for (int i = 0; i < records; i++) {
    bool consumer = i % 2;
    w4_record rec =
        record(consumer ? W4_CLIENT_CONSUMER : W4_CLIENT_PRODUCER,
               named("flood-client-", i, W4_RECORD_ID_MAX),
               consumer ? named("flood-group-", 0, W4_RECORD_ID_MAX) : "",
               named("flood-topic-", i, W4_RECORD_TOPIC_MAX), i % 3, 1000, 1);
    rec.cluster_id = named("c", 1, W4_RECORD_ID_MAX);
    c.add(rec);
    if (i % 20000 == 19999)
      c.run_to(c.now + 500);
  }
  std::string m = c.metrics();
  size_t lines = sample_lines(m), bytes = m.size();
  EXPECT_LE(lines, n);
  EXPECT_GE(lines, n - 40);
  uint64_t dropped = c.mon.agg.dropped_series;
  EXPECT_EQ(static_cast<uint64_t>(records) - c.mon.agg.series.size(), dropped);
  EXPECT_EQ(1u, sample_lines(m, "w4metrics_dropped_series_total{reason="
                                "\"max_series\"} " +
                                    std::to_string(dropped)));
  /* The page follows the series that had room. */
  EXPECT_EQ(c.mon.agg.series.size(), c.mon.history.clients.size());
  EXPECT_EQ(c.mon.agg.series.size(), c.mon.history.partitions.size());
  std::string().swap(m);
  *heap_per_line = static_cast<double>(heap_in_use() - heap0) / lines;
  *text_per_line = static_cast<double>(bytes) / lines;
  printf("flood, names of %zu bytes: %zu lines, %.0f bytes of heap and %.0f "
         "of /metrics a line\n",
         pad, lines, *heap_per_line, *text_per_line);
}

/* 200,000 records of distinct clients and topics with a limit of 10,000
 * lines: /metrics holds at most that many, the dropped records are
 * counted, the page follows only the series that had room, and a line
 * takes no more memory and text than README states: 500 and 300 bytes
 * with names of 20 bytes, 2,500 and 2,000 with the longest names. */
TEST(Bounds, AFloodOfDistinctClientsAndTopicsStaysWithinTheLimit) {
  double heap, text;
  flood(10000, 200000, 20, &heap, &text);
  EXPECT_LE(heap, 500);
  EXPECT_LE(text, 300);
  flood(10000, 20000, 1000, &heap, &text);
  EXPECT_LE(heap, 2500);
  EXPECT_LE(text, 2000);
}

/* Counters at their largest: they stay there, the page's sums over several
 * series neither wrap nor turn into null, and /metrics prints them. */
TEST(Bounds, SumsSaturateAndThePageNeverWrapsOrPrintsNull) {
  state s(quick());
  for (int p = 0; p < 2; p++) {
    s.add(record(W4_CLIENT_PRODUCER, "prod", "", "t", p, 1000, 5));
    s.add(record(W4_CLIENT_CONSUMER, "cons", "g", "t", p, 1000, 5));
  }
  for (auto &kv : s.mon.agg.series) {
    kv.second->messages = UINT64_MAX - 1;
    kv.second->latency_sum_ms = UINT64_MAX;
    kv.second->latency_count = UINT64_MAX;
    kv.second->missing_records = UINT64_MAX;
  }
  w4_audit_totals &t = s.mon.audit.totals[w4_audit_key("c1", "t", "g")];
  t.messages = t.missing = t.duplicate = t.unconsumed = UINT64_MAX;
  t.windows = 1;
  s.mon.audit.totals[w4_audit_key("c2", "t", "g")] = t;
  s.add(record(W4_CLIENT_PRODUCER, "prod", "", "t", 0, 2000, INT64_C(1) << 40));
  std::string j = s.api("streams");
  EXPECT_NE(std::string::npos,
            j.find("\"produced\":18446744073709551615,\"consumed\":"
                   "18446744073709551615,\"audited\":9223372036854775807,"
                   "\"missing\":9223372036854775807,\"duplicate\":"
                   "9223372036854775807,"))
      << j;
  EXPECT_NE(std::string::npos,
            j.find("\"missing_records\":18446744073709551615"))
      << j;
  EXPECT_EQ(std::string::npos, j.find("-")) << j;
  std::string clients = s.api("clients");
  EXPECT_NE(std::string::npos,
            clients.find("\"missing_records\":9223372036854775807"))
      << clients;
  std::string m = w4_monitor_render(&s.mon);
  EXPECT_NE(std::string::npos,
            m.find("w4metrics_messages_total{client_type=\"producer\","
                   "client_id=\"prod\",group_id=\"\",cluster_id=\"c1\","
                   "topic=\"t\",partition=\"0\"} 18446744073709551615\n"))
      << m;
  /* The chart's sums over steps at their largest. */
  s.mon.history.steps.resize(3);
  for (auto &st : s.mon.history.steps) {
    st.produced = UINT64_MAX;
    st.groups["g"].consumed = UINT64_MAX;
    st.groups["g"].latency_sum_ms = UINT64_MAX;
  }
  s.mon.history.window_ms = 3000;
  std::string h = s.api("history");
  EXPECT_EQ(std::string::npos, h.find("-")) << h;
  EXPECT_NE(std::string::npos,
            h.find("\"produced_per_s\":[6148914691236516864,"))
      << h;
}

} // namespace
