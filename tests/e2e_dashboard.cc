/* The Grafana dashboard and the Prometheus rules as an operator uses them:
 * the dashboard's JSON is checked for the structure that Grafana imports,
 * then every panel's query, with its template variables filled in as
 * Grafana fills them, is evaluated by a real Prometheus server that scrapes
 * a real exporter reading the records of a producer and four consumer
 * groups on the mock cluster (one skips messages, one reads them twice, one
 * lags). The same server loads the rules: the audit's alerts go pending for
 * the right groups, and the others stay silent. */
#include "testlib.h"

#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using json = nlohmann::json;

const std::string P = "quarndale.monitoring.interceptor.";

/* The dashboard's JSON, as the project installs it. */
std::string dashboard_path(void) {
  return std::string(W4_SHARE_DIR) + "/grafana/w4metrics.json";
}

/* The Prometheus rules, as the project installs them. */
std::string rules_path(void) {
  return std::string(W4_SHARE_DIR) + "/prometheus/w4metrics-rules.yml";
}

/* The dashboard, parsed; a discarded value when it is not JSON. */
json load_dashboard(void) {
  return json::parse(w4test::read_file(dashboard_path()), nullptr, false);
}

/* One query of a panel. */
struct panel_target {
  int panel_id;
  std::string panel_title;
  std::string ref_id;
  std::string expr;
};

/* Every target of every panel, rows' nested panels included. */
std::vector<panel_target> targets_of(const json &dash) {
  std::vector<panel_target> out;
  std::vector<const json *> panels;
  for (const json &p : dash["panels"]) {
    panels.push_back(&p);
    if (p.contains("panels"))
      for (const json &q : p["panels"])
        panels.push_back(&q);
  }
  for (const json *p : panels)
    if (p->contains("targets"))
      for (const json &t : (*p)["targets"])
        out.push_back({p->value("id", -1), p->value("title", ""),
                       t.value("refId", ""), t.value("expr", "")});
  return out;
}

/* The query of a template variable, written as a string or as an object. */
std::string variable_query(const json &v) {
  if (!v.contains("query"))
    return "";
  const json &q = v["query"];
  if (q.is_string())
    return q.get<std::string>();
  return q.is_object() ? q.value("query", "") : "";
}

/* The template variable called name; null when there is none. */
json variable(const json &dash, const std::string &name) {
  for (const json &v : dash["templating"]["list"])
    if (v.value("name", "") == name)
      return v;
  return json();
}

/* Whether c may be part of a variable's name. */
bool is_name_char(char c) {
  return isalnum(static_cast<unsigned char>(c)) || c == '_';
}

/* The names of the variables ($name or ${name}) that text uses. */
std::set<std::string> variables_used(const std::string &text) {
  std::set<std::string> out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] != '$')
      continue;
    size_t from = i + 1, to;
    if (from < text.size() && text[from] == '{') {
      to = text.find('}', from);
      if (to == std::string::npos)
        break;
      out.insert(text.substr(from + 1, to - from - 1));
    } else {
      for (to = from; to < text.size() && is_name_char(text[to]); to++)
        ;
      if (to > from)
        out.insert(text.substr(from, to - from));
    }
  }
  return out;
}

/* text with every $name and ${name} of vars replaced by its value. */
std::string substitute(const std::string &text,
                       const std::map<std::string, std::string> &vars) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool done = false;
    if (text[i] == '$') {
      for (const auto &kv : vars) {
        const std::string braced = "${" + kv.first + "}";
        const std::string plain = "$" + kv.first;
        if (text.compare(i, braced.size(), braced) == 0) {
          out += kv.second;
          i += braced.size();
          done = true;
        } else if (text.compare(i, plain.size(), plain) == 0 &&
                   (i + plain.size() == text.size() ||
                    !is_name_char(text[i + plain.size()]))) {
          out += kv.second;
          i += plain.size();
          done = true;
        }
        if (done)
          break;
      }
    }
    if (!done)
      out += text[i++];
  }
  return out;
}

/* A selection of several values as Grafana writes it into a Prometheus
 * query: each value with the regular expression's characters escaped,
 * joined by | in parentheses. */
std::string multi_value(const std::vector<std::string> &values) {
  std::string out = "(";
  for (size_t i = 0; i < values.size(); i++) {
    if (i)
      out += "|";
    for (char c : values[i]) {
      if (strchr("\\^$.|?*+()[]{}", c))
        out += "\\\\"; /* the backslash of the regex, escaped for PromQL */
      out += c;
    }
  }
  return out + ")";
}

