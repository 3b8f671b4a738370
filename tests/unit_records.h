/* Records for the tools' unit tests: what a test record says, encoded with
 * the plug-in's own encoder and decoded by the tools' decoder. */
#pragma once

#include "exporter/aggregate.h"
#include "monitoring/monitoring.h"
#include "w4record.h"

#include <gtest/gtest.h>
#include <string>

namespace {

/* What a test record says. */
struct fields {
  uint32_t client_type = W4_CLIENT_PRODUCER;
  std::string client_id = "p1";
  std::string group_id; /* attached only for consumers */
  std::string session_id = std::string(32, 'a');
  std::string cluster_id = "cluster";
  std::string topic = "orders";
  int32_t partition = 0;
  int64_t sequence = 0;
  int64_t window = 60000;
  int64_t window_size = 1000;
  int64_t count = 1;
  int64_t bytes = 10;
  int64_t latency_sum = 5;
  int64_t min_latency = 5;
  int64_t max_latency = 5;
  uint32_t record_kind = W4_RECORD_DATA;
  bool final = false;
  int64_t timestamp = 1700000000000LL;
};

/* The framed record value of s, encoded with the plug-in's own encoder. */
inline std::string encode(const fields &s) {
  MonitoringMessage m;
  monitoring_message_init(&m);
  m.client_type = s.client_type;
  string_encode_callback(&m.client_id, s.client_id.c_str());
  if (s.client_type == W4_CLIENT_CONSUMER)
    string_encode_callback(&m.group_id, s.group_id.c_str());
  string_encode_callback(&m.session_id, s.session_id.c_str());
  string_encode_callback(&m.cluster_id, s.cluster_id.c_str());
  string_encode_callback(&m.topic, s.topic.c_str());
  m.partition = s.partition;
  m.sequence = s.sequence;
  bool empty = s.record_kind == W4_RECORD_EMPTY_WINDOW;
  m.window = empty ? 0 : s.window;
  m.window_size = s.window_size;
  m.count = empty ? 0 : s.count;
  m.aggregate_bytes = empty ? 0 : s.bytes;
  m.latency_sum = empty ? 0 : s.latency_sum;
  m.min_latency = empty ? 0 : s.min_latency;
  m.max_latency = empty ? 0 : s.max_latency;
  m.record_kind = s.record_kind;
  m.final = s.final;
  m.timestamp = s.timestamp;
  size_t n = 0;
  pb_get_encoded_size(&n, monitoring_MonitoringMessage_fields, &m);
  std::string out(n + 1, '\0');
  out[0] = '\x7f';
  pb_ostream_t os =
      pb_ostream_from_buffer(reinterpret_cast<pb_byte_t *>(&out[1]), n);
  EXPECT_TRUE(pb_encode(&os, monitoring_MonitoringMessage_fields, &m));
  return out;
}

/* Decodes a value with the tools' decoder and checks it. */
inline w4_record decode(const std::string &value) {
  w4_record rec;
  std::string err;
  EXPECT_TRUE(w4_record_decode(value.data(), value.size(), &rec, &err)) << err;
  EXPECT_TRUE(w4_record_sane(rec, &err)) << err;
  return rec;
}

} // namespace
