/* Plug-in entry, override record and configuration property routing.
 *
 * Every function here runs on the thread that works on the configuration
 * object; librdkafka never calls a record's interceptors concurrently. */
#undef NDEBUG /* growing the override list must succeed or stop the process */
#include "interceptors/interceptors.h"

#include "interceptors/w4ic.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

/* Alternative property names and the canonical name librdkafka lists. */
static const char *const prop_aliases[][2] = {
    {"bootstrap.servers", "metadata.broker.list"},
    {"max.in.flight", "max.in.flight.requests.per.connection"},
    {"sasl.mechanism", "sasl.mechanisms"},
    {"max.partition.fetch.bytes", "fetch.message.max.bytes"},
    {"linger.ms", "queue.buffering.max.ms"},
    {"retries", "message.send.max.retries"},
    {"acks", "request.required.acks"},
    {"delivery.timeout.ms", "message.timeout.ms"},
    {"compression.type", "compression.codec"},
    {"enable.auto.commit", "auto.commit.enable"},
    {nullptr, nullptr},
};

/* Names left out of the monitoring configuration: the private producer must
 * never load the plug-in, nor carry the plug-in's own properties, nor be
 * transactional (it never begins a transaction, so a transactional producer
 * would refuse every record). */
static const char *ic_dup_filter[] = {"plugin.library.paths",
                                      "quarndale.monitoring.interceptor",
                                      "transactional.id"};

/* Properties that never reach the monitoring configuration, neither
 * mirrored nor as an override. */
static const char *const ic_never_inherited[] = {"plugin.library.paths",
                                                 "transactional.id"};

/* True when name is one of the properties that the private producer never
 * takes. */
static bool ic_is_never_inherited(const char *name) {
  for (const char *never : ic_never_inherited)
    if (!strcmp(name, never))
      return true;
  return false;
}

/* Settings that every monitoring configuration starts with, in this order. */
static const char *const ic_fixed_settings[][2] = {
    {"api.version.request", "true"},
    {"log_level", "3"},
    {"log.connection.close", "false"},
    {"queue.buffering.max.ms", "100"},
};

/* The canonical name of a property: one alias-table step, or the name. */
const char *ic_prop_alias(const char *name) {
  for (int i = 0; prop_aliases[i][0]; i++)
    if (!strcmp(prop_aliases[i][0], name))
      return prop_aliases[i][1];
  return name;
}

/* Releases a record and what it owns; the monitoring configuration only if
 * no instance has taken it over. */
static void ic_overrides_destroy(ic_overrides *ic_ov) {
  if (ic_ov->conf)
    rd_kafka_conf_destroy(ic_ov->conf);
  ic_free(ic_ov->topic);
  for (int i = 0; i < ic_ov->prop_names_cnt; i++)
    ic_free(ic_ov->prop_names[i]);
  ic_free(ic_ov->prop_names);
  if (ic_ov->ic)
    w4ic_free(ic_ov->ic);
  ic_free(ic_ov);
}

/* Builds a record for conf and registers the configuration interceptors. */
ic_overrides *ic_conf_init(rd_kafka_conf_t *conf) {
  ic_overrides *ic_ov =
      static_cast<ic_overrides *>(ic_calloc(1, sizeof(*ic_ov)));
  if (!ic_ov) {
    w4ic_log0(nullptr, 0,
              "Failed to allocate configuration record: "
              "clients of this configuration are not monitored");
    return nullptr;
  }
  ic_ov->publishms = IC_DEFAULT_PUBLISHMS;
  ic_ov->sessiondurationms = IC_DEFAULT_SESSIONDURATIONMS;
  ic_ov->topic = ic_strdup(IC_DEFAULT_TOPIC);
  if (!ic_ov->topic) {
    w4ic_log0(nullptr, 0,
              "Failed to allocate configuration record: "
              "clients of this configuration are not monitored");
    ic_free(ic_ov);
    return nullptr;
  }

  ic_ov->conf = rd_kafka_conf_dup_filter(
      conf, sizeof(ic_dup_filter) / sizeof(*ic_dup_filter), ic_dup_filter);
  if (ic_ov->conf) {
    char ignored[512];
    for (const auto &fixed : ic_fixed_settings)
      rd_kafka_conf_set(ic_ov->conf, fixed[0], fixed[1], ignored,
                        sizeof(ignored));
  }

  /* librdkafka loads the plug-in again, and calls conf_init again, for a
   * duplicate whose record on_conf_dup has already made: the interceptors
   * are then registered, and this second record is not needed. */
  if (rd_kafka_conf_interceptor_add_on_conf_set(conf, "w4metrics", on_conf_set,
                                                ic_ov) ==
      RD_KAFKA_RESP_ERR__CONFLICT) {
    ic_overrides_destroy(ic_ov);
    return nullptr;
  }
  rd_kafka_conf_interceptor_add_on_conf_dup(conf, "w4metrics", on_conf_dup,
                                            ic_ov);
  rd_kafka_conf_interceptor_add_on_conf_destroy(conf, "w4metrics",
                                                on_conf_destroy, ic_ov);
  rd_kafka_conf_interceptor_add_on_new(conf, "w4metrics", on_new, ic_ov);
  return ic_ov;
}

