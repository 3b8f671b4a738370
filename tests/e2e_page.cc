/* The exporter's page in a real browser: the exporter reads the records of a
 * producer and two consumer groups with the plug-in on a mock cluster (one
 * group skips a known number of messages), and headless Chromium renders
 * the page; what it rendered is read back from its DOM. Hostile names in
 * the records must come out as text. */
#include "testlib.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char *const MON_TOPIC = "_quarndale-monitoring";
const std::string P = "quarndale.monitoring.interceptor.";

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

/* The exporter, run as a child process, and the port it serves. */
struct exporter_proc {
  w4test::child proc;
  int port = 0;
};

/* Starts the exporter with args; false when it does not serve. */
bool exporter_start(exporter_proc *e, const std::vector<std::string> &args) {
  e->port = w4test::exporter_start(&e->proc, args);
  return e->port > 0;
}

/* Stops the exporter; its exit code, -1 when it had to be killed. */
int exporter_stop(exporter_proc *e) {
  int rc = w4test::stop_child(&e->proc);
  w4test::remove_child_files(e->proc);
  return rc;
}

std::string base_url(const exporter_proc &e) {
  return "http://127.0.0.1:" + std::to_string(e.port);
}

/* GET (or another method) with curl: the body, or with headers the whole
 * answer; "" when the request failed. */
std::string http(const std::string &url, const std::string &curl_args = "") {
  int st = 0;
  std::string body = w4test::run_command(
      "curl -s --max-time 20 " + curl_args + " '" + url + "'", &st);
  return st == 0 ? body : "";
}

/* The path of the browser as the shell finds it; "" when there is none. */
std::string chromium_path(void) {
  int st;
  std::string path = w4test::run_command("command -v chromium", &st);
  while (!path.empty() && (path.back() == '\n' || path.back() == ' '))
    path.pop_back();
  return st == 0 ? path : "";
}

/* Runs headless Chromium on url with a fresh profile, its own virtual time
 * letting the page fetch and draw (it refreshes every 5 s, so it draws at
 * least twice); what it printed (the DOM with --dump-dom). Bounded by a
 * timeout of its own. */
std::string chromium(const std::string &url, const std::string &what,
                     int *status) {
  std::string tmpl = std::string(P_tmpdir) + "/w4chromium-XXXXXX";
  if (!mkdtemp(&tmpl[0])) {
    *status = -1;
    return "";
  }
  std::string cmd =
      "timeout -k 5 120 '" + chromium_path() +
      "' --headless --no-sandbox --disable-gpu --disable-quic "
      "--no-first-run --disable-background-networking "
      "--disable-component-update --disable-sync --hide-scrollbars "
      "--user-data-dir='" +
      tmpl + "' --window-size=1400,1000 --virtual-time-budget=7000 " + what +
      " '" + url + "' 2>/dev/null";
  std::string out = w4test::run_command(cmd, status);
  int st;
  w4test::run_command("rm -rf '" + tmpl + "'", &st);
  return out;
}

/* The element of the DOM text that holds needle in its opening tag, from
 * "<tag" to its closing tag (not nested in one of its kind). */
std::string element_with(const std::string &dom, const std::string &tag,
                         const std::string &needle) {
  size_t at = dom.find(needle);
  if (at == std::string::npos)
    return "";
  size_t open = dom.rfind("<" + tag, at);
  size_t close = dom.find("</" + tag + ">", at);
  if (open == std::string::npos || close == std::string::npos)
    return "";
  return dom.substr(open, close + tag.size() + 3 - open);
}

/* The number in the attribute name="..." of an element's opening tag, -1
 * when it has none. */
long attr_number(const std::string &element, const std::string &name) {
  std::string mark = " " + name + "=\"";
  size_t at = element.find(mark);
  size_t end = element.find('>');
  if (at == std::string::npos || at > end)
    return -1;
  return strtol(element.c_str() + at + mark.size(), nullptr, 10);
}

/* How many times needle occurs in text. */
int occurrences(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    n++;
  return n;
}

using w4test::plugin_client;

/* Polls /api/streams until every row has settled (none pending, no window
 * open) and rows have come, 60 s at most; the last answer. */
