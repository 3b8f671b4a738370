/* The plug-in's side of the latency histogram: checks and encodes a
 * window's counts into the record's two packed fields. */
#pragma once

#include "monitoring/histogram.h"
#include "platform/platform.h"

#include <pb_encode.h>

/* True when counts (HISTOGRAM_BUCKET_CNT of them) add up to total > 0: no
 * 32-bit count has wrapped. */
W4_EXPORT bool histogram_counts_complete(const uint32_t *counts, int64_t total);

/* Writes field (tag, packed length, varints) with the indices of the
 * non-empty buckets, ascending, or with their counts in the same order;
 * writes nothing when the counts are not complete. False only when the
 * stream fails. */
W4_EXPORT bool histogram_encode_packed(pb_ostream_t *stream,
                                       const pb_field_t *field,
                                       const uint32_t *counts, int64_t total,
                                       bool indices);
