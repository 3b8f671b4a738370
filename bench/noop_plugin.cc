/* A plug-in that registers the same interceptors as w4metrics, under the
 * same name, and does nothing in them: the least that any plug-in of this
 * design costs a client, against which the benchmarks measure w4metrics. */
#include <cstring>
#include <librdkafka/rdkafka.h>

#define NOOP_EXPORT extern "C" __attribute__((visibility("default")))

static const char *const noop_name = "w4metrics";

static rd_kafka_resp_err_t noop_conf_init(rd_kafka_conf_t *conf);

/* Leaves every property to librdkafka. */
static rd_kafka_conf_res_t noop_on_conf_set(rd_kafka_conf_t *, const char *,
                                            const char *, char *, size_t,
                                            void *) {
  return RD_KAFKA_CONF_UNKNOWN;
}

/* Registers the interceptors on a duplicate, unless it leaves the plug-in
 * out. */
static rd_kafka_resp_err_t noop_on_conf_dup(rd_kafka_conf_t *new_conf,
                                            const rd_kafka_conf_t *,
                                            size_t filter_cnt,
                                            const char **filter, void *) {
  for (size_t i = 0; i < filter_cnt; i++)
    if (filter[i] &&
        !strncmp("plugin.library.paths", filter[i], strlen(filter[i])))
      return RD_KAFKA_RESP_ERR_NO_ERROR;
  return noop_conf_init(new_conf);
}

/* Nothing to release. */
static rd_kafka_resp_err_t noop_on_conf_destroy(void *) {
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* Any thread: a client is destroyed. */
static rd_kafka_resp_err_t noop_on_destroy(rd_kafka_t *, void *) {
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* Broker thread: a produced message was settled. */
static rd_kafka_resp_err_t
noop_on_acknowledgement(rd_kafka_t *, rd_kafka_message_t *, void *) {
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* Application's thread: a message is handed to the application. */
static rd_kafka_resp_err_t noop_on_consume(rd_kafka_t *, rd_kafka_message_t *,
                                           void *) {
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* A client is created: the message interceptors of its type. */
static rd_kafka_resp_err_t noop_on_new(rd_kafka_t *rk, const rd_kafka_conf_t *,
                                       void *, char *, size_t) {
  rd_kafka_interceptor_add_on_destroy(rk, noop_name, noop_on_destroy, nullptr);
  if (rd_kafka_type(rk) == RD_KAFKA_CONSUMER)
    rd_kafka_interceptor_add_on_consume(rk, noop_name, noop_on_consume,
                                        nullptr);
  else
    rd_kafka_interceptor_add_on_acknowledgement(
        rk, noop_name, noop_on_acknowledgement, nullptr);
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* Registers the configuration interceptors once per configuration. */
static rd_kafka_resp_err_t noop_conf_init(rd_kafka_conf_t *conf) {
  if (rd_kafka_conf_interceptor_add_on_conf_set(conf, noop_name,
                                                noop_on_conf_set, nullptr) ==
      RD_KAFKA_RESP_ERR__CONFLICT)
    return RD_KAFKA_RESP_ERR_NO_ERROR;
  rd_kafka_conf_interceptor_add_on_conf_dup(conf, noop_name, noop_on_conf_dup,
                                            nullptr);
  rd_kafka_conf_interceptor_add_on_conf_destroy(conf, noop_name,
                                                noop_on_conf_destroy, nullptr);
  rd_kafka_conf_interceptor_add_on_new(conf, noop_name, noop_on_new, nullptr);
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}

/* Plug-in entry. */
NOOP_EXPORT rd_kafka_resp_err_t conf_init(rd_kafka_conf_t *conf, void **,
                                          char *, size_t) {
  return noop_conf_init(conf);
}
