/* The plug-in's side of the offset range: writes a window's range as the
 * record's fields 27 and 28, after every other field (all numbered
 * lower). */
#pragma once

#include "monitoring/offsets.h"
#include "platform/platform.h"

#include <cstddef>
#include <pb_encode.h>

/* Bytes that offset_range_encode writes for r: 0 when it is empty. */
W4_EXPORT size_t offset_range_encoded_size(const offset_range *r);

/* Writes fields 27 and 28 of a range that is not empty, both always, a 0
 * included: the fields are optional, and present means a message had that
 * offset. False only when the stream fails. */
W4_EXPORT bool offset_range_encode(pb_ostream_t *stream, const offset_range *r);
