/* Fuzz target: configuration property routing.
 *
 * The plug-in is registered on a real configuration object, which then
 * receives an arbitrary sequence of properties: through rd_kafka_conf_set,
 * as an application sets them, and through direct on_conf_set calls with no
 * value and small (exactly sized) error buffers; now and then the object is
 * duplicated, which gives the copy a record of its own. After every step
 * the record's invariants are checked; at the end everything is destroyed,
 * and the leak checker sees what was not released. */
#include "interceptors/interceptors.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

namespace {

/* Suffixes after the plug-in's prefix: the settings in several letter
 * cases, aliases, canonical names and near misses. */
const char *const suffixes[] = {"publishms",
                                "PublishMS",
                                "sessiondurationms",
                                "SessionDurationMs",
                                "topic",
                                "TOPIC",
                                "icdebug",
                                "histogram",
                                "HISTOGRAM",
                                "client.id",
                                "client.ID",
                                "",
                                "bootstrap.servers",
                                "metadata.broker.list",
                                "linger.ms",
                                "queue.buffering.max.ms",
                                "acks",
                                "request.required.acks",
                                "retries",
                                "compression.type",
                                "socket.timeout.ms",
                                "publishms ",
                                "topic.acks"};

/* Property names without the prefix. */
const char *const names[] = {"bootstrap.servers",
                             "metadata.broker.list",
                             "linger.ms",
                             "queue.buffering.max.ms",
                             "client.id",
                             "acks",
                             "request.required.acks",
                             "group.id",
                             "api.version.request",
                             "log_level",
                             "log.connection.close",
                             "message.max.bytes",
                             "compression.codec",
                             "topic.acks",
                             "Quarndale.monitoring.interceptor.topic",
                             "quarndale.monitoring.interceptor",
                             "no.such.property"};

/* Values, numbers among them that are just inside or outside the ranges. */
const char *const values[] = {
    "1",          "0",          "-5",       "0x3E8",
    "010",        "15000ms",    "abc",      "",
    "  42",       "86400000",   "86400001", "4294968296",
    "2147483647", "2147483648", "true",     "false",
    "FALSE",      "all",        "gzip",     "127.0.0.1:1,127.0.0.1:2"};

/* Stops the run with a message: a broken invariant. */
[[noreturn]] void fail(const char *what, const std::string &name) {
  fprintf(stderr, "fuzz_conf: %s (property \"%s\")\n", what, name.c_str());
  abort();
}

/* The property a step works on: from the tables, or arbitrary text. */
std::string pick_name(FuzzedDataProvider &in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
  case 0:
    return std::string(IC_PREFIX) + in.PickValueInArray(suffixes);
  case 1:
    return in.PickValueInArray(names);
  case 2:
    return std::string(IC_PREFIX) + in.ConsumeRandomLengthString(64).c_str();
  default:
    return in.ConsumeRandomLengthString(80).c_str();
  }
}

std::string pick_value(FuzzedDataProvider &in) {
  if (in.ConsumeBool())
    return in.PickValueInArray(values);
  return in.ConsumeRandomLengthString(700).c_str();
}

/* A name that would make librdkafka load a library: never set here. */
bool loads_library(const std::string &name) {
  return name.find("plugin.library.paths") != std::string::npos;
}

/* The record's invariants. */
void check_record(const ic_overrides *ic_ov, const std::string &name) {
  if (ic_ov->publishms < 1 || ic_ov->publishms > IC_MAX_PUBLISHMS)
    fail("publishms out of range", name);
  if (ic_ov->sessiondurationms < 1)
    fail("sessiondurationms out of range", name);
  if (!ic_ov->topic || !ic_ov->topic[0])
    fail("no topic", name);
  if (ic_ov->client_id[sizeof(ic_ov->client_id) - 1] != '\0')
    fail("client id not terminated", name);
  if (ic_ov->prop_names_cnt < 0 ||
      ic_ov->prop_names_cnt > ic_ov->prop_names_size)
    fail("override count out of range", name);
  if ((ic_ov->prop_names_size == 0) != (ic_ov->prop_names == nullptr))
    fail("override list and its size disagree", name);
  for (int i = 0; i < ic_ov->prop_names_cnt; i++)
    if (!ic_ov->prop_names[i])
      fail("override list has a hole", name);
  if (!ic_ov->conf)
    fail("monitoring configuration lost", name);
}

/* True when the record lists the property's canonical name. */
bool overridden(const ic_overrides *ic_ov, const std::string &name) {
  const char *canonical = ic_prop_alias(name.c_str());
  for (int i = 0; i < ic_ov->prop_names_cnt; i++)
    if (!strcmp(ic_ov->prop_names[i], canonical))
      return true;
  return false;
}

/* A property's value in a configuration, or the result that refused it. */
std::string conf_value(const rd_kafka_conf_t *conf, const std::string &name) {
  char buf[1024];
  size_t size = sizeof(buf);
  rd_kafka_conf_res_t r = rd_kafka_conf_get(conf, name.c_str(), buf, &size);
  if (r != RD_KAFKA_CONF_OK)
    return "<" + std::to_string(r) + ">";
  return buf;
}