/* The values that label_values(SELECTOR, LABEL) or label_values(LABEL)
 * gives, through Prometheus' label values API; *ok false when the query
 * has another form or the server refused it. */
std::vector<std::string> label_values(const w4test::prometheus_server &p,
                                      const std::string &query, bool *ok) {
  std::vector<std::string> out;
  *ok = false;
  const std::string head = "label_values(";
  if (query.compare(0, head.size(), head) != 0 || query.back() != ')')
    return out;
  std::string inner = query.substr(head.size(), query.size() - head.size() - 1);
  size_t comma = inner.rfind(',');
  std::string selector =
      comma == std::string::npos ? "" : inner.substr(0, comma);
  std::string label =
      comma == std::string::npos ? inner : inner.substr(comma + 1);
  while (!label.empty() && label.front() == ' ')
    label.erase(0, 1);
  std::string match_file = w4test::temp_file();
  std::string match_arg;
  if (!selector.empty()) {
    FILE *f = fopen(match_file.c_str(), "w");
    fputs(selector.c_str(), f);
    fclose(f);
    match_arg = " --data-urlencode 'match[]@" + match_file + "'";
  }
  int st;
  std::string body =
      w4test::run_command("curl -s --max-time 10 -G" + match_arg +
                              " http://127.0.0.1:" + std::to_string(p.port) +
                              "/api/v1/label/" + label + "/values",
                          &st);
  unlink(match_file.c_str());
  json answer = json::parse(body, nullptr, false);
  if (answer.is_discarded() || answer.value("status", "") != "success")
    return out;
  for (const json &v : answer["data"])
    out.push_back(v.get<std::string>());
  *ok = true;
  return out;
}

/* One sample of a query's answer: its labels (without job and instance)
 * and its value. */
struct sample {
  std::map<std::string, std::string> labels;
  double value;
};

/* The answer of an instant query: *ok false when Prometheus refused it
 * (with its error in *error). */
std::vector<sample> instant_query(const w4test::prometheus_server &p,
                                  const std::string &expr, bool *ok,
                                  std::string *error) {
  std::vector<sample> out;
  std::string body = w4test::prometheus_query_json(p, expr);
  json answer = json::parse(body, nullptr, false);
  *ok = !answer.is_discarded() && answer.value("status", "") == "success";
  if (!*ok) {
    *error = body.empty() ? "no answer" : body;
    return out;
  }
  const json &data = answer["data"];
  if (data.value("resultType", "") == "scalar") {
    out.push_back({{}, atof(data["result"][1].get<std::string>().c_str())});
    return out;
  }
  for (const json &r : data["result"]) {
    sample s;
    for (const auto &kv : r["metric"].items())
      if (kv.key() != "job" && kv.key() != "instance")
        s.labels[kv.key()] = kv.value().get<std::string>();
    s.value = atof(r["value"][1].get<std::string>().c_str());
    out.push_back(s);
  }
  return out;
}

/* labels as {k="v", ...}. */
std::string labels_text(const std::map<std::string, std::string> &labels) {
  std::string out = "{";
  for (const auto &kv : labels) {
    if (out.size() > 1)
      out += ", ";
    out += kv.first + "=\"" + kv.second + "\"";
  }
  return out + "}";
}

/* The value of the sample whose label key is value; NAN when none. */
double value_where(const std::vector<sample> &samples, const std::string &key,
                   const std::string &value) {
  for (const sample &s : samples) {
    auto it = s.labels.find(key);
    if (it != s.labels.end() && it->second == value)
      return s.value;
  }
  return NAN;
}

/* The text that a panel's value mappings show for v: the first mapping
 * that matches, as Grafana applies them; "" when none does. A range's
 * bound must be a number (Grafana reads a null bound as 0). */
std::string mapped_text(const json &panel, double v) {
  const json &mappings = panel["fieldConfig"]["defaults"]["mappings"];
  for (const json &m : mappings) {
    const json &o = m["options"];
    if (m.value("type", "") == "value") {
      for (const auto &kv : o.items())
        if (atof(kv.key().c_str()) == v)
          return kv.value().value("text", "");
    } else if (m.value("type", "") == "range") {
      if (o["from"].is_number() && o["to"].is_number() &&
          o["from"].get<double>() <= v && v <= o["to"].get<double>())
        return o["result"].value("text", "");
    }
  }
  return "";
}

/* The panel titled title; null when there is none. */
json panel_titled(const json &dash, const std::string &title) {
  for (const json &p : dash["panels"])
    if (p.value("title", "") == title)
      return p;
  return json();
}

