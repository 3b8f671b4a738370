/* The offset range of a window: the lowest and highest Kafka offset among
 * the messages it counted, kept by the plug-in's recording, written as the
 * record's fields 27 and 28, and read back by the tools. */
#pragma once

#include <cstdint>

/* The record's fields: lowest and highest offset, int64 varints. */
constexpr unsigned OFFSETS_MIN_FIELD = 27;
constexpr unsigned OFFSETS_MAX_FIELD = 28;

/* A window's range. Empty: min INT64_MAX and max -1, so that no offset
 * has to be tested before it is added (see offset_range_add). */
struct offset_range {
  int64_t min;
  int64_t max;
};

/* Sets the range empty. */
static inline void offset_range_init(offset_range *r) {
  r->min = INT64_MAX;
  r->max = -1;
}

/* Widens the range by one message's offset; a negative offset (the message
 * has none: RD_KAFKA_OFFSET_INVALID and the like) leaves it alone. No test
 * of its own: taken unsigned, a negative offset is above any minimum, and
 * taken signed below any maximum, so two comparisons that the compiler
 * turns into conditional moves do it all. Inline on the message path. */
static inline void offset_range_add(offset_range *r, int64_t offset) {
  if (static_cast<uint64_t>(offset) < static_cast<uint64_t>(r->min))
    r->min = offset;
  if (offset > r->max)
    r->max = offset;
}

/* True when at least one message with an offset was added. */
static inline bool offset_range_present(const offset_range *r) {
  return r->max >= 0;
}
