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

/* The packed lengths of the two fields' values. */
static void histogram_packed_lengths(const uint32_t *counts, size_t *indices,
                                     size_t *values) {
  *indices = *values = 0;
  for (int i = 0; i < HISTOGRAM_BUCKET_CNT; i++)
    if (counts[i]) {
      *indices += histogram_varint_size(static_cast<uint64_t>(i));
      *values += histogram_varint_size(counts[i]);
    }
}

bool histogram_counts_complete(const uint32_t *counts, int64_t total) {
  uint64_t sum = 0;
  for (int i = 0; i < HISTOGRAM_BUCKET_CNT; i++)
    sum += counts[i];
  return total > 0 && sum == static_cast<uint64_t>(total);
}

size_t histogram_encoded_size(const uint32_t *counts, int64_t total) {
  if (!histogram_counts_complete(counts, total))
    return 0;
  size_t indices, values;
  histogram_packed_lengths(counts, &indices, &values);
  return histogram_varint_size(HISTOGRAM_INDEX_FIELD << 3) +
         histogram_varint_size(indices) + indices +
         histogram_varint_size(HISTOGRAM_COUNT_FIELD << 3) +
         histogram_varint_size(values) + values;
}

bool histogram_encode(pb_ostream_t *stream, const uint32_t *counts) {
  size_t indices, values;
  histogram_packed_lengths(counts, &indices, &values);
  if (!pb_encode_tag(stream, PB_WT_STRING, HISTOGRAM_INDEX_FIELD) ||
      !pb_encode_varint(stream, indices))
    return false;
  for (int i = 0; i < HISTOGRAM_BUCKET_CNT; i++)
    if (counts[i] && !pb_encode_varint(stream, static_cast<uint64_t>(i)))
      return false;
  if (!pb_encode_tag(stream, PB_WT_STRING, HISTOGRAM_COUNT_FIELD) ||
      !pb_encode_varint(stream, values))
    return false;
  for (int i = 0; i < HISTOGRAM_BUCKET_CNT; i++)
    if (counts[i] && !pb_encode_varint(stream, counts[i]))
      return false;
  return true;
}