std::string wait_settled(const exporter_proc &e, int rows) {
  std::string body;
  int64_t deadline = w4test::mono_ms() + 60000;
  while (w4test::mono_ms() < deadline) {
    body = http(base_url(e) + "/api/streams");
    if (occurrences(body, "\"topic\":") >= rows &&
        body.find("\"open_windows\":0,\"total\"") != std::string::npos &&
        body.find("\"state\":\"pending\"") == std::string::npos)
      return body;
    w4test::sleep_ms(300);
  }
  return body;
}

TEST(Page, DeliveredAndShortGroupsChartsAndClientsInABrowser) {
  if (chromium_path().empty())
    GTEST_SKIP() << "chromium is not installed";
  const int N = 200;
  const int SKIP0 = 15, SKIP1 = 10;
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, "orders", 2, 1);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 2, 1);

  exporter_proc exporter;
  w4test::child_guard guard(&exporter.proc);
  ASSERT_TRUE(
      exporter_start(&exporter, {"-b", mc->bootstraps, "--from-beginning",
                                 "--settle", "3000", "--history-step", "1000"}))
      << read_file(exporter.proc.err_path);

  w4test::two_groups t;
  t.prefix = "page";
  t.group_a = "group-a";
  t.group_b = "group-b";
  t.n = N;
  t.skip0 = SKIP0;
  t.skip1 = SKIP1;
  w4test::two_groups_traffic(mc, t);
  std::string streams = wait_settled(exporter, 2);
  ASSERT_NE(std::string::npos, streams.find("\"state\":\"delivered\""))
      << streams;
  /* The records carry histograms: every row has its p99. */
  EXPECT_EQ(std::string::npos, streams.find("\"latency_p99_ms\":null"))
      << streams;
  /* A few more steps of history, so that every chart has lines. */
  w4test::sleep_ms(2500);

  int st;
  std::string dom = chromium(base_url(exporter) + "/", "--dump-dom", &st);
  ASSERT_EQ(0, st) << dom;
  std::string body = element_with(dom, "body", "<body");
  EXPECT_GE(attr_number(body, "data-renders"), 1) << dom;
  EXPECT_EQ(std::string::npos, body.find("data-violations")) << body;

  /* Group a got everything; group b shows exactly what it skipped. */
  std::string row_a = element_with(dom, "tr", "data-group=\"group-a\"");
  ASSERT_FALSE(row_a.empty()) << dom;
  EXPECT_NE(std::string::npos, row_a.find("data-state=\"delivered\"")) << row_a;
  EXPECT_NE(std::string::npos, row_a.find("✔ delivered")) << row_a;
  EXPECT_EQ(0, attr_number(row_a, "data-missing")) << row_a;
  std::string row_b = element_with(dom, "tr", "data-group=\"group-b\"");
  ASSERT_FALSE(row_b.empty()) << dom;
  EXPECT_NE(std::string::npos, row_b.find("data-state=\"not_delivered\""))
      << row_b;
  EXPECT_NE(std::string::npos, row_b.find("✘ not delivered")) << row_b;
  EXPECT_EQ(SKIP0 + SKIP1, attr_number(row_b, "data-missing")) << row_b;
  EXPECT_NE(std::string::npos,
            row_b.find("<td class=\"num missing\">" +
                       std::to_string(SKIP0 + SKIP1) + "</td>"))
      << row_b;
  /* Produced 200, consumed 175, shown with their separators. */
  EXPECT_NE(std::string::npos, row_b.find(">200<")) << row_b;
  EXPECT_NE(std::string::npos, row_b.find(">175<")) << row_b;

  /* Every chart has points and has painted its canvas. */
  for (const char *id : {"chart-rate", "chart-missing", "chart-latency"}) {
    std::string canvas =
        element_with(dom, "canvas", std::string("id=\"") + id + "\"");
    EXPECT_GT(attr_number(canvas, "data-points"), 0) << id << ": " << canvas;
    EXPECT_GT(attr_number(canvas, "data-painted"), 100) << id << ": " << canvas;
  }
  /* The clients: one producer, two consumers. */
  EXPECT_EQ(1, occurrences(dom, "data-type=\"producer\"")) << dom;
  EXPECT_EQ(2, occurrences(dom, "data-type=\"consumer\"")) << dom;
  EXPECT_NE(std::string::npos, dom.find(">page-producer<")) << dom;

  /* A row opened (through the address, as a click leaves it): group b's
   * shortfall per partition. */
  dom = chromium(base_url(exporter) +
                     "/#open=%5B%5B%22orders%22%2C%22group-b%22%5D%5D",
                 "--dump-dom", &st);
  ASSERT_EQ(0, st) << dom;
  std::string opened = element_with(dom, "tr", "class=\"stream open\"");
  EXPECT_NE(std::string::npos, opened.find("data-group=\"group-b\"")) << dom;
  std::string part0 = element_with(dom, "tr", "data-partition=\"0\"");
  std::string part1 = element_with(dom, "tr", "data-partition=\"1\"");
  EXPECT_NE(std::string::npos,
            part0.find("<td class=\"num\">100</td><td class=\"num\">85</td>"
                       "<td class=\"num\">15</td>"))
      << part0;
  EXPECT_NE(std::string::npos,
            part1.find("<td class=\"num\">100</td><td class=\"num\">90</td>"
                       "<td class=\"num\">10</td>"))
      << part1;
  EXPECT_EQ(2, occurrences(dom, "<tr class=\"partition\"")) << dom;

  /* The same through the JSON, and its paging. */
  std::string parts =
      http(base_url(exporter) + "/api/partitions?topic=orders&group=group-b");
  EXPECT_NE(std::string::npos,
            parts.find("{\"partition\":0,\"produced\":100,\"consumed\":85,"
                       "\"missing\":15,"))
      << parts;
  EXPECT_NE(std::string::npos,
            parts.find("{\"partition\":1,\"produced\":100,\"consumed\":90,"
                       "\"missing\":10,"))
      << parts;
  std::string page2 =
      http(base_url(exporter) + "/api/partitions?topic=orders&group=group-b&"
                                "offset=1&limit=1");
  EXPECT_NE(std::string::npos,
            page2.find("\"total\":2,\"offset\":1,\"limit\":1,"
                       "\"rows\":[{\"partition\":1,"))
      << page2;

  /* A screenshot of the page, kept in the build tree. */
  std::string shot = std::string(W4_TOOLS_DIR) + "/../tests/page.png";
  unlink(shot.c_str());
  chromium(base_url(exporter) + "/", "--screenshot='" + shot + "'", &st);
  EXPECT_EQ(0, st);
  struct stat sb;
  ASSERT_EQ(0, stat(shot.c_str(), &sb)) << shot;
  EXPECT_GT(sb.st_size, 10000);
  std::string png = read_file(shot);
  EXPECT_EQ(0, png.compare(0, 8, "\x89PNG\r\n\x1a\n", 8));

  EXPECT_EQ(0, exporter_stop(&exporter));
  w4test::mock_cluster_stop(mc);
}