/* Equal values of a mirrored property. librdkafka trims a string value and
 * offers the trimmed text to the interceptors once more; the empty text
 * that whitespace leaves stays empty in the application's configuration,
 * while set through rd_kafka_conf_set it gives the property its default. */
bool same_value(const std::string &name, const std::string &app,
                const std::string &mon) {
  if (app == mon)
    return true;
  if (!app.empty())
    return false;
  rd_kafka_conf_t *fresh = rd_kafka_conf_new();
  std::string dflt = conf_value(fresh, name);
  rd_kafka_conf_destroy(fresh);
  return mon == dflt;
}

/* One property through librdkafka, as an application sets it. */
void set_through_librdkafka(rd_kafka_conf_t *conf, ic_overrides *ic_ov,
                            const std::string &name, const std::string &val,
                            size_t errsize) {
  std::vector<char> err(errsize);
  rd_kafka_conf_res_t r =
      rd_kafka_conf_set(conf, name.c_str(), val.c_str(), err.data(), errsize);
  if (r != RD_KAFKA_CONF_OK && memchr(err.data(), '\0', errsize) == nullptr)
    fail("error text not terminated", name);
  /* transactional.id never reaches the private producer, which would then
   * refuse every record outside a transaction. */
  if (name == "transactional.id") {
    std::string mon = conf_value(ic_ov->conf, name);
    if (!mon.empty() &&
        mon != "<" + std::to_string(RD_KAFKA_CONF_UNKNOWN) + ">")
      fail("transactional.id mirrored", name);
    return;
  }
  /* An accepted property without the prefix is mirrored unless overridden:
   * both configurations then read the same. */
  if (r == RD_KAFKA_CONF_OK && name.compare(0, IC_PREFIX_LEN, IC_PREFIX) &&
      !overridden(ic_ov, name)) {
    std::string app = conf_value(conf, name),
                mon = conf_value(ic_ov->conf, name);
    if (!same_value(name, app, mon))
      fail(("accepted property not mirrored: \"" + app + "\" and \"" + mon +
            "\"")
               .c_str(),
           name);
  }
}

/* One property straight into the interceptor, maybe without a value, with
 * an error buffer of exactly errsize bytes (none for 0). */
void set_directly(rd_kafka_conf_t *conf, ic_overrides *ic_ov,
                  const std::string &name, const std::string *val,
                  size_t errsize) {
  char *err = errsize ? static_cast<char *>(malloc(errsize)) : nullptr;
  if (err)
    memset(err, 'X', errsize);
  rd_kafka_conf_res_t r = on_conf_set(
      conf, name.c_str(), val ? val->c_str() : nullptr, err, errsize, ic_ov);
  if (r != RD_KAFKA_CONF_OK && r != RD_KAFKA_CONF_INVALID &&
      r != RD_KAFKA_CONF_UNKNOWN)
    fail("result out of range", name);
  if (name.compare(0, IC_PREFIX_LEN, IC_PREFIX) && r != RD_KAFKA_CONF_UNKNOWN)
    fail("property without the prefix taken", name);
  if (r == RD_KAFKA_CONF_INVALID && err && !memchr(err, '\0', errsize))
    fail("error text not terminated", name);
  free(err);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  if (in.ConsumeBool()) /* reaches the monitoring configuration as a copy */
    rd_kafka_conf_set(conf, "client.id", "before-load", nullptr, 0);
  ic_overrides *ic_ov = ic_conf_init(conf);
  if (!ic_ov)
    fail("no record", "");
  std::vector<rd_kafka_conf_t *> copies;

  for (int step = 0; step < 64 && in.remaining_bytes() > 0; step++) {
    std::string name = pick_name(in);
    if (loads_library(name))
      continue;
    switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0:
    case 1:
      set_through_librdkafka(conf, ic_ov, name, pick_value(in),
                             in.ConsumeIntegralInRange<size_t>(1, 600));
      break;
    case 2: {
      std::string val = pick_value(in);
      set_directly(conf, ic_ov, name, &val,
                   in.ConsumeIntegralInRange<size_t>(0, 16));
      break;
    }
    case 3:
      set_directly(conf, ic_ov, name, nullptr,
                   in.ConsumeIntegralInRange<size_t>(0, 16));
      break;
    default:
      if (copies.size() < 3)
        copies.push_back(rd_kafka_conf_dup(conf));
      break;
    }
    check_record(ic_ov, name);
  }

  for (rd_kafka_conf_t *copy : copies) {
    rd_kafka_conf_set(copy, (std::string(IC_PREFIX) + "topic").c_str(),
                      "copy-topic", nullptr, 0);
    rd_kafka_conf_destroy(copy);
  }
  rd_kafka_conf_destroy(conf);
  return 0;
}