/* Plug-in entry: librdkafka calls it when the plug-in is named in
 * plugin.library.paths. Never fails. The caller is the librdkafka that
 * loaded the plug-in; the plug-in binds to it, and monitors only clients of
 * that copy. */
rd_kafka_resp_err_t conf_init(rd_kafka_conf_t *conf, void **plug_opaquep,
                              char *errstr, size_t errstr_size) {
  (void)plug_opaquep;
  (void)errstr;
  (void)errstr_size;
  char why[400];
  if (!rdkafka_api_bind(__builtin_return_address(0), why, sizeof(why))) {
    w4ic_log0(nullptr, 0, "%s: this client is not monitored", why);
    return RD_KAFKA_RESP_ERR_NO_ERROR;
  }
  ic_conf_init(conf);
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* True when a duplicate made with this filter leaves the plug-in out. */
static bool ic_filter_drops_plugin(size_t filter_cnt, const char **filter) {
  static const char plugin_prop[] = "plugin.library.paths";
  for (size_t i = 0; i < filter_cnt; i++)
    if (filter[i] && !strncmp(plugin_prop, filter[i], strlen(filter[i])))
      return true;
  return false;
}

/* A duplicate gets a fresh record with every default. */
rd_kafka_resp_err_t on_conf_dup(rd_kafka_conf_t *new_conf,
                                const rd_kafka_conf_t *old_conf,
                                size_t filter_cnt, const char **filter,
                                void *ic_opaque) {
  (void)old_conf;
  (void)ic_opaque;
  /* Our own monitoring configuration is such a duplicate: it must stay
   * without interceptors so that the private producer is never monitored. */
  if (!ic_filter_drops_plugin(filter_cnt, filter))
    ic_conf_init(new_conf);
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* The configuration object is destroyed: so is its record. */
rd_kafka_resp_err_t on_conf_destroy(void *ic_opaque) {
  ic_overrides_destroy(static_cast<ic_overrides *>(ic_opaque));
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* A client is created from the configuration: give it an instance. Never
 * fails the client's creation. */
rd_kafka_resp_err_t on_new(rd_kafka_t *rk, const rd_kafka_conf_t *conf,
                           void *ic_opaque, char *errstr, size_t errstr_size) {
  (void)conf;
  (void)errstr;
  (void)errstr_size;
  w4ic_new(rk, static_cast<ic_overrides *>(ic_opaque));
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* Writes the invalid-value error text for the full property name. */
static rd_kafka_conf_res_t ic_invalid(const char *name, char *errstr,
                                      size_t errstr_size) {
  if (errstr && errstr_size > 0)
    snprintf(errstr, errstr_size,
             "Invalid value for configuration property \"%s\"", name);
  return RD_KAFKA_CONF_INVALID;
}

/* Reads val as strtol base 0 does; true and *out set when a number was read
 * and lies in [lo, hi]. */
static bool ic_parse_int32(const char *val, long lo, long hi, int32_t *out) {
  char *end;
  errno = 0;
  long v = strtol(val, &end, 0);
  if (end == val || errno == ERANGE || v < lo || v > hi)
    return false;
  *out = static_cast<int32_t>(v);
  return true;
}

/* Stores a topic setting: a copy of val, or of the default with no value. */
static rd_kafka_conf_res_t ic_set_topic(ic_overrides *ic_ov, const char *name,
                                        const char *val, char *errstr,
                                        size_t errstr_size) {
  if (val && !*val)
    return ic_invalid(name, errstr, errstr_size);
  char *topic = ic_strdup(val ? val : IC_DEFAULT_TOPIC);
  if (!topic) { /* keep the topic in force rather than none */
    if (errstr && errstr_size > 0)
      snprintf(errstr, errstr_size,
               "Out of memory for configuration property \"%s\"", name);
    return RD_KAFKA_CONF_INVALID;
  }
  ic_free(ic_ov->topic);
  ic_ov->topic = topic;
  return RD_KAFKA_CONF_OK;
}

/* Applies one of the seven settings; UNKNOWN when suffix names none. */
static rd_kafka_conf_res_t ic_set_setting(ic_overrides *ic_ov, const char *name,
                                          const char *suffix, const char *val,
                                          char *errstr, size_t errstr_size) {
  if (!strcasecmp(suffix, "publishms")) {
    if (!val)
      ic_ov->publishms = IC_DEFAULT_PUBLISHMS;
    else if (!ic_parse_int32(val, 1, IC_MAX_PUBLISHMS, &ic_ov->publishms))
      return ic_invalid(name, errstr, errstr_size);
    return RD_KAFKA_CONF_OK;
  }
  if (!strcasecmp(suffix, "sessiondurationms")) {
    if (!val)
      ic_ov->sessiondurationms = IC_DEFAULT_SESSIONDURATIONMS;
    else if (!ic_parse_int32(val, 1, INT32_MAX, &ic_ov->sessiondurationms))
      return ic_invalid(name, errstr, errstr_size);
    return RD_KAFKA_CONF_OK;
  }
  if (!strcmp(suffix, "topic"))
    return ic_set_topic(ic_ov, name, val, errstr, errstr_size);
  if (!strcmp(suffix, "icdebug")) {
    ic_ov->icdebug = val && strcasecmp(val, "false") ? 1 : 0;
    return RD_KAFKA_CONF_OK;
  }
  if (!strcmp(suffix, "histogram")) {
    ic_ov->histogram = val && strcasecmp(val, "false") ? 1 : 0;
    return RD_KAFKA_CONF_OK;
  }
  if (!strcmp(suffix, "offsets")) {
    ic_ov->offsets = val && strcasecmp(val, "false") ? 1 : 0;
    return RD_KAFKA_CONF_OK;
  }
  if (!strcmp(suffix, "client.id")) {
    snprintf(ic_ov->client_id, sizeof(ic_ov->client_id), "%s", val ? val : "");
    return RD_KAFKA_CONF_OK;
  }
  return RD_KAFKA_CONF_UNKNOWN;
}

/* Records an override by canonical name, then sets it on the monitoring
 * configuration as written; the answer is the monitoring configuration's. */
rd_kafka_conf_res_t w4ic_overrides_set(ic_overrides *ic_ov, const char *suffix,
                                       const char *val, char *errstr,
                                       size_t errstr_size) {
  if (ic_ov->prop_names_cnt == ic_ov->prop_names_size) {
    ic_ov->prop_names_size = 2 * ic_ov->prop_names_cnt + 1;
    ic_ov->prop_names = static_cast<char **>(
        ic_realloc(ic_ov->prop_names, ic_ov->prop_names_size * sizeof(char *)));
    assert(ic_ov->prop_names);
  }
  /* Without memory for the name the override still applies, but a later
   * application value of the same property would be mirrored over it. */
  char *canonical = ic_strdup(ic_prop_alias(suffix));
  if (canonical)
    ic_ov->prop_names[ic_ov->prop_names_cnt++] = canonical;

  /* A client has taken the monitoring configuration: nothing set now can
   * reach its instance any more. */
  if (!ic_ov->conf)
    return RD_KAFKA_CONF_OK;
  return rd_kafka_conf_set(ic_ov->conf, suffix, val, errstr, errstr_size);
}

/* True when the property has been overridden for the monitoring producer. */
static bool ic_is_overridden(const ic_overrides *ic_ov, const char *name) {
  const char *canonical = ic_prop_alias(name);
  for (int i = 0; i < ic_ov->prop_names_cnt; i++)
    if (!strcmp(ic_ov->prop_names[i], canonical))
      return true;
  return false;
}

/* Routes a property set on the application's configuration object. */
rd_kafka_conf_res_t on_conf_set(rd_kafka_conf_t *conf, const char *name,
                                const char *val, char *errstr,
                                size_t errstr_size, void *ic_opaque) {
  (void)conf;
  ic_overrides *ic_ov = static_cast<ic_overrides *>(ic_opaque);

  if (!strncmp(name, IC_PREFIX, IC_PREFIX_LEN)) {
    const char *suffix = name + IC_PREFIX_LEN;
    rd_kafka_conf_res_t res =
        ic_set_setting(ic_ov, name, suffix, val, errstr, errstr_size);
    if (res != RD_KAFKA_CONF_UNKNOWN)
      return res;
    /* Refused outright: such an override would make the private producer
     * load the plug-in and monitor itself, or refuse every record. */
    if (ic_is_never_inherited(suffix))
      return ic_invalid(name, errstr, errstr_size);
    return w4ic_overrides_set(ic_ov, suffix, val, errstr, errstr_size);
  }

  /* Mirroring: the property always goes on to the application's object.
   * plugin.library.paths and transactional.id are never mirrored. */
  if (!ic_ov->conf || ic_is_never_inherited(name) ||
      ic_is_overridden(ic_ov, name))
    return RD_KAFKA_CONF_UNKNOWN;
  char ignored[512];
  rd_kafka_conf_set(ic_ov->conf, name, val, ignored, sizeof(ignored));
  return RD_KAFKA_CONF_UNKNOWN;
}