/* Appends a varint. */
void pb_varint(std::string *out, uint64_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<char>((v & 0x7f) | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<char>(v));
}

/* Appends a varint field. */
void pb_int(std::string *out, int field, uint64_t v) {
  pb_varint(out, static_cast<uint64_t>(field) << 3);
  pb_varint(out, v);
}

/* Appends a length-delimited field. */
void pb_str(std::string *out, int field, const std::string &s) {
  pb_varint(out, (static_cast<uint64_t>(field) << 3) | 2);
  pb_varint(out, s.size());
  out->append(s);
}

/* A framed data record of 5 messages in one window, encoded by hand. */
std::string hostile_record(int client_type, const std::string &client_id,
                           const std::string &group, const std::string &topic,
                           const std::string &cluster_id, int64_t wall) {
  std::string m;
  pb_int(&m, w4test::F_CLIENT_TYPE, static_cast<uint64_t>(client_type));
  pb_str(&m, w4test::F_CLIENT_ID, client_id);
  if (!group.empty())
    pb_str(&m, w4test::F_GROUP_ID, group);
  pb_str(&m, w4test::F_SESSION_ID,
         std::string(32, client_type == w4test::CLIENT_PRODUCER ? 'a' : 'b'));
  int64_t window = wall - wall % 15000;
  pb_int(&m, w4test::F_WINDOW, static_cast<uint64_t>(window));
  pb_int(&m, w4test::F_TIMESTAMP, static_cast<uint64_t>(wall));
  pb_str(&m, w4test::F_TOPIC, topic);
  pb_int(&m, w4test::F_COUNT, 5);
  pb_int(&m, w4test::F_AGGREGATE_BYTES, 50);
  pb_int(&m, w4test::F_LATENCY_SUM, 20);
  pb_int(&m, w4test::F_MIN_LATENCY, 2);
  pb_int(&m, w4test::F_MAX_LATENCY, 6);
  pb_int(&m, w4test::F_WINDOW_SIZE, 15000);
  pb_str(&m, w4test::F_CLUSTER_ID, cluster_id);
  return "\x7f" + m;
}

