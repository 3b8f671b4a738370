/* The tools against a mock cluster: w4metrics-read prints what the plug-in
 * published (checked against the independent wire reader), skips values that
 * are not records, and w4metrics-demo accounts for every message. */
#include "testlib.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace {

const char *const MON_TOPIC = "_quarndale-monitoring";

/* Exit code of a finished command, -1 when it did not exit normally. */
int exit_code(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* Runs a tool from the build tree; returns stdout, fills *err with stderr. */
std::string run_tool(const std::string &args, int *code, std::string *err) {
  std::string path_tmpl = std::string(P_tmpdir) + "/w4tools-stderr-XXXXXX";
  char *path = &path_tmpl[0];
  int fd = mkstemp(path);
  close(fd);
  int status = 0;
  std::string out = w4test::run_command(
      std::string(W4_TOOLS_DIR) + "/" + args + " 2>" + path, &status);
  *code = exit_code(status);
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  *err = ss.str();
  unlink(path);
  return out;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty())
      out.push_back(line);
  return out;
}

/* The raw JSON text of a member of a flat object: a string literal with its
 * quotes, or a scalar. Empty when the member is missing. */
std::string json_member(const std::string &obj, const std::string &name) {
  std::string needle = "\"" + name + "\":";
  size_t pos = obj.find(needle);
  if (pos == std::string::npos)
    return "";
  pos += needle.size();
  size_t end = pos;
  if (obj[pos] == '"') {
    for (end = pos + 1; end < obj.size() && obj[end] != '"'; end++)
      if (obj[end] == '\\')
        end++;
    return obj.substr(pos, end + 1 - pos);
  }
  while (end < obj.size() && obj[end] != ',' && obj[end] != '}')
    end++;
  return obj.substr(pos, end - pos);
}

int64_t json_int(const std::string &obj, const std::string &name) {
  return std::stoll(json_member(obj, name));
}

/* Produces n messages to topic through a producer with the plug-in, then
 * destroys it so that its final pass is published too. */
void produce_with_plugin(const w4test::mock_cluster *mc,
                         const std::string &client_id, const std::string &topic,
                         int n) {
  rd_kafka_conf_t *conf = w4test::make_conf(
      {{"bootstrap.servers", mc->bootstraps},
       {"client.id", client_id},
       {"plugin.library.paths", w4test::plugin_path()},
       {"quarndale.monitoring.interceptor.publishms", "300"}});
  char errstr[512];
  rd_kafka_t *rk =
      rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  ASSERT_NE(nullptr, rk) << errstr;
  for (int i = 0; i < n; i++) {
    std::string key = "k" + std::to_string(i);
    std::string value(10 + i, 'v');
    ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
              rd_kafka_producev(rk, RD_KAFKA_V_TOPIC(topic.c_str()),
                                RD_KAFKA_V_KEY(key.data(), key.size()),
                                RD_KAFKA_V_VALUE(&value[0], value.size()),
                                RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY),
                                RD_KAFKA_V_END));
  }
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(rk, 10000));
  /* Let at least one ordinary pass run before the final one. */
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  rd_kafka_destroy(rk);
}

/* What identifies a record's content, from either decoder. */
typedef std::tuple<int64_t, int64_t, int64_t, int64_t, int64_t, int64_t,
                   int64_t>
    record_facts;

record_facts facts_of_wire(const w4test::wire_msg &m) {
  return record_facts(m.i64(w4test::F_PARTITION), m.i64(w4test::F_SEQUENCE),
                      m.i64(w4test::F_WINDOW), m.i64(w4test::F_COUNT),
                      m.i64(w4test::F_AGGREGATE_BYTES),
                      m.i64(w4test::F_RECORD_KIND), m.i64(w4test::F_FINAL));
}

record_facts facts_of_json(const std::string &obj) {
  return record_facts(json_int(obj, "partition"), json_int(obj, "sequence"),
                      json_int(obj, "window"), json_int(obj, "count"),
                      json_int(obj, "aggregate_bytes"),
                      json_int(obj, "record_kind"),
                      json_member(obj, "final") == "true" ? 1 : 0);
}

