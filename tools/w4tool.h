/* Small helpers shared by the tools: clocks, argument parsing, metadata. */
#pragma once

#include <csignal>
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

/* Parses the value of -X into a property appended to *props; false with a
 * message "<prog>: -X needs name=value" when it is not one (the argument is
 * not echoed: it may hold a secret). */
bool w4_parse_prop_arg(const char *prog, const char *s,
                       std::vector<w4_prop> *props);

/* Parses the text of a properties file (-F), appending its properties to
 * *props in order: one name=value a line, split at the first '=', with
 * blanks (space, tab, CR) trimmed around the line, the name and the value;
 * blank lines and lines starting with '#' are skipped. Returns 0, or the
 * number (from 1) of the first malformed line: no '=', an empty name, or a
 * NUL byte. */
int w4_parse_prop_text(const std::string &text, std::vector<w4_prop> *props);

/* Reads the properties file path (-F) into *props; false with a message
 * naming the file and, for a malformed line, its number, never its text. */
bool w4_read_prop_file(const char *prog, const char *path,
                       std::vector<w4_prop> *props);

/* text with every occurrence of a property's value (as a whole word, and
 * as the integer it reads as) replaced by "(value not shown)": for
 * librdkafka's messages, which may quote a value that is a secret. */
std::string w4_hide_values(const std::string &text,
                           const std::vector<w4_prop> &props);

/* An unexpected command-line argument as a message may show it: cut after
 * '=' when it has one, since it may be a property with its value. */
std::string w4_arg_shown(const char *arg);

/* Sets each property on conf in order; false with "<name>: <reason>" in
 * *err on the first that librdkafka rejects, its value not shown. */
bool w4_conf_set_all(rd_kafka_conf_t *conf, const std::vector<w4_prop> &props,
                     std::string *err);

/* The properties of a consumer's command line that its tool's producers
 * (the exporter's state and routing) take too: the connection's and
 * security's, without those only a consumer knows, which librdkafka would
 * warn about. */
std::vector<w4_prop> w4_producer_props(const std::vector<w4_prop> &props);

/* Number of partitions of topic as the cluster reports it: 0 when the topic
 * does not exist (yet), -1 when the metadata request failed. */
int w4_topic_partition_cnt(rd_kafka_t *rk, const std::string &topic,
                           int timeout_ms);

/* Eight random hexadecimal digits, for names that must not collide. */
std::string w4_random_tag(void);

/* Set by SIGINT and SIGTERM once w4_stop_on_signals() has run: the tool's
 * loop ends and its teardown runs. */
extern volatile sig_atomic_t w4_stop_requested;

/* Installs the SIGINT/SIGTERM handler that sets w4_stop_requested. */
void w4_stop_on_signals(void);
