/* The librdkafka functions of the plug-in, bound at run time to the
 * librdkafka that loaded it.
 *
 * The plug-in has no link-time dependency on librdkafka: applications carry
 * their own copy (a renamed library loaded privately, or librdkafka linked
 * into the program), and handing one copy's objects to another copy's
 * functions corrupts memory. Each function the plug-in calls is looked up in
 * the copy that called conf_init and reached through the table below; the
 * macros keep the calls reading like ordinary librdkafka calls. Include this
 * header instead of <librdkafka/rdkafka.h>. */
#pragma once

#include <cstddef>
#include <librdkafka/rdkafka.h>

/* Every librdkafka function the plug-in calls; all of them must be found. */
#define RDKAFKA_API_FUNCTIONS(X)                                               \
  X(rd_kafka_brokers_add)                                                      \
  X(rd_kafka_clusterid)                                                        \
  X(rd_kafka_conf_destroy)                                                     \
  X(rd_kafka_conf_dup_filter)                                                  \
  X(rd_kafka_conf_get)                                                         \
  X(rd_kafka_conf_interceptor_add_on_conf_destroy)                             \
  X(rd_kafka_conf_interceptor_add_on_conf_dup)                                 \
  X(rd_kafka_conf_interceptor_add_on_conf_set)                                 \
  X(rd_kafka_conf_interceptor_add_on_new)                                      \
  X(rd_kafka_conf_set)                                                         \
  X(rd_kafka_conf_set_background_event_cb)                                     \
  X(rd_kafka_conf_set_dr_cb)                                                   \
  X(rd_kafka_conf_set_dr_msg_cb)                                               \
  X(rd_kafka_conf_set_error_cb)                                                \
  X(rd_kafka_conf_set_events)                                                  \
  X(rd_kafka_conf_set_log_cb)                                                  \
  X(rd_kafka_conf_set_stats_cb)                                                \
  X(rd_kafka_conf_set_throttle_cb)                                             \
  X(rd_kafka_destroy)                                                          \
  X(rd_kafka_err2str)                                                          \
  X(rd_kafka_flush)                                                            \
  X(rd_kafka_interceptor_add_on_acknowledgement)                               \
  X(rd_kafka_interceptor_add_on_broker_state_change)                           \
  X(rd_kafka_interceptor_add_on_consume)                                       \
  X(rd_kafka_interceptor_add_on_destroy)                                       \
  X(rd_kafka_last_error)                                                       \
  X(rd_kafka_mem_free)                                                         \
  X(rd_kafka_message_latency)                                                  \
  X(rd_kafka_message_timestamp)                                                \
  X(rd_kafka_new)                                                              \
  X(rd_kafka_outq_len)                                                         \
  X(rd_kafka_produce)                                                          \
  X(rd_kafka_topic_destroy)                                                    \
  X(rd_kafka_topic_name)                                                       \
  X(rd_kafka_topic_new)                                                        \
  X(rd_kafka_type)

/* One pointer per function, typed after librdkafka's own declaration. */
struct rdkafka_api_table {
#define RDKAFKA_API_MEMBER(name) decltype(&::name) name;
  RDKAFKA_API_FUNCTIONS(RDKAFKA_API_MEMBER)
#undef RDKAFKA_API_MEMBER
};

/* The bound functions. Written once, under the binding's lock, before any
 * interceptor of the plug-in is registered; read without a lock. */
extern rdkafka_api_table rdkafka_api;

/* Binds the table to the librdkafka that contains addr (a shared library, or
 * the program itself when librdkafka is linked into it), once per process.
 * Returns 1 when the table is bound to that copy, now or before; otherwise 0
 * with the reason in errstr, and the table unchanged. Any thread. */
int rdkafka_api_bind(const void *addr, char *errstr, size_t errstr_size);

/* Calls go through the table. Function-like, so that a name which is also a
 * type (struct rd_kafka_metadata) is left alone. */
#define rd_kafka_brokers_add(...) rdkafka_api.rd_kafka_brokers_add(__VA_ARGS__)
#define rd_kafka_clusterid(...) rdkafka_api.rd_kafka_clusterid(__VA_ARGS__)
#define rd_kafka_conf_destroy(...)                                             \
  rdkafka_api.rd_kafka_conf_destroy(__VA_ARGS__)
#define rd_kafka_conf_dup_filter(...)                                          \
  rdkafka_api.rd_kafka_conf_dup_filter(__VA_ARGS__)