TEST(Page, HostileNamesRenderAsTextAndThePageIsReadOnly) {
  if (chromium_path().empty())
    GTEST_SKIP() << "chromium is not installed";
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);
  rd_kafka_mock_topic_create(mc->mcluster, "plain", 1, 1);
  /* Names that would run or inject something if they were taken as markup
   * (a script, an event handler, attributes broken out of their quotes) or
   * pasted into a script. */
  const std::string topic =
      "<script>document.body.dataset.pwned='topic'</script>\"'&amp;";
  const std::string client = "\"><img src=x id=pwned-client>'";
  const std::string group = "</script><b id=pwned-group>g\"'</b>";
  const std::string cluster = "<svg id=pwned-cluster></svg>\u2028";
  int64_t wall = w4test::wall_ms();
  w4test::produce_values(mc, MON_TOPIC, 0,
                         {hostile_record(w4test::CLIENT_PRODUCER, client, "",
                                         topic, cluster, wall),
                          hostile_record(w4test::CLIENT_CONSUMER, client, group,
                                         topic, cluster, wall)});
  /* A real client whose client id is as hostile. */
  rd_kafka_t *prod = plugin_client(
      mc, RD_KAFKA_PRODUCER, "<script>document.title='pwned'</script>", "");
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
            rd_kafka_producev(prod, RD_KAFKA_V_TOPIC("plain"),
                              RD_KAFKA_V_VALUE(const_cast<char *>("v"), 1),
                              RD_KAFKA_V_END));
  ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR, rd_kafka_flush(prod, 15000));
  rd_kafka_destroy(prod);

  exporter_proc exporter;
  w4test::child_guard guard(&exporter.proc);
  ASSERT_TRUE(
      exporter_start(&exporter, {"-b", mc->bootstraps, "--from-beginning",
                                 "--settle", "1000"}))
      << read_file(exporter.proc.err_path);
  std::string json = wait_settled(exporter, 2);
  /* The JSON carries the names with <, > and & escaped. */
  ASSERT_NE(std::string::npos,
            json.find("\\u003cscript\\u003edocument.body.dataset.pwned="
                      "'topic'\\u003c/script\\u003e\\\"'\\u0026amp;"))
      << json;
  EXPECT_EQ(std::string::npos, json.find('<')) << json;
  std::string clients = http(base_url(exporter) + "/api/clients");
  EXPECT_NE(std::string::npos, clients.find("\\u2028")) << clients;
  EXPECT_NE(std::string::npos, clients.find("\\\"\\u003e\\u003cimg src=x"))
      << clients;

  int st;
  std::string dom = chromium(base_url(exporter) + "/", "--dump-dom", &st);
  ASSERT_EQ(0, st) << dom;
  std::string body = element_with(dom, "body", "<body");
  EXPECT_GE(attr_number(body, "data-renders"), 1) << dom;
  /* Nothing ran and no element came from a name... */
  EXPECT_EQ(std::string::npos, dom.find("data-pwned")) << dom;
  EXPECT_EQ(std::string::npos, dom.find("pwned</title>")) << dom;
  for (const char *id : {"id=\"pwned-client\"", "id=\"pwned-group\"",
                         "id=\"pwned-cluster\"", "<img", "<svg", "<b "})
    EXPECT_EQ(std::string::npos, dom.find(id)) << id << "\n" << dom;
  EXPECT_EQ(std::string::npos, body.find("data-violations")) << body;
  /* ...and every name is on the page as the text it is. */
  EXPECT_NE(std::string::npos,
            dom.find(">&lt;script&gt;document.body.dataset.pwned='topic'&lt;/"
                     "script&gt;\"'&amp;amp;<"))
      << dom;
  EXPECT_NE(std::string::npos,
            dom.find(">\"&gt;&lt;img src=x id=pwned-client&gt;'<"))
      << dom;
  EXPECT_NE(std::string::npos,
            dom.find(">&lt;/script&gt;&lt;b id=pwned-group&gt;g\"'&lt;/b&gt;<"))
      << dom;
  EXPECT_NE(std::string::npos,
            dom.find(">&lt;script&gt;document.title='pwned'&lt;/script&gt;<"))
      << dom;

  /* Read-only, with the headers that keep it so. */
  std::string head = http(base_url(exporter) + "/", "-i");
  EXPECT_NE(std::string::npos,
            head.find("Content-Type: text/html; charset=utf-8\r\n"))
      << head;
  EXPECT_NE(std::string::npos, head.find("X-Content-Type-Options: nosniff\r\n"))
      << head;
  EXPECT_NE(std::string::npos,
            head.find("Content-Security-Policy: default-src 'none'; "
                      "script-src 'self';"))
      << head;
  EXPECT_EQ(std::string::npos, head.find("<script>")) << head;
  head = http(base_url(exporter) + "/api/streams", "-i");
  EXPECT_NE(std::string::npos,
            head.find("Content-Type: application/json; charset=utf-8\r\n"))
      << head;
  head = http(base_url(exporter) + "/chart.js", "-I");
  EXPECT_NE(std::string::npos,
            head.find("Content-Type: text/javascript; charset=utf-8\r\n"))
      << head;
  for (const char *method : {"POST", "PUT", "DELETE", "PATCH"}) {
    std::string answer = http(base_url(exporter) + "/api/streams",
                              std::string("-i -X ") + method + " --data x");
    EXPECT_EQ(0, answer.compare(0, 12, "HTTP/1.1 405")) << method << answer;
    EXPECT_NE(std::string::npos, answer.find("Allow: GET, HEAD\r\n")) << answer;
  }
  EXPECT_EQ(0, http(base_url(exporter) + "/api/nothing", "-i")
                   .compare(0, 12, "HTTP/1.1 404"));
  EXPECT_EQ(0, exporter_stop(&exporter));
  w4test::mock_cluster_stop(mc);
}

} // namespace

