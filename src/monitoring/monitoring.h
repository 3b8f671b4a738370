/* The monitoring record: the generated MonitoringMessage, its initialiser and
 * the attachment of borrowed strings. */
#pragma once

#include "monitoring.pb.h"
#include "platform/platform.h"

#include <pb_encode.h>

typedef monitoring_MonitoringMessage MonitoringMessage;

/* The record value's first byte, in front of the encoded message. */
constexpr unsigned char W4_RECORD_MAGIC = 0x7F;

/* Zeroes every field and callback slot, sets min_latency to 2147483647 and
 * returns msg. */
W4_EXPORT MonitoringMessage *monitoring_message_init(MonitoringMessage *msg);

/* Attaches str (borrowed, may be none) to slot with the string writer. */
W4_EXPORT void string_encode_callback(pb_callback_t *slot, const char *str);
