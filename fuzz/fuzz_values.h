/* Drawing the fuzz targets' values from the input. */
#pragma once

#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>

/* One of a small array's items. */
template <typename T, size_t N>
T pick(FuzzedDataProvider *in, T const (&items)[N]) {
  return items[in->ConsumeIntegralInRange<size_t>(0, N - 1)];
}

/* A number: mostly a small multiple of unit, sometimes one of the target's
 * extremes or anything at all. */
template <size_t N>
int64_t value_from(FuzzedDataProvider *in, int64_t unit,
                   const int64_t (&extremes)[N]) {
  switch (in->ConsumeIntegralInRange<int>(0, 3)) {
  case 0:
    return pick(in, extremes);
  case 1:
    return in->ConsumeIntegral<int64_t>();
  default:
    return unit * in->ConsumeIntegralInRange<int64_t>(0, 12);
  }
}