namespace {

/* The demo serves the same page while it runs, at the address it prints. */
TEST(Page, TheDemoServesThePageAndPrintsItsAddress) {
  std::string out_path = w4test::temp_file();
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(out_path.c_str(), O_WRONLY | O_TRUNC);
    dup2(fd, 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    std::string demo = std::string(W4_TOOLS_DIR) + "/w4metrics-demo";
    execl(demo.c_str(), demo.c_str(), "--seconds", "8", "--interval", "500",
          static_cast<char *>(nullptr));
    _exit(127);
  }
  const std::string mark = "page: http://127.0.0.1:";
  std::string url;
  int64_t deadline = w4test::mono_ms() + 30000;
  while (url.empty() && w4test::mono_ms() < deadline) {
    std::string out = read_file(out_path);
    size_t at = out.find(mark);
    if (at != std::string::npos)
      url = out.substr(at + 6, out.find('/', at + mark.size()) - at - 6);
    else
      w4test::sleep_ms(100);
  }
  ASSERT_FALSE(url.empty()) << read_file(out_path);
  /* Its three topics show up with the demo's consumer group. */
  std::string streams;
  deadline = w4test::mono_ms() + 15000;
  while (w4test::mono_ms() < deadline &&
         occurrences(streams, "\"group\":\"w4demo-") < 3) {
    w4test::sleep_ms(300);
    streams = http(url + "/api/streams");
  }
  for (const char *topic : {"w4demo.orders", "w4demo.payments", "w4demo.audit"})
    EXPECT_NE(std::string::npos,
              streams.find(std::string("{\"topic\":\"") + topic + "\""))
        << streams;
  EXPECT_NE(std::string::npos, http(url + "/").find("/page.js")) << url;
  int status = 0;
  deadline = w4test::mono_ms() + 60000;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (w4test::mono_ms() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    w4test::sleep_ms(100);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << read_file(out_path);
  unlink(out_path.c_str());
}

} // namespace
