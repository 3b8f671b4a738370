/* Plug-in entry, override record and property routing, on real librdkafka
 * configuration objects. The plug-in is linked in, so ic_conf_init hands
 * back the record it registered; librdkafka owns it from then on and frees
 * it through on_conf_destroy. */
#include "interceptors/interceptors.h"
#include "testlib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <strings.h>
#include <vector>

using namespace w4test;

namespace {

const std::string P = IC_PREFIX;
const char *const NO_VALUE = nullptr;

/* Every property a configuration holds, as rd_kafka_conf_dump lists them. */
std::map<std::string, std::string> dump(const rd_kafka_conf_t *conf) {
  size_t cnt = 0;
  const char **arr =
      rd_kafka_conf_dump(const_cast<rd_kafka_conf_t *>(conf), &cnt);
  std::map<std::string, std::string> props;
  for (size_t i = 0; i + 1 < cnt; i += 2)
    props[arr[i]] = arr[i + 1];
  rd_kafka_conf_dump_free(arr, cnt);
  return props;
}

/* The answer librdkafka itself gives for a property on a plain object. */
std::pair<rd_kafka_conf_res_t, std::string> plain_answer(const char *name,
                                                         const char *value) {
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  char err[512] = "";
  rd_kafka_conf_res_t res =
      rd_kafka_conf_set(conf, name, value, err, sizeof(err));
  rd_kafka_conf_destroy(conf);
  return {res, err};
}

/* The plug-in's text for an invalid value of the full property name. */
std::string invalid_text(const std::string &name) {
  return "Invalid value for configuration property \"" + name + "\"";
}

/* The record's seven settings and override count, comparable as a
 * whole. */
struct settings {
  int32_t publishms, sessiondurationms, icdebug, histogram, offsets, overrides;
  std::string topic, client_id;
  bool operator==(const settings &o) const {
    return publishms == o.publishms &&
           sessiondurationms == o.sessiondurationms && icdebug == o.icdebug &&
           histogram == o.histogram && offsets == o.offsets &&
           overrides == o.overrides && topic == o.topic &&
           client_id == o.client_id;
  }
};
/* For readable failures. */
std::ostream &operator<<(std::ostream &os, const settings &s) {
  return os << "{publishms " << s.publishms << ", sessiondurationms "
            << s.sessiondurationms << ", icdebug " << s.icdebug
            << ", histogram " << s.histogram << ", offsets " << s.offsets
            << ", topic \"" << s.topic << "\", client_id \"" << s.client_id
            << "\", " << s.overrides << " overrides}";
}
/* A snapshot of the record's settings. */
settings settings_of(const ic_overrides *ic_ov) {
  return {ic_ov->publishms,
          ic_ov->sessiondurationms,
          ic_ov->icdebug,
          ic_ov->histogram,
          ic_ov->offsets,
          ic_ov->prop_names_cnt,
          ic_ov->topic ? ic_ov->topic : "<none>",
          ic_ov->client_id};
}

/* The override list, in order. */
std::vector<std::string> overrides_of(const ic_overrides *ic_ov) {
  return std::vector<std::string>(ic_ov->prop_names,
                                  ic_ov->prop_names + ic_ov->prop_names_cnt);
}

/* True when a record of the plug-in answers for conf: only the plug-in
 * rejects this value with its own text, librdkafka would not know the name. */
bool has_record(rd_kafka_conf_t *conf) {
  std::string err;
  rd_kafka_conf_res_t res = conf_set(conf, P + "publishms", "abc", &err);
  if (res == RD_KAFKA_CONF_INVALID) {
    EXPECT_EQ(invalid_text(P + "publishms"), err);
    return true;
  }
  EXPECT_EQ(RD_KAFKA_CONF_UNKNOWN, res) << err;
  return false;
}

/* An application's object with a connection setting, and its record. */
struct ConfTest : ::testing::Test {
  rd_kafka_conf_t *conf = nullptr;
  ic_overrides *ic_ov = nullptr;

  void SetUp() override { rebuild(); }
  void TearDown() override {
    ic_alloc_fail_at(0);
    rd_kafka_conf_destroy(conf);
  }
  /* Starts over with a new object and record. */
  void rebuild() {
    if (conf)
      rd_kafka_conf_destroy(conf);
    conf = make_conf({{"bootstrap.servers", "pre:9092"}});
    ic_ov = ic_conf_init(conf);
    ASSERT_NE(nullptr, ic_ov);
  }

  /* Through the real API on the application's object. */
  rd_kafka_conf_res_t set(const std::string &name, const char *value,
                          std::string *err = nullptr) {
    char buf[512] = "";
    rd_kafka_conf_res_t res =
        rd_kafka_conf_set(conf, name.c_str(), value, buf, sizeof(buf));
    if (err)
      *err = buf;
    return res;
  }
  /* Straight to the interceptor, with a buffer that starts "untouched". */
  rd_kafka_conf_res_t route(const std::string &name, const char *value,
                            std::string *err = nullptr) {
    char buf[512] = "untouched";
    rd_kafka_conf_res_t res =
        on_conf_set(conf, name.c_str(), value, buf, sizeof(buf), ic_ov);
    if (err)
      *err = buf;
    return res;
  }
  std::string mon(const char *name) { return conf_get(ic_ov->conf, name); }
  std::string app(const char *name) { return conf_get(conf, name); }

