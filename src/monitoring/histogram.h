/* The latency histogram's bucket layout, shared by the plug-in (recording,
 * encoding) and the tools (decoding, percentiles, the exporter's buckets).
 *
 * Latencies are whole milliseconds. Bucket i holds the latencies L with
 * histogram_bounds[i - 1] < L <= histogram_bounds[i] (bucket 0: L = 0), the
 * last bucket every latency above HISTOGRAM_MAX_BOUND_MS (about 69 minutes).
 * Buckets are exact (one value each) up to 8 ms; above, every bound is at
 * most 1.25 times the one below it, so no bucket is wider than 25 % of its
 * lower edge. The layout is fixed: records carry bucket indices, and a
 * changed layout would need new field numbers in the schema.
 *
 * The bounds include 1, 2, 3, 5, 10, 30, 100, 300 ms, 1, 2, 3, 10, 30 and
 * 60 s, the exporter's `le` bounds, so that every bucket falls wholly under
 * one of them. */
#pragma once

#include <cstdint>

/* The record's fields: bucket indices and their counts, both packed. */
constexpr unsigned HISTOGRAM_INDEX_FIELD = 25;
constexpr unsigned HISTOGRAM_COUNT_FIELD = 26;

/* 73 bounded buckets and the overflow bucket. */
constexpr int HISTOGRAM_BUCKET_CNT = 74;

/* Upper bounds in ms; the overflow bucket's is a sentinel above any
 * clamped latency. */
inline constexpr uint32_t histogram_bounds[HISTOGRAM_BUCKET_CNT] = {
    0,       1,         2,       3,       4,       5,       6,       7,
    8,       10,        12,      14,      17,      21,      25,      30,
    37,      45,        55,      67,      82,      100,     125,     155,
    193,     241,       300,     367,     448,     548,     669,     818,
    1000,    1189,      1414,    1682,    2000,    2449,    3000,    3667,
    4481,    5477,      6694,    8182,    10000,   12457,   15518,   19332,
    24082,   30000,     35676,   42426,   50454,   60000,   75000,   93750,
    117187,  146483,    183103,  228878,  286097,  357621,  447026,  558782,
    698477,  873096,    1091370, 1364212, 1705265, 2131581, 2664476, 3330595,
    4163243, UINT32_MAX};

/* The largest latency of a bounded bucket. */
constexpr uint32_t HISTOGRAM_MAX_BOUND_MS =
    histogram_bounds[HISTOGRAM_BUCKET_CNT - 2];

/* Latencies are clamped to this, the overflow bucket's smallest value,
 * before the index is taken. */
constexpr uint64_t HISTOGRAM_CLAMP_MS = HISTOGRAM_MAX_BOUND_MS + 1ull;

/* The coarse index: latency + 8 split into octaves of 8 equal cells each,
 * every cell at most 12.5 % wide, so narrower than any bucket above 8 ms;
 * a cell therefore meets at most two buckets, and one comparison with the
 * bound of the first of them finishes the lookup. */
constexpr int HISTOGRAM_CELL_BITS = 3;
constexpr uint64_t HISTOGRAM_CELL_BIAS = 1u << HISTOGRAM_CELL_BITS;

/* The cell of a clamped latency v. */
constexpr uint32_t histogram_cell(uint64_t v) {
  uint64_t w = v + HISTOGRAM_CELL_BIAS;
  int octave = 63 - __builtin_clzll(w);
  return static_cast<uint32_t>(
      ((octave - HISTOGRAM_CELL_BITS) << HISTOGRAM_CELL_BITS) +
      ((w >> (octave - HISTOGRAM_CELL_BITS)) & (HISTOGRAM_CELL_BIAS - 1)));
}

constexpr uint32_t HISTOGRAM_CELL_CNT = histogram_cell(HISTOGRAM_CLAMP_MS) + 1;

/* The bucket of latency v by a search of the bounds: the definition that
 * the fast index must agree with. */