TEST(Dashboard, JsonHasTheStructureGrafanaImports) {
  json dash = load_dashboard();
  ASSERT_FALSE(dash.is_discarded()) << dashboard_path() << " is not JSON";
  EXPECT_TRUE(dash["schemaVersion"].is_number_integer());
  EXPECT_FALSE(dash.value("title", "").empty());
  EXPECT_FALSE(dash.value("uid", "").empty());

  /* A data-source variable, and query variables for cluster, topic and
   * group. */
  json ds = variable(dash, "datasource");
  ASSERT_FALSE(ds.is_null());
  EXPECT_EQ("datasource", ds.value("type", ""));
  EXPECT_EQ("prometheus", variable_query(ds));
  for (const char *name : {"cluster", "topic", "group"}) {
    json v = variable(dash, name);
    ASSERT_FALSE(v.is_null()) << name;
    EXPECT_EQ("query", v.value("type", "")) << name;
    EXPECT_EQ(0u, variable_query(v).rfind("label_values(", 0)) << name;
    EXPECT_EQ("${datasource}", v["datasource"].value("uid", "")) << name;
  }

  const std::set<std::string> known_types = {"row", "timeseries", "stat",
                                             "table"};
  const std::set<std::string> builtins = {"__rate_interval", "__interval",
                                          "__range", "datasource"};
  std::set<int> ids;
  std::vector<std::string> rows;
  struct box {
    int id, x, y, w, h;
  };
  std::vector<box> boxes;
  for (const json &p : dash["panels"]) {
    int id = p.value("id", -1);
    std::string type = p.value("type", "");
    SCOPED_TRACE("panel " + std::to_string(id) + " " + p.value("title", ""));
    EXPECT_TRUE(ids.insert(id).second) << "id used twice";
    EXPECT_TRUE(known_types.count(type)) << type;
    ASSERT_TRUE(p.contains("datasource"));
    EXPECT_EQ("${datasource}", p["datasource"].value("uid", ""));
    EXPECT_EQ("prometheus", p["datasource"].value("type", ""));
    const json &gp = p["gridPos"];
    ASSERT_TRUE(gp.is_object());
    box b = {id, gp.value("x", -1), gp.value("y", -1), gp.value("w", 0),
             gp.value("h", 0)};
    EXPECT_TRUE(b.x >= 0 && b.y >= 0 && b.w > 0 && b.h > 0 && b.x + b.w <= 24);
    for (const box &o : boxes)
      EXPECT_FALSE(b.x < o.x + o.w && o.x < b.x + b.w && b.y < o.y + o.h &&
                   o.y < b.y + b.h)
          << "overlaps panel " << o.id;
    boxes.push_back(b);
    if (type == "row") {
      rows.push_back(p.value("title", ""));
      EXPECT_FALSE(p.contains("targets"));
      continue;
    }
    if (p.contains("fieldConfig"))
      for (const json &m :
           p["fieldConfig"]["defaults"].value("mappings", json::array()))
        if (m.value("type", "") == "range") {
          EXPECT_TRUE(m["options"]["from"].is_number() &&
                      m["options"]["to"].is_number())
              << "a range mapping needs both bounds";
        }
    ASSERT_TRUE(p["targets"].is_array());
    EXPECT_FALSE(p["targets"].empty());
    std::set<std::string> refs;
    for (const json &t : p["targets"]) {
      std::string ref = t.value("refId", ""), expr = t.value("expr", "");
      EXPECT_FALSE(ref.empty());
      EXPECT_TRUE(refs.insert(ref).second) << "refId used twice: " << ref;
      EXPECT_FALSE(expr.empty()) << ref;
      if (t.contains("datasource")) {
        EXPECT_EQ("${datasource}", t["datasource"].value("uid", "")) << ref;
      }
      for (const std::string &v : variables_used(expr))
        EXPECT_TRUE(builtins.count(v) || !variable(dash, v).is_null())
            << "unknown variable $" << v << " in " << expr;
    }
  }
  EXPECT_EQ((std::vector<std::string>{"Delivery", "Throughput", "Latency",
                                      "Monitoring health"}),
            rows);
}

using w4test::plugin_client;

/* A consumer of the scenario and the messages it has consumed. */
struct reader {
  rd_kafka_t *rk;
  int got;
};