TEST(ToolsReader, PrintsEveryRecordOfThePlugin) {
  const int n = 60;
  /* A client id that needs escaping in JSON. */
  const std::string client_id = "tools \"e2e\"\\x";
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, "orders", 2, 1);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 2, 1);
  produce_with_plugin(mc, client_id, "orders", n);

  /* What is on the topic, read with the independent decoder. */
  std::vector<record_facts> expected;
  int finals = 0;
  for (const w4test::consumed &c :
       w4test::consume_all(mc->bootstraps, MON_TOPIC)) {
    w4test::wire_msg m = w4test::record_decode(c.value);
    ASSERT_TRUE(m.ok) << w4test::hex(c.value);
    expected.push_back(facts_of_wire(m));
    finals += m.i64(w4test::F_FINAL) ? 1 : 0;
  }
  std::sort(expected.begin(), expected.end());
  ASSERT_GE(expected.size(), 2u);
  EXPECT_EQ(2, finals); /* the final pass closes both partitions */

  std::string base = "w4metrics-read -b " + mc->bootstraps +
                     " --from-beginning --exit-idle 2000";
  int code;
  std::string err;
  std::vector<std::string> plain = lines_of(run_tool(base, &code, &err));
  EXPECT_EQ(0, code) << err;
  EXPECT_EQ(expected.size(), plain.size()) << err;
  int plain_finals = 0;
  for (const std::string &l : plain) {
    EXPECT_NE(std::string::npos, l.find(" producer " + client_id)) << l;
    EXPECT_NE(std::string::npos, l.find("orders [")) << l;
    plain_finals += l.find("FINAL") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(finals, plain_finals);

  std::vector<std::string> json =
      lines_of(run_tool(base + " --json", &code, &err));
  EXPECT_EQ(0, code) << err;
  std::vector<record_facts> got;
  int64_t count_sum = 0;
  for (const std::string &obj : json) {
    ASSERT_EQ('{', obj.front()) << obj;
    ASSERT_EQ('}', obj.back()) << obj;
    EXPECT_EQ("\"orders\"", json_member(obj, "topic")) << obj;
    EXPECT_EQ(std::to_string(w4test::CLIENT_PRODUCER),
              json_member(obj, "client_type"))
        << obj;
    EXPECT_EQ("\"tools \\\"e2e\\\"\\\\x\"", json_member(obj, "client_id"));
    std::string session = json_member(obj, "session_id");
    EXPECT_TRUE(session.size() == 34 && session.front() == '"' &&
                session.back() == '"' &&
                session.find_first_not_of("0123456789abcdef", 1) == 33)
        << obj;
    EXPECT_EQ("300", json_member(obj, "window_size")) << obj;
    /* Times are plain JSON numbers of milliseconds since the epoch. */
    EXPECT_GT(json_int(obj, "timestamp"), 1600000000000LL) << obj;
    count_sum += json_int(obj, "count");
    got.push_back(facts_of_json(obj));
  }
  std::sort(got.begin(), got.end());
  EXPECT_EQ(n, count_sum);
  EXPECT_EQ(expected, got);
  w4test::mock_cluster_stop(mc);
}

TEST(ToolsReader, ReportsAndSkipsValuesThatAreNotRecords) {
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);
  rd_kafka_mock_topic_create(mc->mcluster, "junk", 1, 1);
  produce_with_plugin(mc, "junk-source", "data", 3);
  std::vector<w4test::consumed> records =
      w4test::consume_all(mc->bootstraps, MON_TOPIC);
  ASSERT_FALSE(records.empty());
  const std::string good = records[0].value;
  size_t session = good.find("\x22\x20");
  ASSERT_NE(std::string::npos, session) << w4test::hex(good);

  w4test::produce_values(
      mc, "junk", 0,
      {
          "hello",                        /* 0: no 0x7F */
          good,                           /* 1 */
          good.substr(0, session + 10),   /* 2: cut inside a string */
          "",                             /* 3: no value */
          std::string("\x7f\xff\xff", 3), /* 4: broken varint */
          good.substr(0, session + 34),   /* 5: cut after the id */
          good,                           /* 6 */
      });

  int code;
  std::string err;
  std::vector<std::string> out =
      lines_of(run_tool("w4metrics-read -b " + mc->bootstraps +
                            " -t junk --from-beginning --exit-idle 1500",
                        &code, &err));
  EXPECT_EQ(0, code) << err;
  EXPECT_EQ(2u, out.size()) << err;
  EXPECT_EQ(5, w4test::count_lines(err, "skipped value")) << err;
  for (int offset : {0, 2, 3, 4, 5})
    EXPECT_EQ(1, w4test::count_lines(err, "partition 0 offset " +
                                              std::to_string(offset) + " "))
        << "offset " << offset << ":\n"
        << err;

  /* A topic that does not exist: nothing to print, and the idle limit still
   * ends the run. */
  out = lines_of(run_tool("w4metrics-read -b " + mc->bootstraps +
                              " -t absent --json --exit-idle 500",
                          &code, &err));
  EXPECT_EQ(0, code) << err;
  EXPECT_TRUE(out.empty());
  w4test::mock_cluster_stop(mc);
}

TEST(ToolsDemo, ShortRunAccountsForEveryMessage) {
  int code;
  std::string err;
  std::string out =
      run_tool("w4metrics-demo --seconds 5 --interval 500", &code, &err);
  EXPECT_EQ(0, code) << out << err;
  /* Output to a pipe carries no terminal escape codes. */
  EXPECT_EQ(std::string::npos, out.find('\033'));

  long long records, acked_counted, acked, sent, consumed_counted, consumed,
      gaps, audited, missing, duplicate, pending;
  size_t at = out.find("summary: ");
  ASSERT_NE(std::string::npos, at) << out;
  ASSERT_EQ(11,
            sscanf(out.c_str() + at,
                   "summary: %lld records read; producer: %lld of %lld "
                   "acknowledged messages accounted for (%lld sent); "
                   "consumer: %lld of %lld consumed messages accounted "
                   "for; %lld gaps; audit: %lld produced, %lld missing, "
                   "%lld duplicate, %lld pending, delivered; OK",
                   &records, &acked_counted, &acked, &sent, &consumed_counted,
                   &consumed, &gaps, &audited, &missing, &duplicate, &pending))
      << out;
  EXPECT_NE(std::string::npos, out.find(" pending, delivered; OK", at))
      << out;
  EXPECT_EQ(0, pending);
  /* The consumer read everything the producer had acknowledged. */
  EXPECT_EQ(acked, audited);
  EXPECT_EQ(0, missing);
  EXPECT_EQ(0, duplicate);
  EXPECT_GT(records, 0);
  EXPECT_GT(sent, 0);
  EXPECT_EQ(acked_counted, acked);
  EXPECT_EQ(acked, sent);
  EXPECT_EQ(consumed_counted, consumed);
  EXPECT_EQ(0, gaps);
  /* Rows for both clients, and the final records were read. */
  EXPECT_NE(std::string::npos, out.find("producer  w4demo.orders"));
  EXPECT_NE(std::string::npos, out.find("final"));
}

} // namespace