  /* Gives every setting a value other than its default. */
  void set_previous() {
    ic_ov->publishms = 1234;
    ic_ov->sessiondurationms = 4321;
    ic_ov->icdebug = 2; /* neither state: any write shows */
    ic_ov->histogram = 2;
    ic_ov->offsets = 2;
    ic_free(ic_ov->topic);
    ic_ov->topic = ic_strdup("previous-topic");
    snprintf(ic_ov->client_id, sizeof(ic_ov->client_id), "previous-id");
  }
};

/* Re-registers itself on every full duplicate and keeps each duplicate made
 * with the plug-in's filter: the monitoring configurations of the records
 * built for the objects it rides on. */
struct dup_probe {
  std::vector<rd_kafka_conf_t *> monitoring;
};
rd_kafka_resp_err_t probe_on_conf_dup(rd_kafka_conf_t *new_conf,
                                      const rd_kafka_conf_t *old_conf,
                                      size_t filter_cnt, const char **filter,
                                      void *opaque) {
  (void)old_conf;
  dup_probe *probe = static_cast<dup_probe *>(opaque);
  if (filter_cnt == 3 && !strcmp(filter[0], "plugin.library.paths") &&
      !strcmp(filter[1], "quarndale.monitoring.interceptor") &&
      !strcmp(filter[2], "transactional.id"))
    probe->monitoring.push_back(new_conf);
  else
    rd_kafka_conf_interceptor_add_on_conf_dup(new_conf, "w4test-probe",
                                              probe_on_conf_dup, probe);
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

TEST(ConfLoad, MonitoringConfigurationIsFilteredCopyWithFixedSettings) {
  /* The application's object carries the built plug-in (with properties
   * under the prefix, held by librdkafka for that plug-in) and values for
   * the four fixed settings before the record under test is built. */
  rd_kafka_conf_t *conf = make_conf({{"bootstrap.servers", "app:9092"},
                                     {"client.id", "app-client"},
                                     {"transactional.id", "app-txn"},
                                     {"api.version.request", "false"},
                                     {"log_level", "7"},
                                     {"log.connection.close", "true"},
                                     {"queue.buffering.max.ms", "5"},
                                     {"plugin.library.paths", plugin_path()},
                                     {P + "publishms", "2000"},
                                     {P + "socket.timeout.ms", "1234"}});
  ic_overrides *ic_ov = ic_conf_init(conf);
  ASSERT_NE(nullptr, ic_ov);
  ASSERT_NE(nullptr, ic_ov->conf);

  EXPECT_EQ("app:9092", conf_get(ic_ov->conf, "bootstrap.servers"));
  EXPECT_EQ("app-client", conf_get(ic_ov->conf, "client.id"));
  EXPECT_EQ("true", conf_get(ic_ov->conf, "api.version.request"));
  EXPECT_EQ("3", conf_get(ic_ov->conf, "log_level"));
  EXPECT_EQ("false", conf_get(ic_ov->conf, "log.connection.close"));
  EXPECT_EQ("100", conf_get(ic_ov->conf, "queue.buffering.max.ms"));
  EXPECT_EQ("60000", conf_get(ic_ov->conf, "socket.timeout.ms"));
  EXPECT_EQ("<unknown>", conf_get(ic_ov->conf, "transactional.id"));
  for (const auto &prop : dump(ic_ov->conf)) {
    EXPECT_NE(0u, prop.first.rfind("plugin.library.paths", 0)) << prop.first;
    EXPECT_NE(0u, prop.first.rfind("quarndale.monitoring.interceptor", 0))
        << prop.first;
  }
  EXPECT_EQ(plugin_path(), conf_get(conf, "plugin.library.paths"));
  /* The monitoring configuration carries no interceptors of the plug-in. */
  EXPECT_FALSE(has_record(ic_ov->conf));

  EXPECT_EQ((settings{IC_DEFAULT_PUBLISHMS, IC_DEFAULT_SESSIONDURATIONMS, 0, 0,
                      0, 0, IC_DEFAULT_TOPIC, ""}),
            settings_of(ic_ov));
  EXPECT_EQ(nullptr, ic_ov->prop_names);
  EXPECT_EQ(0, ic_ov->prop_names_size);
  EXPECT_EQ(nullptr, ic_ov->ic);
  EXPECT_EQ(0, ic_ov->taken);

  /* Later values are mirrored over the fixed settings like any other. */
  EXPECT_EQ(RD_KAFKA_CONF_OK, conf_set(conf, "queue.buffering.max.ms", "42"));
  EXPECT_EQ(RD_KAFKA_CONF_OK, conf_set(conf, "log_level", "6"));
  EXPECT_EQ("42", conf_get(ic_ov->conf, "queue.buffering.max.ms"));
  EXPECT_EQ("6", conf_get(ic_ov->conf, "log_level"));
  rd_kafka_conf_destroy(conf);
}

TEST(ConfLoad, EntryPointAndSecondLoadOnOneObject) {
  rd_kafka_conf_t *conf = make_conf({{"bootstrap.servers", "app:9092"}});
  int sentinel = 0;
  void *plug_opaque = &sentinel;
  char err[64] = "untouched";
  /* Called from this program rather than from the librdkafka the plug-in is
   * bound to: nothing is registered, and each call says so once. */
  stderr_capture *cap = stderr_capture_start();
  for (int load = 1; load <= 2; load++) {
    EXPECT_EQ(RD_KAFKA_RESP_ERR_NO_ERROR,
              conf_init(conf, &plug_opaque, err, sizeof(err)))
        << "load " << load;
    EXPECT_EQ(&sentinel, plug_opaque);
    EXPECT_STREQ("untouched", err);
  }
  std::string out = stderr_capture_stop(cap);
  EXPECT_EQ(2, count_lines(out, "this client is not monitored")) << out;
  EXPECT_EQ(2, count_lines(out, "librdkafka.so.1")) << out;
  EXPECT_FALSE(has_record(conf));

  /* The object already carries the interceptors: a further record is
   * released at once, and the first one keeps answering alone. */
  EXPECT_NE(nullptr, ic_conf_init(conf));
  EXPECT_EQ(nullptr, ic_conf_init(conf));
  EXPECT_TRUE(has_record(conf));
  rd_kafka_conf_destroy(conf);
}

/* How a row hands its value over: the API turns "" into no value, so the
 * empty text and no value at all go straight to on_conf_set. */
enum handover { API, EMPTY, UNSET };

struct setting_row {
  const char *suffix;
  std::string value;
  handover how;
  rd_kafka_conf_res_t res;
  std::string expect; /* the setting afterwards, when accepted */
};

/* Writes a setting's expected value into s, the setting chosen by name. */
void expect_setting(settings *s, const std::string &suffix,
                    const std::string &v) {
  if (!strcasecmp(suffix.c_str(), "publishms"))
    s->publishms = std::stoi(v);
  else if (!strcasecmp(suffix.c_str(), "sessiondurationms"))
    s->sessiondurationms = std::stoi(v);
  else if (suffix == "icdebug")
    s->icdebug = std::stoi(v);
  else if (suffix == "histogram")
    s->histogram = std::stoi(v);
  else if (suffix == "offsets")
    s->offsets = std::stoi(v);
  else if (suffix == "topic")
    s->topic = v;
  else
    s->client_id = v;
}

TEST_F(ConfTest, SettingsValidation) {
  const std::string c600(600, 'c');
  const rd_kafka_conf_res_t OK = RD_KAFKA_CONF_OK, BAD = RD_KAFKA_CONF_INVALID;
  const std::vector<setting_row> rows = {
      // clang-format off
      {"PublishMS", "1000", API, OK, "1000"},
      {"PUBLISHMS", "1", API, OK, "1"},
      {"publishms", "86400000", API, OK, "86400000"},
      {"publishms", "86400001", API, BAD, ""},
      {"publishms", "0", API, BAD, ""},
      {"publishms", "-5", API, BAD, ""},
      {"publishms", "abc", API, BAD, ""},
      {"publishms", "", EMPTY, BAD, ""},
      {"publishms", "", API, OK, "15000"},
      {"publishms", "0x3E8", API, OK, "1000"},
      {"publishms", "010", API, OK, "8"},
      {"publishms", "09", API, BAD, ""},
      {"publishms", "15000ms", API, OK, "15000"},
      {"publishms", " +42", API, OK, "42"},
      {"publishms", "4294968296", API, BAD, ""},
      {"publishms", "99999999999999999999", API, BAD, ""},
      {"PublishMs", "", UNSET, OK, "15000"},
      {"sessiondurationms", "1", API, OK, "1"},
      {"SessionDurationMS", "2147483647", API, OK, "2147483647"},
      {"sessiondurationms", "0", API, BAD, ""},
      {"sessiondurationms", "2147483648", API, BAD, ""},
      {"sessiondurationms", "x1", API, BAD, ""},
      {"sessiondurationms", "", UNSET, OK, "600000"},
      {"topic", "ops-metrics", API, OK, "ops-metrics"},
      {"topic", "", EMPTY, BAD, ""},
      {"topic", "", UNSET, OK, IC_DEFAULT_TOPIC},
      {"icdebug", "true", API, OK, "1"},
      {"icdebug", "0", API, OK, "1"},
      {"icdebug", "no", API, OK, "1"},
      {"icdebug", "off", API, OK, "1"},
      {"icdebug", "", EMPTY, OK, "1"},
      {"icdebug", "false", API, OK, "0"},
      {"icdebug", "FALSE", API, OK, "0"},
      {"icdebug", "False", API, OK, "0"},
      {"icdebug", "", UNSET, OK, "0"},
      {"histogram", "true", API, OK, "1"},
      {"histogram", "0", API, OK, "1"},
      {"histogram", "", EMPTY, OK, "1"},
      {"histogram", "false", API, OK, "0"},
      {"histogram", "fAlSe", API, OK, "0"},
      {"histogram", "", UNSET, OK, "0"},
      {"offsets", "true", API, OK, "1"},
      {"offsets", "0", API, OK, "1"},
      {"offsets", "", EMPTY, OK, "1"},
      {"offsets", "false", API, OK, "0"},
      {"offsets", "FALSE", API, OK, "0"},
      {"offsets", "fAlSe", API, OK, "0"},
      {"offsets", "", UNSET, OK, "0"},
      {"client.id", "ops-producer", API, OK, "ops-producer"},
      {"client.id", c600, API, OK, c600.substr(0, 511)},
      {"client.id", "", UNSET, OK, ""},
      // clang-format on
  };
  for (const auto &row : rows) {
    rebuild();
    set_previous();
    const std::string name = P + row.suffix;
    SCOPED_TRACE(name +
                 (row.how == UNSET ? " unset" : "=\"" + row.value + "\"") +
                 (row.how == API ? "" : " (direct)"));
    settings expected = settings_of(ic_ov);
    const auto mon_before = dump(ic_ov->conf);

    std::string err;
    EXPECT_EQ(row.res, row.how == API     ? set(name, row.value.c_str(), &err)
                       : row.how == EMPTY ? route(name, "", &err)
                                          : route(name, NO_VALUE, &err));
    if (row.res == RD_KAFKA_CONF_OK)
      expect_setting(&expected, row.suffix, row.expect);
    else
      EXPECT_EQ(invalid_text(name), err);
    EXPECT_EQ(expected, settings_of(ic_ov));
    EXPECT_EQ(mon_before, dump(ic_ov->conf)) << "settings stay in the record";
  }
}

TEST_F(ConfTest, InvalidValueTextFitsTheCallersBuffer) {
  const std::string name = P + "publishms";
  struct {
    size_t size;
    const char *expect;
  } rows[] = {{10, "Invalid v"}, {1, ""}, {0, "untouched"}};
  for (const auto &row : rows) {
    char buf[32] = "untouched";
    EXPECT_EQ(RD_KAFKA_CONF_INVALID,
              on_conf_set(conf, name.c_str(), "abc", buf, row.size, ic_ov));
    EXPECT_STREQ(row.expect, buf) << "size " << row.size;
    EXPECT_EQ(IC_DEFAULT_PUBLISHMS, ic_ov->publishms);
  }
}

TEST_F(ConfTest, PrefixIsMatchedExactlyAndWhole) {
  /* Not under the prefix: mirrored, left to librdkafka, nothing recorded. */
  const char *outside[] = {
      "Quarndale.monitoring.interceptor.publishms",
      "quarndale.monitoring.interceptoR.topic",
      "quarndale.monitoring.interceptorpublishms",
      "quarndale.monitoring.interceptor",
      "quarndale",
  };
  set_previous();
  const settings before = settings_of(ic_ov);
  for (const char *name : outside) {
    std::string err;
    EXPECT_EQ(RD_KAFKA_CONF_UNKNOWN, route(name, "abc", &err)) << name;
    EXPECT_EQ("untouched", err) << name;
    EXPECT_EQ(plain_answer(name, "abc").first, set(name, "abc")) << name;
  }
  EXPECT_EQ(before, settings_of(ic_ov));

  /* Exactly the prefix: an override of the empty name, which the monitoring
   * configuration answers. Case-exact setting names written otherwise are
   * overrides as well. */
  const char *suffixes[] = {"",          "TOPIC",     "Topic",  "ICDEBUG",
                            "Client.Id", "Histogram", "Offsets"};
  std::vector<std::string> expected;
  for (const char *suffix : suffixes) {
    std::string err;
    const auto answer = plain_answer(suffix, "x");
    EXPECT_EQ(answer.first, route(P + suffix, "x", &err)) << suffix;
    EXPECT_EQ(answer.second, err) << suffix;
    expected.push_back(suffix);
    EXPECT_EQ(expected, overrides_of(ic_ov));
  }
  EXPECT_EQ(before.topic, ic_ov->topic);
  EXPECT_EQ(before.client_id, ic_ov->client_id);
  EXPECT_EQ(before.icdebug, ic_ov->icdebug);
  EXPECT_EQ(before.offsets, ic_ov->offsets);
}

struct route_step {
  std::string name;
  const char *value;
  rd_kafka_conf_res_t res;
  const char *key; /* property read back afterwards */
  const char *mon; /* its value in the monitoring configuration */
  const char *app; /* and in the application's object; none: not read */
};

struct route_case {
  const char *title;
  std::vector<route_step> steps;
  std::vector<std::string> overrides;
};

TEST_F(ConfTest, OverridesStopMirroringByCanonicalName) {
  const rd_kafka_conf_res_t OK = RD_KAFKA_CONF_OK;
  const char *MBL = "metadata.broker.list", *QBM = "queue.buffering.max.ms",
             *RRA = "request.required.acks", *RET = "message.send.max.retries";
  const char *ACKS_DEFAULT = "-1"; /* librdkafka's default, "all" */
  const std::vector<route_case> cases = {
      {"bootstrap.servers",
       {{"bootstrap.servers", "app1:9092", OK, MBL, "app1:9092", "app1:9092"},
        {MBL, "app2:9092", OK, MBL, "app2:9092", "app2:9092"},
        {P + "bootstrap.servers", "mon:9092", OK, MBL, "mon:9092", "app2:9092"},
        {"bootstrap.servers", "app3:9092", OK, MBL, "mon:9092", "app3:9092"},
        {MBL, "app4:9092", OK, MBL, "mon:9092", "app4:9092"}},
       {MBL}},
      {"linger.ms stops both names",
       {{"linger.ms", "5", OK, QBM, "5", "5"},
        {P + "linger.ms", "250", OK, QBM, "250", "5"},
        {"linger.ms", "7", OK, QBM, "250", "7"},
        {QBM, "8", OK, QBM, "250", "8"}},
       {QBM}},
      {"queue.buffering.max.ms stops both names",
       {{P + QBM, "300", OK, QBM, "300", nullptr},
        {"linger.ms", "9", OK, QBM, "300", "9"},
        {QBM, "10", OK, QBM, "300", "10"}},
       {QBM}},
      {"rejected override",
       {{P + "acks", "banana", plain_answer("acks", "banana").first, RRA,
         ACKS_DEFAULT, nullptr},
        {"acks", "0", OK, RRA, ACKS_DEFAULT, "0"},
        {RRA, "1", OK, RRA, ACKS_DEFAULT, "1"}},
       {RRA}},
      {"names outside the alias table",
       {{P + "socket.timeout.ms", "1234", OK, "socket.timeout.ms", "1234",
         "60000"},
        {"socket.timeout.ms", "5555", OK, "socket.timeout.ms", "1234", "5555"},
        {"message.max.bytes", "2000000", OK, "message.max.bytes", "2000000",
         "2000000"}},
       {"socket.timeout.ms"}},
      {"repeated override",
       {{"retries", "3", OK, RET, "3", "3"},
        {P + "retries", "9", OK, RET, "9", "3"},
        {P + RET, "11", OK, RET, "11", "3"},
        {"retries", "4", OK, RET, "11", "4"}},
       {RET, RET}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.title);
    rebuild();
    for (const auto &s : c.steps) {
      SCOPED_TRACE(s.name + "=" + s.value);
      std::string err;
      EXPECT_EQ(s.res, set(s.name, s.value, &err)) << err;
      if (s.res != RD_KAFKA_CONF_OK) {
        EXPECT_EQ(plain_answer(s.name.c_str() + P.size(), s.value).second, err);
      }
      EXPECT_EQ(s.mon, mon(s.key));
      if (s.app) {
        EXPECT_EQ(s.app, app(s.key));
      }
    }
    EXPECT_EQ(c.overrides, overrides_of(ic_ov));
  }
}

TEST_F(ConfTest, PropertiesWithoutPrefixAreAlwaysLeftToLibrdkafka) {
  ASSERT_EQ(RD_KAFKA_CONF_OK, set(P + "socket.timeout.ms", "1234"));
  struct {
    const char *name, *value;
  } rows[] = {
      {"message.max.bytes", "2000000"}, /* mirrored */
      {"socket.timeout.ms", "1"},       /* overridden */
      {"acks", "banana"},               /* rejected by the monitoring side */
      {"no.such.property", "x"},        /* unknown to both */
      {"plugin.library.paths", plugin_path()}, /* never mirrored */
      {"transactional.id", "app-txn"},         /* never mirrored */
      {"linger.ms", NO_VALUE},                 /* back to the default */
  };
  for (const auto &row : rows) {
    std::string err;
    EXPECT_EQ(RD_KAFKA_CONF_UNKNOWN, route(row.name, row.value, &err))
        << row.name;
    EXPECT_EQ("untouched", err) << row.name;
  }
  EXPECT_EQ("2000000", mon("message.max.bytes"));
  EXPECT_EQ("1234", mon("socket.timeout.ms"));
  EXPECT_EQ("-1", mon("request.required.acks")); /* the default, "all" */
  EXPECT_EQ("<unknown>", mon("plugin.library.paths"));
  EXPECT_EQ("<unknown>", mon("transactional.id"));
  EXPECT_FALSE(has_record(ic_ov->conf));
  EXPECT_EQ(std::vector<std::string>{"socket.timeout.ms"}, overrides_of(ic_ov));
}

/* Overrides that would make the private producer load the plug-in, or make
 * it transactional, are refused with the invalid-value text and change
 * nothing, with or without a value. */
TEST_F(ConfTest, OverridesThePrivateProducerCannotTakeAreRefused) {
  ASSERT_EQ(RD_KAFKA_CONF_OK, set(P + "socket.timeout.ms", "1234"));
  const auto before = dump(ic_ov->conf);
  for (const char *suffix : {"plugin.library.paths", "transactional.id"}) {
    for (const char *value : {"x", NO_VALUE}) {
      std::string name = P + suffix, err;
      EXPECT_EQ(RD_KAFKA_CONF_INVALID, route(name, value, &err)) << name;
      EXPECT_EQ("Invalid value for configuration property \"" + name + "\"",
                err);
    }
  }
  EXPECT_EQ(before, dump(ic_ov->conf));
  EXPECT_FALSE(has_record(ic_ov->conf));
  EXPECT_EQ(std::vector<std::string>{"socket.timeout.ms"}, overrides_of(ic_ov));
}

TEST_F(ConfTest, OverrideListGrowsAndKeepsCanonicalNamesInOrder) {
  struct {
    const char *suffix, *canonical;
    int32_t size; /* slots offered afterwards */
  } rows[] = {
      // clang-format off
      {"bootstrap.servers", "metadata.broker.list", 1},
      {"linger.ms", "queue.buffering.max.ms", 3},
      {"socket.timeout.ms", "socket.timeout.ms", 3},
      {"acks", "request.required.acks", 7},
      {"linger.ms", "queue.buffering.max.ms", 7},
      {"compression.type", "compression.codec", 7},
      {"Linger.ms", "Linger.ms", 7},
      {"queue.buffering.max.ms", "queue.buffering.max.ms", 15},
      {"client.dns.lookup", "client.dns.lookup", 15},
      // clang-format on
  };
  std::vector<std::string> expected;
  for (const auto &row : rows) {
    route(P + row.suffix, "1");
    expected.push_back(row.canonical);
    EXPECT_EQ(expected, overrides_of(ic_ov));
    EXPECT_EQ(row.size, ic_ov->prop_names_size) << "after " << expected.size();
  }
}

TEST(ConfAlias, EveryAliasNamesWhatLibrdkafkaSets) {
  /* Each alias, set on a plain object, is read back under its canonical
   * name: the table agrees with librdkafka's own property list. */
  struct {
    const char *alias, *value;
  } rows[] = {{"bootstrap.servers", "h:1"},
              {"max.in.flight", "3"},
              {"sasl.mechanism", "SCRAM-SHA-256"},
              {"max.partition.fetch.bytes", "123456"},
              {"linger.ms", "7"},
              {"retries", "4"},
              {"acks", "0"},
              {"delivery.timeout.ms", "12345"},
              {"compression.type", "gzip"}};
  for (const auto &row : rows) {
    const char *canonical = ic_prop_alias(row.alias);
    EXPECT_STRNE(row.alias, canonical);
    EXPECT_STREQ(canonical, ic_prop_alias(canonical)) << "one step only";
    rd_kafka_conf_t *conf = make_conf({{row.alias, row.value}});
    EXPECT_EQ(row.value, conf_get(conf, canonical)) << row.alias;
    rd_kafka_conf_destroy(conf);
  }
  /* The tenth pair joins two properties that this librdkafka keeps apart
   * (the second is the legacy topic-level one); it is only paired. */
  EXPECT_STREQ("auto.commit.enable", ic_prop_alias("enable.auto.commit"));
}

TEST_F(ConfTest, AfterAClientTookTheMonitoringConfiguration) {
  ASSERT_EQ(RD_KAFKA_CONF_OK, set(P + "socket.timeout.ms", "1234"));
  rd_kafka_conf_destroy(ic_ov->conf);
  ic_ov->conf = nullptr;
  ic_ov->taken = 1;

  EXPECT_EQ(RD_KAFKA_CONF_OK, set(P + "publishms", "2000"));
  EXPECT_EQ(2000, ic_ov->publishms);
  EXPECT_EQ(RD_KAFKA_CONF_INVALID, set(P + "publishms", "0"));
  EXPECT_EQ(RD_KAFKA_CONF_OK, set(P + "topic", "late-topic"));
  EXPECT_STREQ("late-topic", ic_ov->topic);

  std::string err;
  EXPECT_EQ(RD_KAFKA_CONF_UNKNOWN, route("linger.ms", "5", &err));
  EXPECT_EQ(RD_KAFKA_CONF_UNKNOWN, route("socket.timeout.ms", "5", &err));
  EXPECT_EQ(RD_KAFKA_CONF_OK, set("linger.ms", "5"));
  EXPECT_EQ("5", app("linger.ms"));
  /* Nothing checks an override's value any more. */
  EXPECT_EQ(RD_KAFKA_CONF_OK, route(P + "acks", "banana", &err));
  EXPECT_EQ("untouched", err);
  EXPECT_EQ(nullptr, ic_ov->conf);
}

TEST_F(ConfTest, AllocationFailures) {
  /* Building a record: it is given up whole and nothing is registered. */
  stderr_capture *cap = stderr_capture_start();
  int failed = 0;
  for (long n = 1;; n++) {
    rd_kafka_conf_t *other = make_conf({});
    ic_alloc_fail_at(n);
    ic_overrides *rec = ic_conf_init(other);
    ic_alloc_fail_at(0);
    bool built = rec != nullptr;
    EXPECT_EQ(built, has_record(other)) << "allocation " << n;
    rd_kafka_conf_destroy(other);
    if (built)
      break;
    failed++;
  }
  std::string out = stderr_capture_stop(cap);
  EXPECT_EQ(2, failed); /* the record, its topic */
  EXPECT_EQ(failed, count_lines(out, "W4IC: : ")) << out;

  /* A new topic that cannot be copied leaves the topic in force. */
  ASSERT_EQ(RD_KAFKA_CONF_OK, set(P + "topic", "kept"));
  ic_alloc_fail_at(1);
  EXPECT_NE(RD_KAFKA_CONF_OK, route(P + "topic", "lost"));
  ic_alloc_fail_at(0);
  EXPECT_STREQ("kept", ic_ov->topic);

  /* An override name that cannot be copied: the override still applies. */
  ASSERT_EQ(RD_KAFKA_CONF_OK, set(P + "linger.ms", "250"));
  ASSERT_EQ(RD_KAFKA_CONF_OK, set(P + "acks", "1")); /* 2 of 3 slots used */
  ic_alloc_fail_at(1);
  EXPECT_EQ(RD_KAFKA_CONF_OK, route(P + "socket.timeout.ms", "777"));
  ic_alloc_fail_at(0);
  EXPECT_EQ("777", mon("socket.timeout.ms"));
  EXPECT_EQ((std::vector<std::string>{"queue.buffering.max.ms",
                                      "request.required.acks"}),
            overrides_of(ic_ov));
}

TEST_F(ConfTest, GrowingTheOverrideListMustSucceed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  char err[512];
  EXPECT_DEATH(
      {
        ic_alloc_fail_at(1);
        w4ic_overrides_set(ic_ov, "socket.timeout.ms", "1", err, sizeof(err));
      },
      "ic_ov->prop_names");
}

TEST(ConfDup, FilterThatDropsThePluginGetsNoRecord) {
  rd_kafka_conf_t *conf = make_conf({{"bootstrap.servers", "app:9092"}});
  ASSERT_NE(nullptr, ic_conf_init(conf));
  struct {
    std::vector<const char *> filter;
    bool record;
  } rows[] = {
      {{}, true},
      {{"client.id"}, true},
      {{"plugin.library.paths.x"}, true},
      {{"plugin.library.paths"}, false},
      {{"plugin"}, false},
      {{"client.id", "plugin.library"}, false},
      {{"plugin.library.paths", "quarndale.monitoring.interceptor"}, false},
  };
  for (const auto &row : rows) {
    rd_kafka_conf_t *dup = rd_kafka_conf_dup_filter(
        conf, row.filter.size(), const_cast<const char **>(row.filter.data()));
    std::string filter;
    for (const char *f : row.filter)
      filter += std::string(" ") + f;
    EXPECT_EQ(row.record, has_record(dup)) << "filter" << filter;
    EXPECT_EQ("app:9092", conf_get(dup, "bootstrap.servers"));
    rd_kafka_conf_destroy(dup);
  }
  rd_kafka_conf_destroy(conf);
}

TEST(ConfDup, DuplicateGetsFreshRecordFedByTheCopy) {
  dup_probe probe;
  rd_kafka_conf_t *conf = make_conf(
      {{"bootstrap.servers", "app:9092"}, {"client.id", "app-client"}});
  rd_kafka_conf_interceptor_add_on_conf_dup(conf, "w4test-probe",
                                            probe_on_conf_dup, &probe);
  ic_overrides *ic_ov = ic_conf_init(conf);
  ASSERT_NE(nullptr, ic_ov);
  ASSERT_EQ(std::vector<rd_kafka_conf_t *>{ic_ov->conf}, probe.monitoring);

  /* Through the API: librdkafka keeps these and replays them on the copy. */
  ASSERT_EQ(RD_KAFKA_CONF_OK, conf_set(conf, P + "socket.timeout.ms", "1234"));
  ASSERT_EQ(RD_KAFKA_CONF_OK, conf_set(conf, "socket.timeout.ms", "5555"));
  ASSERT_EQ(RD_KAFKA_CONF_OK, conf_set(conf, P + "publishms", "2000"));
  /* Straight to the record: only the old record holds these. */
  char err[512];
  std::string lingerms = P + "linger.ms";
  ASSERT_EQ(RD_KAFKA_CONF_OK, on_conf_set(conf, lingerms.c_str(), "250", err,
                                          sizeof(err), ic_ov));
  snprintf(ic_ov->client_id, sizeof(ic_ov->client_id), "old-id");
  const settings old_settings = settings_of(ic_ov);
  const std::vector<std::string> old_overrides = overrides_of(ic_ov);
  const auto old_mon = dump(ic_ov->conf);

  rd_kafka_conf_t *dup = rd_kafka_conf_dup(conf);
  ASSERT_EQ(2u, probe.monitoring.size());
  rd_kafka_conf_t *mon = probe.monitoring[1];
  EXPECT_NE(ic_ov->conf, mon);
  EXPECT_TRUE(has_record(dup));

  EXPECT_EQ("app:9092", conf_get(mon, "bootstrap.servers"));
  EXPECT_EQ("app-client", conf_get(mon, "client.id"));
  EXPECT_EQ("true", conf_get(mon, "api.version.request"));
  EXPECT_EQ("3", conf_get(mon, "log_level"));
  EXPECT_EQ("false", conf_get(mon, "log.connection.close"));
  EXPECT_EQ("100", conf_get(mon, "queue.buffering.max.ms"));
  EXPECT_EQ("1234", conf_get(mon, "socket.timeout.ms"));
  EXPECT_EQ("<unknown>", conf_get(mon, "plugin.library.paths"));
  EXPECT_FALSE(has_record(mon));

  /* The replayed override holds on the copy; the old record's unreplayed
   * one does not: the new override list started empty. */
  EXPECT_EQ(RD_KAFKA_CONF_OK, conf_set(dup, "socket.timeout.ms", "6666"));
  EXPECT_EQ("1234", conf_get(mon, "socket.timeout.ms"));
  EXPECT_EQ(RD_KAFKA_CONF_OK, conf_set(dup, "linger.ms", "9"));
  EXPECT_EQ("9", conf_get(mon, "queue.buffering.max.ms"));
  EXPECT_EQ("250", conf_get(ic_ov->conf, "queue.buffering.max.ms"));

  EXPECT_EQ(old_settings, settings_of(ic_ov));
  EXPECT_EQ(old_overrides, overrides_of(ic_ov));
  EXPECT_EQ(old_mon, dump(ic_ov->conf));
  rd_kafka_conf_destroy(dup);
  /* The old record outlives the copy's. */
  EXPECT_EQ(RD_KAFKA_CONF_OK, conf_set(conf, P + "publishms", "3000"));
  EXPECT_EQ(3000, ic_ov->publishms);
  rd_kafka_conf_destroy(conf);
}

TEST(ConfDup, DuplicateSettingsStartFromDefaults) {
  /* Only a client reads the settings: the copy's instance reports the
   * interval and topic it was given. */
  mock_cluster *mc = mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  struct {
    bool through_api; /* librdkafka replays what went through its API */
    const char *line;
  } rows[] = {
      {false, "Background thread with interval 15000, W4 topic "
              "_quarndale-monitoring"},
      {true, "Background thread with interval 2000, W4 topic old-topic"},
  };
  for (const auto &row : rows) {
    rd_kafka_conf_t *conf = make_conf({{"bootstrap.servers", mc->bootstraps},
                                       {"client.id", "dup-client"},
                                       {"log_level", "0"}});
    ic_overrides *ic_ov = ic_conf_init(conf);
    ASSERT_NE(nullptr, ic_ov);
    char err[512];
    for (const auto &p : std::vector<std::pair<std::string, const char *>>{
             {"publishms", "2000"}, {"topic", "old-topic"}}) {
      std::string name = P + p.first;
      ASSERT_EQ(RD_KAFKA_CONF_OK,
                row.through_api ? rd_kafka_conf_set(conf, name.c_str(),
                                                    p.second, err, sizeof(err))
                                : on_conf_set(conf, name.c_str(), p.second, err,
                                              sizeof(err), ic_ov));
    }
    const settings old_settings = settings_of(ic_ov);

    rd_kafka_conf_t *dup = rd_kafka_conf_dup(conf);
    ASSERT_EQ(RD_KAFKA_CONF_OK, conf_set(dup, P + "icdebug", "true"));
    stderr_capture *cap = stderr_capture_start();
    rd_kafka_t *rk = rd_kafka_new(RD_KAFKA_PRODUCER, dup, err, sizeof(err));
    if (rk) {
      /* With the cluster id known, the last pass need not wait for it. */
      rd_kafka_mem_free(rk, rd_kafka_clusterid(rk, 5000));
      rd_kafka_destroy(rk); /* joins the instance's thread */
    }
    std::string out = stderr_capture_stop(cap);
    ASSERT_NE(nullptr, rk) << err;
    EXPECT_EQ(1, count_lines(out, std::string("W4IC: dup-client: ") + row.line))
        << out;

    EXPECT_EQ(old_settings, settings_of(ic_ov));
    EXPECT_NE(nullptr, ic_ov->conf) << "the copy's client took its own";
    rd_kafka_conf_destroy(conf);
  }
  mock_cluster_stop(mc);
}

TEST(ConfDup, BuiltPluginReloadedOnTheCopyKeepsOneRecord) {
  /* librdkafka loads the plug-in again for the copy and calls conf_init on
   * an object that on_conf_dup has already given a record; so does setting
   * the path again. */
  rd_kafka_conf_t *conf = make_conf({{"bootstrap.servers", "app:9092"},
                                     {"plugin.library.paths", plugin_path()},
                                     {"plugin.library.paths", plugin_path()},
                                     {P + "socket.timeout.ms", "1234"}});
  EXPECT_TRUE(has_record(conf));
  rd_kafka_conf_t *dup = rd_kafka_conf_dup(conf);
  EXPECT_EQ(plugin_path(), conf_get(dup, "plugin.library.paths"));
  EXPECT_TRUE(has_record(dup));
  const char *filter[] = {"plugin.library.paths"};
  rd_kafka_conf_t *bare = rd_kafka_conf_dup_filter(conf, 1, filter);
  EXPECT_FALSE(has_record(bare));
  rd_kafka_conf_destroy(bare);
  rd_kafka_conf_destroy(dup);
  rd_kafka_conf_destroy(conf);
}

} // namespace