constexpr int histogram_bucket_search(uint64_t v) {
  int i = 0;
  while (i < HISTOGRAM_BUCKET_CNT - 1 && v > histogram_bounds[i])
    i++;
  return i;
}

/* First bucket of every cell. */
struct histogram_cell_table {
  uint8_t first[HISTOGRAM_CELL_CNT];
};

/* Builds the cell table from the bounds, at compile time. */
constexpr histogram_cell_table histogram_make_cells() {
  histogram_cell_table t{};
  for (uint32_t c = 0; c < HISTOGRAM_CELL_CNT; c++) {
    uint32_t octave = (c >> HISTOGRAM_CELL_BITS) + HISTOGRAM_CELL_BITS;
    uint64_t sub = c & (HISTOGRAM_CELL_BIAS - 1);
    uint64_t lowest =
        ((HISTOGRAM_CELL_BIAS + sub) << (octave - HISTOGRAM_CELL_BITS)) -
        HISTOGRAM_CELL_BIAS;
    t.first[c] = static_cast<uint8_t>(histogram_bucket_search(lowest));
  }
  return t;
}

inline constexpr histogram_cell_table histogram_cells = histogram_make_cells();

/* True when every cell meets at most two buckets and the bounds grow by at
 * most 25 % above the exact buckets: what the index and the layout's
 * promise rest on. */
constexpr bool histogram_layout_sound() {
  for (uint32_t c = 0; c < HISTOGRAM_CELL_CNT; c++) {
    uint32_t octave = (c >> HISTOGRAM_CELL_BITS) + HISTOGRAM_CELL_BITS;
    uint64_t sub = c & (HISTOGRAM_CELL_BIAS - 1);
    uint64_t highest =
        ((HISTOGRAM_CELL_BIAS + sub + 1) << (octave - HISTOGRAM_CELL_BITS)) -
        HISTOGRAM_CELL_BIAS - 1;
    if (highest > HISTOGRAM_CLAMP_MS)
      highest = HISTOGRAM_CLAMP_MS;
    if (histogram_bucket_search(highest) > histogram_cells.first[c] + 1)
      return false;
  }
  for (int i = 1; i < HISTOGRAM_BUCKET_CNT - 1; i++)
    if (histogram_bounds[i] <= histogram_bounds[i - 1] ||
        (histogram_bounds[i] - histogram_bounds[i - 1] > 1 &&
         4ull * histogram_bounds[i] > 5ull * histogram_bounds[i - 1]))
      return false;
  return HISTOGRAM_MAX_BOUND_MS >= 3600000;
}
static_assert(histogram_layout_sound(), "histogram bucket layout");

/* The bucket of a latency in ms (>= 0; anything larger than
 * HISTOGRAM_MAX_BOUND_MS, a negative value cast included, overflows). Inline
 * on the message path: a clamp, a count of leading zeros, two loads and one
 * comparison, no loop. */
static inline uint32_t histogram_index(int64_t latency_ms) {
  uint64_t v = static_cast<uint64_t>(latency_ms);
  v = v < HISTOGRAM_CLAMP_MS ? v : HISTOGRAM_CLAMP_MS;
  uint32_t i = histogram_cells.first[histogram_cell(v)];
  return i + (v > histogram_bounds[i] ? 1u : 0u);
}

/* Per-window counts, allocated with the window's bucket when the setting is
 * on: HISTOGRAM_BUCKET_CNT * 4 = 296 bytes. 32-bit counts: a window whose
 * counts no longer add up to its message count (more than 2^32 - 1 messages
 * in one bucket) is published without a histogram. */
typedef uint32_t histogram_counts[HISTOGRAM_BUCKET_CNT];
constexpr unsigned HISTOGRAM_COUNTS_SIZE = sizeof(histogram_counts);
static_assert(HISTOGRAM_COUNTS_SIZE == 296, "histogram size per window");