#define rd_kafka_conf_get(...) rdkafka_api.rd_kafka_conf_get(__VA_ARGS__)
#define rd_kafka_conf_interceptor_add_on_conf_destroy(...)                     \
  rdkafka_api.rd_kafka_conf_interceptor_add_on_conf_destroy(__VA_ARGS__)
#define rd_kafka_conf_interceptor_add_on_conf_dup(...)                         \
  rdkafka_api.rd_kafka_conf_interceptor_add_on_conf_dup(__VA_ARGS__)
#define rd_kafka_conf_interceptor_add_on_conf_set(...)                         \
  rdkafka_api.rd_kafka_conf_interceptor_add_on_conf_set(__VA_ARGS__)
#define rd_kafka_conf_interceptor_add_on_new(...)                              \
  rdkafka_api.rd_kafka_conf_interceptor_add_on_new(__VA_ARGS__)
#define rd_kafka_conf_set(...) rdkafka_api.rd_kafka_conf_set(__VA_ARGS__)
#define rd_kafka_conf_set_background_event_cb(...)                             \
  rdkafka_api.rd_kafka_conf_set_background_event_cb(__VA_ARGS__)
#define rd_kafka_conf_set_dr_cb(...)                                           \
  rdkafka_api.rd_kafka_conf_set_dr_cb(__VA_ARGS__)
#define rd_kafka_conf_set_dr_msg_cb(...)                                       \
  rdkafka_api.rd_kafka_conf_set_dr_msg_cb(__VA_ARGS__)
#define rd_kafka_conf_set_error_cb(...)                                        \
  rdkafka_api.rd_kafka_conf_set_error_cb(__VA_ARGS__)
#define rd_kafka_conf_set_events(...)                                          \
  rdkafka_api.rd_kafka_conf_set_events(__VA_ARGS__)
#define rd_kafka_conf_set_log_cb(...)                                          \
  rdkafka_api.rd_kafka_conf_set_log_cb(__VA_ARGS__)
#define rd_kafka_conf_set_stats_cb(...)                                        \
  rdkafka_api.rd_kafka_conf_set_stats_cb(__VA_ARGS__)
#define rd_kafka_conf_set_throttle_cb(...)                                     \
  rdkafka_api.rd_kafka_conf_set_throttle_cb(__VA_ARGS__)
#define rd_kafka_destroy(...) rdkafka_api.rd_kafka_destroy(__VA_ARGS__)
#define rd_kafka_err2str(...) rdkafka_api.rd_kafka_err2str(__VA_ARGS__)
#define rd_kafka_flush(...) rdkafka_api.rd_kafka_flush(__VA_ARGS__)
#define rd_kafka_interceptor_add_on_acknowledgement(...)                       \
  rdkafka_api.rd_kafka_interceptor_add_on_acknowledgement(__VA_ARGS__)
#define rd_kafka_interceptor_add_on_broker_state_change(...)                   \
  rdkafka_api.rd_kafka_interceptor_add_on_broker_state_change(__VA_ARGS__)
#define rd_kafka_interceptor_add_on_consume(...)                               \
  rdkafka_api.rd_kafka_interceptor_add_on_consume(__VA_ARGS__)
#define rd_kafka_interceptor_add_on_destroy(...)                               \
  rdkafka_api.rd_kafka_interceptor_add_on_destroy(__VA_ARGS__)
#define rd_kafka_last_error(...) rdkafka_api.rd_kafka_last_error(__VA_ARGS__)
#define rd_kafka_mem_free(...) rdkafka_api.rd_kafka_mem_free(__VA_ARGS__)
#define rd_kafka_message_latency(...)                                          \
  rdkafka_api.rd_kafka_message_latency(__VA_ARGS__)
#define rd_kafka_message_timestamp(...)                                        \
  rdkafka_api.rd_kafka_message_timestamp(__VA_ARGS__)
#define rd_kafka_new(...) rdkafka_api.rd_kafka_new(__VA_ARGS__)
#define rd_kafka_outq_len(...) rdkafka_api.rd_kafka_outq_len(__VA_ARGS__)
#define rd_kafka_produce(...) rdkafka_api.rd_kafka_produce(__VA_ARGS__)
#define rd_kafka_topic_destroy(...)                                            \
  rdkafka_api.rd_kafka_topic_destroy(__VA_ARGS__)
#define rd_kafka_topic_name(...) rdkafka_api.rd_kafka_topic_name(__VA_ARGS__)
#define rd_kafka_topic_new(...) rdkafka_api.rd_kafka_topic_new(__VA_ARGS__)
#define rd_kafka_type(...) rdkafka_api.rd_kafka_type(__VA_ARGS__)
