/* Plug-in entry, override record and configuration property routing. */
#pragma once

#include "platform/platform.h"
#include "platform/rdkafka_api.h"

#include <cstdint>

struct w4ic;

/* The plug-in's property prefix, and its length. */
#define IC_PREFIX "quarndale.monitoring.interceptor."
constexpr size_t IC_PREFIX_LEN = sizeof(IC_PREFIX) - 1;
static_assert(IC_PREFIX_LEN == 33, "prefix length");

#define IC_DEFAULT_TOPIC "_quarndale-monitoring"
constexpr int32_t IC_DEFAULT_PUBLISHMS = 15000;
constexpr int32_t IC_DEFAULT_SESSIONDURATIONMS = 600000;
constexpr int32_t IC_MAX_PUBLISHMS = 86400000;

/* The override record: one per configuration object that carries the
 * plug-in's interceptors. No lock: librdkafka calls the configuration
 * interceptors on the thread that works on the configuration object. */
struct ic_overrides {
  rd_kafka_conf_t *conf; /* monitoring configuration, until taken */
  char **prop_names;     /* canonical names of the overrides, owned */
  int32_t prop_names_size;
  int32_t prop_names_cnt;
  char *topic; /* monitoring topic, owned */
  int32_t publishms;
  int32_t sessiondurationms;
  int32_t icdebug;
  int32_t histogram;
  int32_t offsets;
  char client_id[512]; /* private producer's client id; empty: derived */

  /* The instance created from this configuration. Its last remains are
   * released with the record, after librdkafka has joined every thread of
   * the client, so that a late message callback never finds it freed. */
  struct w4ic *ic;
  int32_t taken; /* a client has been created from this configuration */
};

W4_EXPORT rd_kafka_resp_err_t conf_init(rd_kafka_conf_t *conf,
                                        void **plug_opaquep, char *errstr,
                                        size_t errstr_size);

/* Builds a record for conf and registers the configuration interceptors;
 * returns the registered record, or none when there is none to register. */
ic_overrides *ic_conf_init(rd_kafka_conf_t *conf);

W4_EXPORT rd_kafka_conf_res_t on_conf_set(rd_kafka_conf_t *conf,
                                          const char *name, const char *val,
                                          char *errstr, size_t errstr_size,
                                          void *ic_opaque);
W4_EXPORT rd_kafka_resp_err_t on_conf_dup(rd_kafka_conf_t *new_conf,
                                          const rd_kafka_conf_t *old_conf,
                                          size_t filter_cnt,
                                          const char **filter, void *ic_opaque);
W4_EXPORT rd_kafka_resp_err_t on_conf_destroy(void *ic_opaque);
W4_EXPORT rd_kafka_resp_err_t on_new(rd_kafka_t *rk,
                                     const rd_kafka_conf_t *conf,
                                     void *ic_opaque, char *errstr,
                                     size_t errstr_size);

/* Records an override and sets it on the monitoring configuration. */
rd_kafka_conf_res_t w4ic_overrides_set(ic_overrides *ic_ov, const char *suffix,
                                       const char *val, char *errstr,
                                       size_t errstr_size);

/* The canonical name of a property: its alias table entry, or itself. */
const char *ic_prop_alias(const char *name);
