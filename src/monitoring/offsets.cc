/* The offset range's encoding in the plug-in's records: two int64 varints.
 * Background thread, inside the publish pass. */
#include "monitoring/offsets_encode.h"

/* Bytes of v as a varint; a negative int64 takes ten. */
static size_t offsets_varint_size(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    n++;
  }
  return n;
}

size_t offset_range_encoded_size(const offset_range *r) {
  if (!offset_range_present(r))
    return 0;
  return offsets_varint_size(OFFSETS_MIN_FIELD << 3) +
         offsets_varint_size(static_cast<uint64_t>(r->min)) +
         offsets_varint_size(OFFSETS_MAX_FIELD << 3) +
         offsets_varint_size(static_cast<uint64_t>(r->max));
}

bool offset_range_encode(pb_ostream_t *stream, const offset_range *r) {
  return pb_encode_tag(stream, PB_WT_VARINT, OFFSETS_MIN_FIELD) &&
         pb_encode_varint(stream, static_cast<uint64_t>(r->min)) &&
         pb_encode_tag(stream, PB_WT_VARINT, OFFSETS_MAX_FIELD) &&
         pb_encode_varint(stream, static_cast<uint64_t>(r->max));
}
