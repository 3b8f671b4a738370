/* Decoding and printing of monitoring records, shared by the tools. */
#pragma once

#include "monitoring.pb.h"

#include <cstddef>
#include <cstdint>
#include <string>

/* One decoded monitoring record: the numeric fields in the generated message,
 * the string fields copied out. Absent strings are empty, as in proto3; the
 * has_* flags tell an absent string from an empty one. */
struct w4_record {
  monitoring_MonitoringMessage msg; /* callback slots cleared after decoding */
  std::string client_id;
  std::string group_id;
  std::string session_id;
  std::string topic;
  std::string cluster_id;
  bool has_group_id;
  bool has_cluster_id;
};

/* Decodes a framed record value (0x7F, then the message). On failure returns
 * false with a reason in *err, and *rec holds nothing of use. */
bool w4_record_decode(const void *value, size_t len, w4_record *rec,
                      std::string *err);

/* One JSON object, every field by its schema name, no trailing newline. */
std::string w4_record_json(const w4_record &rec);

/* One readable line, no trailing newline. */
std::string w4_record_line(const w4_record &rec);

/* Appends s to out as a JSON string literal, quotes included. */
void w4_json_string(std::string *out, const std::string &s);

/* Length of the valid UTF-8 sequence that starts at s[i], 0 when the byte
 * there does not start one (ASCII bytes included). */
size_t w4_utf8_len(const std::string &s, size_t i);

/* "HH:MM:SS.mmm" of a millisecond time in local time. */
std::string w4_clock_str(int64_t ms);
