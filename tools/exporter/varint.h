/* Unsigned varints, base 128 as on the protobuf wire, for the exporter's
 * saved state and its framing. */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/* Appends v. */
static inline void w4_varint_put(std::string *out, uint64_t v) {
  do {
    uint8_t b = v & 0x7f;
    v >>= 7;
    out->push_back(static_cast<char>(v ? b | 0x80 : b));
  } while (v);
}

/* Reads one at *pos of p[0, len) into *v and moves *pos past it; false when
 * the bytes end first or it is longer than ten bytes. */
static inline bool w4_varint_get(const char *p, size_t len, size_t *pos,
                                 uint64_t *v) {
  *v = 0;
  for (int shift = 0; shift < 64 && *pos < len; shift += 7) {
    uint8_t b = static_cast<uint8_t>(p[(*pos)++]);
    *v |= static_cast<uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80))
      return true;
  }
  return false;
}
