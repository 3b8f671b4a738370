/* The plug-in's side of the latency histogram: checks a window's counts and
 * writes them as the record's two packed fields, after the fields that the
 * generated table encodes (all numbered lower). */
#pragma once

#include "monitoring/histogram.h"
#include "platform/platform.h"

#include <cstddef>
#include <pb_encode.h>

/* True when counts (HISTOGRAM_BUCKET_CNT of them) add up to total > 0: no
 * 32-bit count has wrapped. */
W4_EXPORT bool histogram_counts_complete(const uint32_t *counts, int64_t total);

/* Bytes that histogram_encode writes for these counts of a window of total
 * messages; 0 when they are not complete. */
W4_EXPORT size_t histogram_encoded_size(const uint32_t *counts, int64_t total);

/* Writes field 25 (tag, packed length, the indices of the non-empty buckets
 * ascending) and field 26 (their counts in the same order), for counts that
 * histogram_encoded_size found complete. False only when the stream fails. */
W4_EXPORT bool histogram_encode(pb_ostream_t *stream, const uint32_t *counts);
