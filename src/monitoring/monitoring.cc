/* The monitoring record's initialiser and string attachment. */
#include "monitoring/monitoring.h"

#include <cstring>

/* Zeroes the record and sets the largest 32-bit latency as minimum. */
MonitoringMessage *monitoring_message_init(MonitoringMessage *msg) {
  memset(msg, 0, sizeof(*msg));
  msg->min_latency = 2147483647;
  return msg;
}

/* nanopb encode callback: writes the attached string, or nothing without one.
 * An attached empty string is written as its tag and a zero length. */
static bool string_writer(pb_ostream_t *stream, const pb_field_t *field,
                          void *const *arg) {
  const char *str = static_cast<const char *>(*arg);
  if (!str)
    return true;
  if (!pb_encode_tag_for_field(stream, field))
    return false;
  return pb_encode_string(stream, reinterpret_cast<const pb_byte_t *>(str),
                          strlen(str));
}

/* Attaches str to slot by pointer; the string's owner keeps it alive. */
void string_encode_callback(pb_callback_t *slot, const char *str) {
  slot->funcs.encode = string_writer;
  slot->arg = const_cast<char *>(str);
}
