/* The page's JSON and its memory of the last hour, fed with decoded records
 * directly: escaping of hostile names, the order, states and paging of the
 * streams, the partitions' audit findings, and the history's bounds. */
#include "exporter/aggregate.h"
#include "exporter/audit.h"
#include "exporter/history.h"
#include "exporter/page.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

/* A data record: client type 1 producer, 0 consumer. */
w4_record record(uint32_t type, const std::string &client,
                 const std::string &group, const std::string &topic,
                 int32_t partition, int64_t window, int64_t count,
                 int64_t max_latency = 7) {
  w4_record rec;
  memset(&rec.msg, 0, sizeof(rec.msg));
  rec.msg.client_type = type;
  rec.client_id = client;
  rec.group_id = group;
  rec.session_id = std::string(32, type ? 'a' : 'b');
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

/* An exporter's state, fed by add and settled by finish. */
struct state {
  w4_aggregate agg;
  w4_audit audit;
  w4_history history;
  int64_t wall = 1700000000000LL;

  state() { w4_history_init(&history, 1000); }
  void add(const w4_record &rec) {
    w4_aggregate_add(&agg, rec, 0);
    w4_audit_add(&audit, rec, 0);
    w4_history_note(&history, rec, wall);
  }
  void finish() {
    std::vector<w4_audit_row> rows;
    w4_audit_finish(&audit, &rows);
    w4_history_audit_rows(&history, rows);
    w4_history_tick(&history, audit, wall);
  }
  w4_page_view view() const {
    w4_page_view v;
    v.agg = &agg;
    v.audit = &audit;
    v.history = &history;
    v.wall_ms = wall;
    return v;
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

TEST(PageJson, StreamsShowTheAuditWithProblemsFirstAndPage) {
  state s;
  /* orders: group a consumed everything, group b missed 3 of partition 1;
   * quiet: no group; zeta: group z consumed twice what was produced. */
  for (int p = 0; p < 2; p++) {
    s.add(record(1, "prod", "", "orders", p, 5000, 10));
    s.add(record(0, "ca", "a", "orders", p, 5000, 10));
    s.add(record(0, "cb", "b", "orders", p, 5000, p ? 7 : 10));
  }
  s.add(record(1, "prod", "", "quiet", 0, 5000, 4));
  s.add(record(1, "prod", "", "zeta", 0, 5000, 2, 50));
  s.add(record(0, "cz", "z", "zeta", 0, 5000, 4, 90));
  std::string before = w4_page_streams_json(s.view(), {});
  EXPECT_NE(std::string::npos, before.find("\"states\":{\"no_group\":1,"
                                           "\"pending\":3}"))
      << before;
  s.finish();

  std::string j = w4_page_streams_json(s.view(), {});
  size_t b = j.find("{\"topic\":\"orders\",\"group\":\"b\"");
  size_t z = j.find("{\"topic\":\"zeta\",\"group\":\"z\"");
  size_t a = j.find("{\"topic\":\"orders\",\"group\":\"a\"");
  size_t q = j.find("{\"topic\":\"quiet\",\"group\":null");
  ASSERT_NE(std::string::npos, q) << j;
  EXPECT_TRUE(b < z && z < a && a < q) << j;
  EXPECT_NE(std::string::npos,
            j.find("\"group\":\"b\",\"state\":\"not_delivered\","
                   "\"produced\":20,\"consumed\":17,\"audited\":20,"
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

  std::string page =
      w4_page_streams_json(s.view(), {{"offset", "1"}, {"limit", "2"}});
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
  std::string filtered = w4_page_streams_json(s.view(), {{"q", "zet"}});
  EXPECT_NE(std::string::npos, filtered.find("\"total\":1,")) << filtered;
  /* A limit beyond the largest page is cut to it; nonsense is ignored. */
  std::string big =
      w4_page_streams_json(s.view(), {{"limit", "99999999"}, {"offset", "-3"}});
  EXPECT_NE(std::string::npos, big.find("\"offset\":0,\"limit\":1000,")) << big;

  /* The partitions of group b's row, with the audit per partition. */
  std::string parts =
      w4_page_partitions_json(s.view(), {{"topic", "orders"}, {"group", "b"}});
  EXPECT_NE(std::string::npos,
            parts.find("{\"partition\":0,\"produced\":10,\"consumed\":10,"
                       "\"missing\":0,\"duplicate\":0,"))
      << parts;
  EXPECT_NE(std::string::npos,
            parts.find("{\"partition\":1,\"produced\":10,\"consumed\":7,"
                       "\"missing\":3,\"duplicate\":0,"))
      << parts;
  std::string none = w4_page_partitions_json(s.view(), {{"topic", "nope"}});
  EXPECT_NE(std::string::npos, none.find("\"total\":0,")) << none;

  std::string clients = w4_page_clients_json(s.view(), {});
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
    w4_history_note(&h, record(0, "c" + group, group, "t", 0, wall, 2), wall);
    w4_history_note(&h, record(1, "p", "", "t", 0, wall, 2), wall);
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

} // namespace
