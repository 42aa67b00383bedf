// The sort behind a sorted column: values with their rows, stably by
// total-order key, by buckets of equal width over the values' range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "generators/planned/radix_sort.hpp"

namespace gapweave {

// The smallest and largest of some values, and whether all are finite.
struct Extent {
    double low;
    double high;
    bool finite;
};

// The extent of n values values[i * stride].
Extent extent_of(const double* values, std::size_t n, std::size_t stride);

// The entries a sort reads: n values values[i * stride] with their rows,
// rows[i], or i itself where rows is null.
struct SortSource {
    const double* values;
    std::size_t stride;
    const std::uint32_t* rows;
    std::size_t n;

    double value(std::size_t i) const noexcept { return values[i * stride]; }
    std::uint32_t row(std::size_t i) const noexcept {
        return rows != nullptr ? rows[i] : static_cast<std::uint32_t>(i);
    }
};

// Where a sort writes its n entries.
struct SortTarget {
    double* values;
    std::uint32_t* rows;
};

// Sorts `source` into `target`, stably by total-order key.
//
// Finite values spanning a finite, non-zero range go by buckets of equal
// width: bucket(v) = floor((v - low) * scale) never decreases as v grows,
// so bucket order is value order. There are at least as many fine buckets
// as values, grouped into 512 coarse ones: one pass scatters the values
// into their coarse bucket's part of the target, then each coarse part
// (small enough to stay in cache) is split into finer buckets and ordered
// within them. A coarse part that holds far more than its share (data
// bunched far from an outlier, or heavy tails) is bucketed again over its
// own range, a few levels deep at most. Infinities and NaNs are first set
// apart at either end, so that a column holding some still has its finite
// values bucketed. Anything else goes by radix. Every step keeps the order
// of equal values, so equal values keep their rows in order. `known`, when
// given, is the values' extent, found elsewhere. `scratch` is the radix
// sort's buffer.
void bucket_sort(const SortSource& source, SortTarget target, std::vector<KeyedRow>& scratch,
                 const std::optional<Extent>& known = std::nullopt);

}  // namespace gapweave
