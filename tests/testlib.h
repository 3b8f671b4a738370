/* Test helpers: librdkafka's mock cluster, clients with the plug-in loaded,
 * standard error capture and an independent reader of the record wire
 * format. */
#pragma once

#include <cstdint>
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>
#include <map>
#include <string>
#include <vector>

namespace w4test {

/* An in-process mock cluster, hosted by a plain client of its own. */
struct mock_cluster {
  rd_kafka_t *host;
  rd_kafka_mock_cluster_t *mcluster;
  std::string bootstraps;
};

/* Starts a mock cluster of broker_cnt brokers. */
mock_cluster *mock_cluster_start(int broker_cnt = 1);
void mock_cluster_stop(mock_cluster *mc);

/* A configuration with the given properties set in order; fails the test on
 * any rejected property. */
rd_kafka_conf_t *
make_conf(const std::vector<std::pair<std::string, std::string>> &props);

/* Sets one property, returning librdkafka's result and error text. */
rd_kafka_conf_res_t conf_set(rd_kafka_conf_t *conf, const std::string &name,
                             const std::string &value,
                             std::string *errstr = nullptr);

/* Reads a property of a configuration; "<unknown>" when it cannot. */
std::string conf_get(const rd_kafka_conf_t *conf, const std::string &name);

/* The path of the built plug-in library. */
const char *plugin_path(void);

/* Captures everything written to file descriptor 2 while alive. */
struct stderr_capture {
  int saved_fd;
  std::string path;
};
stderr_capture *stderr_capture_start(void);
/* Stops capturing and returns what was written. */
std::string stderr_capture_stop(stderr_capture *cap);

/* Lines of text that contain needle. */
int count_lines(const std::string &text, const std::string &needle);

/* One record value read back from a topic. */
struct consumed {
  int32_t partition;
  int64_t offset;
  std::string value;
};

/* Reads every message of topic (all partitions, from the beginning) with a
 * plain consumer, until idle_ms pass without a new one or timeout_ms in all. */
std::vector<consumed> consume_all(const std::string &bootstraps,
                                  const std::string &topic, int idle_ms = 1500,
                                  int timeout_ms = 20000);

/* A decoded protobuf message: field number to its values in wire order,
 * varints as raw 64-bit values, length-delimited fields as bytes. */
struct wire_msg {
  std::map<int, std::vector<uint64_t>> varints;
  std::map<int, std::vector<std::string>> strings;
  std::vector<int> order; /* field numbers in wire order */
  bool ok;

  bool has(int field) const {
    return varints.count(field) || strings.count(field);
  }
  int64_t i64(int field) const {
    auto it = varints.find(field);
    return it == varints.end() ? 0 : static_cast<int64_t>(it->second.back());
  }
  std::string str(int field) const {
    auto it = strings.find(field);
    return it == strings.end() ? std::string() : it->second.back();
  }
};

/* Decodes the proto3 wire format of bytes (no framing byte). */
wire_msg wire_decode(const std::string &bytes);

/* Decodes a framed record value: 0x7F then the message; ok false otherwise. */
wire_msg record_decode(const std::string &value);

/* Field numbers of the monitoring record. */
enum {
  F_CLIENT_TYPE = 1,
  F_CLIENT_ID = 2,
  F_GROUP_ID = 3,
  F_SESSION_ID = 4,
  F_SEQUENCE = 5,
  F_WINDOW = 6,
  F_TIMESTAMP = 7,
  F_TOPIC = 8,
  F_PARTITION = 9,
  F_COUNT = 10,
  F_AGGREGATE_BYTES = 11,
  F_LATENCY_SUM = 13,
  F_MIN_LATENCY = 14,
  F_MAX_LATENCY = 15,
  F_WINDOW_SIZE = 16,
  F_RECORD_KIND = 17,
  F_FINAL = 18,
  F_MIN_RECENT_WINDOW = 19,
  F_MAX_RECENT_WINDOW = 20,
  F_CLUSTER_ID = 22,
};

/* Hex dump "7f 08 01 ..." of bytes, for readable failures. */
std::string hex(const std::string &bytes);

/* Runs a shell command, returning its standard output and exit status. */
std::string run_command(const std::string &cmd, int *status);

} // namespace w4test
