/* Small helpers shared by the tools: clocks, argument parsing, metadata. */
#pragma once

#include <cstdint>
#include <librdkafka/rdkafka.h>
#include <string>
#include <utility>
#include <vector>

/* A librdkafka property given on the command line as -X name=value. */
typedef std::pair<std::string, std::string> w4_prop;

/* Milliseconds on the monotonic clock. */
int64_t w4_mono_ms(void);

/* Wall-clock milliseconds since the Unix epoch. */
int64_t w4_wall_ms(void);

/* Parses a decimal integer within [min, max]; false when s is not one. */
bool w4_parse_long(const char *s, long min, long max, long *out);

/* Splits "name=value" into a property; false without '=' or name. */
bool w4_parse_prop(const char *s, w4_prop *prop);

/* Sets each property on conf in order; false with a message on the first
 * that librdkafka rejects. */
bool w4_conf_set_all(rd_kafka_conf_t *conf, const std::vector<w4_prop> &props,
                     std::string *err);

/* Number of partitions of topic as the cluster reports it: 0 when the topic
 * does not exist (yet), -1 when the metadata request failed. */
int w4_topic_partition_cnt(rd_kafka_t *rk, const std::string &topic,
                           int timeout_ms);

/* Eight random hexadecimal digits, for names that must not collide. */
std::string w4_random_tag(void);