TEST(Dashboard, EveryPanelQueryAnswersFromARealExporterAndPrometheus) {
  json dash = load_dashboard();
  ASSERT_FALSE(dash.is_discarded());
  if (w4test::prometheus_path().empty())
    GTEST_SKIP() << "prometheus is not installed";
  /* Ten rounds of messages whose timestamps lie a minute apart, the last
   * one now, produced in quick succession: ten windows per partition. */
  const int ROUNDS = 10, PER_ROUND = 50, PER_P = PER_ROUND / 2;
  const int N = ROUNDS * PER_ROUND;
  const int64_t STEP_MS = 60000, WINDOW_MS = 1000;
  const int SKIPPED = 4; /* the round that dash-skip skips on partition 0 */
  const int BEHIND = 2;  /* the last round that dash-behind consumes */
  const int BEHIND_PENDING = (ROUNDS - 1 - BEHIND) * PER_ROUND;
  const double BEHIND_LAG_S = (ROUNDS - 1 - BEHIND) * STEP_MS / 1000.0;
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, "orders", 2, 1);
  rd_kafka_mock_topic_create(mc->mcluster, "_quarndale-monitoring", 2, 1);

  w4test::child exporter;
  w4test::child_guard exporter_guard(&exporter);
  int port = w4test::exporter_start(
      &exporter,
      {"-b", mc->bootstraps, "--from-beginning", "--settle", "8000"});
  ASSERT_GT(port, 0) << w4test::read_file(exporter.err_path);

  /* The server scrapes from the start, so that it sees the counters grow. */
  w4test::prometheus_server prom;
  w4test::prometheus_guard prom_guard(&prom);
  ASSERT_TRUE(w4test::prometheus_start(&prom, port, rules_path()))
      << w4test::read_file(prom.proc.err_path);

  /* The producer side is the twin: the plug-in's producer on the mock
   * cluster would count every message in the window of the cluster's fixed
   * append time, where no consumer sees them. Group dash-full reads
   * everything; dash-skip passes over one round on partition 0 and reads
   * on; the two members of dash-twice both read everything; dash-behind
   * stops after a few rounds and lags. */
  w4test::twin_producer *twin =
      w4test::twin_start(mc, "dash-producer", WINDOW_MS);
  ASSERT_NE(nullptr, twin);
  w4test::twin_guard twin_guard(twin);
  twin->offsets = true; /* and the consumers too: the lag in messages */
  auto consumer = [&](const char *client_id, const char *group) {
    return plugin_client(mc, RD_KAFKA_CONSUMER, client_id, group,
                         {{P + "publishms", std::to_string(WINDOW_MS)},
                          {P + "offsets", "true"}});
  };
  enum { FULL, SKIP, TWICE1, TWICE2, LAGGING };
  std::vector<reader> readers = {{consumer("dash-full-1", "dash-full"), 0},
                                 {consumer("dash-skip-1", "dash-skip"), 0},
                                 {consumer("dash-twice-1", "dash-twice"), 0},
                                 {consumer("dash-twice-2", "dash-twice"), 0},
                                 {consumer("dash-behind-1", "dash-behind"), 0}};
  for (reader &r : readers)
    w4test::assign_at(r.rk, "orders", 0, 0);

  /* Round by round, each reader consumes what it should before the next,
   * so that the counters grow in steps that rates can see. */
  int64_t now = w4test::wall_ms();
  const int64_t first = now - now % WINDOW_MS - (ROUNDS - 1) * STEP_MS;
  for (int round = 0; round < ROUNDS; round++) {
    for (int i = 0; i < PER_ROUND; i++)
      ASSERT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
                w4test::twin_produce(twin, "orders", i % 2, "k", "payload",
                                     first + round * STEP_MS));
    ASSERT_TRUE(w4test::twin_flush(twin, 15000));
    if (round == SKIPPED)
      w4test::assign_at(readers[SKIP].rk, "orders", (round + 1) * PER_P,
                        round * PER_P);
    for (int k = FULL; k <= LAGGING; k++) {
      if (k == LAGGING && round > BEHIND)
        continue;
      reader &r = readers[k];
      int want =
          (round + 1) * PER_ROUND - (k == SKIP && round >= SKIPPED ? PER_P : 0);
      r.got += w4test::consume_n(r.rk, want - r.got, 30000);
      ASSERT_EQ(want, r.got) << rd_kafka_name(r.rk) << " round " << round;
    }
  }

  /* Every window judged and scraped: three groups audited for N,
   * dash-behind for what it consumed, the rest of its messages pending. */
  const int BEHIND_AUDITED = (BEHIND + 1) * PER_ROUND;
  EXPECT_EQ(3 * N + BEHIND_AUDITED,
            w4test::prometheus_wait(prom, "sum(w4metrics_audit_messages_total)",
                                    3 * N + BEHIND_AUDITED));
  EXPECT_EQ(BEHIND_PENDING,
            w4test::prometheus_wait(
                prom, "sum(w4metrics_audit_pending_messages)", BEHIND_PENDING));

  /* The variables, as Grafana fills them when every value is selected. */
  std::map<std::string, std::string> vars = {{"__rate_interval", "1m"},
                                             {"__interval", "15s"},
                                             {"__range", "1h"},
                                             {"__range_s", "3600"},
                                             {"datasource", "prometheus"}};
  /* In the dashboard's order: each narrows the ones after it. */
  for (const char *name : {"cluster", "topic", "group"}) {
    std::string q = substitute(variable_query(variable(dash, name)), vars);
    bool ok;
    std::vector<std::string> values = label_values(prom, q, &ok);
    printf("variable $%s: %s\n  -> %zu values:", name, q.c_str(),
           values.size());
    for (const std::string &v : values)
      printf(" %s", v.c_str());
    printf("\n");
    ASSERT_TRUE(ok) << q;
    ASSERT_FALSE(values.empty()) << q;
    vars[name] = multi_value(values);
  }
  /* The one mock cluster, by its id. */
  EXPECT_EQ(std::string::npos, vars["cluster"].find('|')) << vars["cluster"];
  EXPECT_EQ("(orders)", vars["topic"]);
  EXPECT_EQ("(dash-behind|dash-full|dash-skip|dash-twice)", vars["group"]);

  /* Every panel's queries: they parse, run and answer with data. */
  std::string exposition =
      w4test::http_get("http://127.0.0.1:" + std::to_string(port) + "/metrics");
  std::map<std::string, std::vector<sample>> answers;
  for (const panel_target &t : targets_of(dash)) {
    std::string expr = substitute(t.expr, vars);
    bool ok;
    std::string error;
    std::vector<sample> samples = instant_query(prom, expr, &ok, &error);
    printf("panel %d \"%s\" %s: %s\n", t.panel_id, t.panel_title.c_str(),
           t.ref_id.c_str(), expr.c_str());
    bool finite = false;
    for (const sample &s : samples) {
      printf("  -> %s %g\n", labels_text(s.labels).c_str(), s.value);
      finite = finite || std::isfinite(s.value);
    }
    if (samples.empty())
      printf("  -> no data\n");
    EXPECT_TRUE(ok) << t.panel_title << " " << t.ref_id << ": " << error;
    /* The clients carry latency histograms: the percentile panels have
     * data too. */
    EXPECT_TRUE(finite) << "no data for panel \"" << t.panel_title << "\" "
                        << t.ref_id << ": " << expr;
    answers[t.panel_title + "/" + t.ref_id] = samples;
  }

  /* What the delivery row shows: a group that lags is delivered as far as
   * it went; its lag and pending messages have their own panels. */
  const std::vector<sample> &verdict = answers["Delivery verdict/A"];
  EXPECT_EQ(0, value_where(verdict, "group_id", "dash-full"));
  EXPECT_EQ(PER_P, value_where(verdict, "group_id", "dash-skip"));
  EXPECT_EQ(N, value_where(verdict, "group_id", "dash-twice"));
  EXPECT_EQ(0, value_where(verdict, "group_id", "dash-behind"));
  json verdict_panel = panel_titled(dash, "Delivery verdict");
  for (const char *g : {"dash-full", "dash-behind"})
    EXPECT_EQ("delivered",
              mapped_text(verdict_panel, value_where(verdict, "group_id", g)))
        << g;
  for (const char *g : {"dash-skip", "dash-twice"})
    EXPECT_EQ("NOT delivered",
              mapped_text(verdict_panel, value_where(verdict, "group_id", g)))
        << g;
  const std::string table = "Audit over the time range/";
  for (const char *g : {"dash-full", "dash-skip", "dash-twice"})
    EXPECT_EQ(N, value_where(answers[table + "A"], "group_id", g)) << g;
  EXPECT_EQ(BEHIND_AUDITED,
            value_where(answers[table + "A"], "group_id", "dash-behind"));
  EXPECT_EQ(PER_P, value_where(answers[table + "B"], "group_id", "dash-skip"));
  EXPECT_EQ(0, value_where(answers[table + "B"], "group_id", "dash-behind"));
  EXPECT_EQ(N, value_where(answers[table + "C"], "group_id", "dash-twice"));
  const std::string lag = "Lag per group/A",
                    pending = "Pending messages per group/A",
                    lag_messages = "Lag per group, messages/A";
  const std::string unconsumed =
      "Unconsumed messages per group (since the exporter started)/A";
  for (const char *g : {"dash-full", "dash-skip", "dash-twice"}) {
    EXPECT_EQ(0, value_where(answers[lag], "group_id", g)) << g;
    EXPECT_EQ(0, value_where(answers[pending], "group_id", g)) << g;
    EXPECT_EQ(0, value_where(answers[lag_messages], "group_id", g)) << g;
  }
  EXPECT_EQ(BEHIND_PENDING,
            value_where(answers[lag_messages], "group_id", "dash-behind"));
  EXPECT_EQ(BEHIND_LAG_S, value_where(answers[lag], "group_id", "dash-behind"));
  EXPECT_EQ(BEHIND_PENDING,
            value_where(answers[pending], "group_id", "dash-behind"));
  /* Nobody stopped for the exporter's horizon: no group gave up messages,
   * and every group has its zero. */
  for (const char *g :
       {"dash-full", "dash-skip", "dash-twice", "dash-behind"}) {
    EXPECT_EQ(0, value_where(answers[unconsumed], "group_id", g)) << g;
    EXPECT_EQ(0, value_where(answers[table + "D"], "group_id", g)) << g;
  }
  EXPECT_EQ(6, answers["Clients reporting/A"].at(0).value);
  /* The exporter's own consumer: it reaches the cluster, read a record
   * moments ago and skipped none. */
  EXPECT_EQ(1, answers["Monitoring cluster/A"].at(0).value);
  EXPECT_EQ("reachable",
            mapped_text(panel_titled(dash, "Monitoring cluster"), 1));
  EXPECT_EQ("DOWN", mapped_text(panel_titled(dash, "Monitoring cluster"), 0));
  EXPECT_LT(answers["Time since the last record/A"].at(0).value, 120);
  EXPECT_EQ(0, answers["Records skipped by offset resets/A"].at(0).value);

  /* The rules: the audit's alerts are pending (their `for` has not passed)
   * for the groups that lost, doubled or lag behind only; the lagging
   * group loses nothing; nothing else. */
  auto alerting = [&](const std::string &alert) {
    std::set<std::string> groups;
    bool ok;
    std::string error;
    for (const sample &s : instant_query(
             prom, "ALERTS{alertname=\"" + alert + "\"}", &ok, &error))
      groups.insert(s.labels.count("group_id") ? s.labels.at("group_id")
                                               : labels_text(s.labels));
    return groups;
  };
  std::set<std::string> missing, duplicate, lagging;
  for (int64_t end = w4test::mono_ms() + 20000; w4test::mono_ms() < end;
       w4test::sleep_ms(500)) {
    missing = alerting("W4MetricsMessagesMissing");
    duplicate = alerting("W4MetricsDuplicateMessages");
    lagging = alerting("W4MetricsConsumerLagging");
    if (!missing.empty() && !duplicate.empty() && !lagging.empty())
      break;
  }
  EXPECT_EQ(std::set<std::string>{"dash-skip"}, missing);
  EXPECT_EQ(std::set<std::string>{"dash-twice"}, duplicate);
  EXPECT_EQ(std::set<std::string>{"dash-behind"}, lagging);
  EXPECT_TRUE(alerting("W4MetricsMessagesUnconsumed").empty());
  EXPECT_TRUE(alerting("W4MetricsRecordsMissing").empty());
  EXPECT_TRUE(alerting("W4MetricsClientStoppedReporting").empty());
  EXPECT_TRUE(alerting("W4MetricsExporterSeesNoRecords").empty());
  EXPECT_TRUE(alerting("W4MetricsMonitoringClusterDown").empty());
  EXPECT_TRUE(alerting("W4MetricsNoRecentRecords").empty());
  EXPECT_TRUE(alerting("W4MetricsMonitoringRecordsSkipped").empty());

  w4test::prometheus_stop(&prom);
  w4test::twin_stop(twin);
  for (reader &r : readers) {
    rd_kafka_consumer_close(r.rk);
    rd_kafka_destroy(r.rk);
  }
  EXPECT_EQ(0, w4test::stop_child(&exporter))
      << w4test::read_file(exporter.err_path);
  w4test::remove_child_files(exporter);
  w4test::mock_cluster_stop(mc);
}

} // namespace
