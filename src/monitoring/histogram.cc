/* The latency histogram's encoding in the plug-in's records: two packed
 * repeated fields, the indices of the non-empty buckets and their counts.
 * Background thread, inside the publish pass. */
#include "monitoring/histogram_encode.h"

/* Bytes of v as a varint. */
static size_t histogram_varint_size(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    n++;
  }
  return n;
}

bool histogram_counts_complete(const uint32_t *counts, int64_t total) {
  uint64_t sum = 0;
  for (int i = 0; i < HISTOGRAM_BUCKET_CNT; i++)
    sum += counts[i];
  return total > 0 && sum == static_cast<uint64_t>(total);
}

bool histogram_encode_packed(pb_ostream_t *stream, const pb_field_t *field,
                             const uint32_t *counts, int64_t total,
                             bool indices) {
  if (!histogram_counts_complete(counts, total))
    return true; /* nothing written: a record without histogram */
  size_t len = 0;
  for (int i = 0; i < HISTOGRAM_BUCKET_CNT; i++)
    if (counts[i])
      len +=
          histogram_varint_size(indices ? static_cast<uint64_t>(i) : counts[i]);
  if (!pb_encode_tag(stream, PB_WT_STRING, field->tag) ||
      !pb_encode_varint(stream, len))
    return false;
  for (int i = 0; i < HISTOGRAM_BUCKET_CNT; i++)
    if (counts[i] &&
        !pb_encode_varint(stream,
                          indices ? static_cast<uint64_t>(i) : counts[i]))
      return false;
  return true;
}
