#include "generators/planned/bucket_sort.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "generators/planned/small_sort.hpp"
#include "pool/interrupt.hpp"

namespace gapweave {

Extent extent_of(const double* values, std::size_t n, std::size_t stride) {
    // Four independent lanes, so that the loop is not one long chain of
    // dependent comparisons.
    double low[4] = {INFINITY, INFINITY, INFINITY, INFINITY};
    double high[4] = {-INFINITY, -INFINITY, -INFINITY, -INFINITY};
    bool finite = true;
    std::size_t r = 0;
    for (; r + 4 <= n; r += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const double value = values[(r + lane) * stride];
            finite &= std::isfinite(value);
            low[lane] = value < low[lane] ? value : low[lane];
            high[lane] = value > high[lane] ? value : high[lane];
        }
    }
    for (; r < n; ++r) {
        const double value = values[r * stride];
        finite &= std::isfinite(value);
        low[0] = value < low[0] ? value : low[0];
        high[0] = value > high[0] ? value : high[0];
    }
    return {std::min({low[0], low[1], low[2], low[3]}),
            std::max({high[0], high[1], high[2], high[3]}), finite};
}

namespace {

constexpr int kMaxDepth = 3;

// The buckets over finite values from `low` on: fine buckets, at least as
// many as values, grouped into at most 512 coarse ones.
struct Grid {
    double low;
    double scale;
    int fine_bits;
    int coarse_shift;
    std::size_t fine_buckets;
    std::size_t coarse_buckets;

    std::size_t fine_of(double value) const noexcept {
        return std::min(static_cast<std::size_t>((value - low) * scale), fine_buckets - 1);
    }
};

// One level of the bucket sort, `depth` levels below the first.
class BucketSort {
public:
    BucketSort(std::vector<KeyedRow>& scratch, int depth) : scratch_(scratch), depth_(depth) {}

    void sort(const SortSource& source, SortTarget target, const std::optional<Extent>& known);

private:
    void copy_all(const SortSource& source, SortTarget target) const;
    // Infinities and NaNs at either end, the finite values bucketed between.
    void sort_apart(const SortSource& source, SortTarget target);
    // Every value into its coarse bucket's part of the target; returns the
    // parts' starts (and the end).
    std::vector<std::uint32_t> scatter(const SortSource& source, SortTarget target,
                                       const Grid& grid) const;
    // Orders coarse part `c`, positions [first, end) of the target.
    void sort_part(SortTarget target, std::size_t first, std::size_t end, std::size_t c,
                   const Grid& grid);

    std::vector<KeyedRow>& scratch_;
    int depth_;
    // A part's entries, and its fine buckets' starts: reused from part to part.
    std::vector<double> part_values_;
    std::vector<std::uint32_t> part_rows_;
    std::vector<std::uint32_t> fine_start_;
};

void BucketSort::copy_all(const SortSource& source, SortTarget target) const {
    for (std::size_t i = 0; i < source.n; ++i) {
        target.values[i] = source.value(i);
        target.rows[i] = source.row(i);
    }
}

void BucketSort::sort(const SortSource& source, SortTarget target,
                      const std::optional<Extent>& known) {
    const std::size_t n = source.n;
    const Extent extent = known ? *known : extent_of(source.values, n, source.stride);
    if (extent.finite && n <= kInsertionLimit) {
        // Insertion compares numerically, which needs values that are not NaN.
        copy_all(source, target);
        sort_small_range(target.values, target.rows, 0, n, scratch_);
        return;
    }
    if (!extent.finite) {
        sort_apart(source, target);
        return;
    }
    const double range = extent.high - extent.low;
    // At most one value per fine bucket on average: normal data crowd the
    // middle buckets several times over.
    const int fine_bits = std::bit_width(n);
    const double scale = std::ldexp(1.0, fine_bits) / range;
    if (!extent.finite || !(range > 0.0) || !std::isfinite(range) || !std::isfinite(scale) ||
        depth_ >= kMaxDepth) {
        copy_all(source, target);
        sort_crowd(target.values, target.rows, 0, n, scratch_);
        return;
    }
    const std::size_t fine_buckets = std::size_t{1} << fine_bits;
    const int coarse_shift = std::max(0, fine_bits - 9);
    const Grid grid{extent.low,   scale,        fine_bits,
                    coarse_shift, fine_buckets, fine_buckets >> coarse_shift};
    const std::vector<std::uint32_t> coarse_start = scatter(source, target, grid);
    for (std::size_t c = 0; c < grid.coarse_buckets; ++c) {
        stop_point();
        sort_part(target, coarse_start[c], coarse_start[c + 1], c, grid);
    }
}

void BucketSort::sort_apart(const SortSource& source, SortTarget target) {
    // Infinities and NaNs sort below (sign bit set) or above every finite
    // value: the finite ones go through the buckets on their own and the
    // rest, usually few, by radix at either end.
    const std::size_t n = source.n;
    std::vector<double> finite_values;
    std::vector<std::uint32_t> finite_rows;
    std::size_t low_end = 0;
    for (std::size_t i = 0; i < n; ++i) {
        stop_point_at(i);
        const double value = source.value(i);
        if (std::isfinite(value)) {
            finite_values.push_back(value);
            finite_rows.push_back(source.row(i));
        } else if (std::signbit(value)) {
            target.values[low_end] = value;
            target.rows[low_end++] = source.row(i);
        }
    }
    const std::size_t high_begin = low_end + finite_values.size();
    for (std::size_t i = 0, at = high_begin; i < n; ++i) {
        const double value = source.value(i);
        if (!std::isfinite(value) && !std::signbit(value)) {
            target.values[at] = value;
            target.rows[at++] = source.row(i);
        }
    }
    sort_crowd(target.values, target.rows, 0, low_end, scratch_);
    BucketSort(scratch_, depth_)
        .sort({finite_values.data(), 1, finite_rows.data(), finite_values.size()},
              {target.values + low_end, target.rows + low_end}, std::nullopt);
    sort_crowd(target.values, target.rows, high_begin, n, scratch_);
}

std::vector<std::uint32_t> BucketSort::scatter(const SortSource& source, SortTarget target,
                                               const Grid& grid) const {
    const std::size_t n = source.n;
    std::vector<std::uint32_t> coarse_start(grid.coarse_buckets + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        stop_point_at(i);  // sorting a large column takes a while
        ++coarse_start[(grid.fine_of(source.value(i)) >> grid.coarse_shift) + 1];
    }
    for (std::size_t b = 0; b < grid.coarse_buckets; ++b) coarse_start[b + 1] += coarse_start[b];
    std::vector<std::uint32_t> next(coarse_start.begin(), coarse_start.end() - 1);
    for (std::size_t i = 0; i < n; ++i) {
        stop_point_at(i);
        const double value = source.value(i);
        const std::uint32_t at = next[grid.fine_of(value) >> grid.coarse_shift]++;
        target.values[at] = value;
        target.rows[at] = source.row(i);
    }
    return coarse_start;
}

void BucketSort::sort_part(SortTarget target, std::size_t first, std::size_t end, std::size_t c,
                           const Grid& grid) {
    // A coarse part is split into fine buckets of its own: its share of the
    // grid, refined by a power of two to about two buckets per value (exact,
    // so bucket order is still value order). Equal values then rarely share
    // a bucket with others, and one insertion pass over the part orders
    // what does.
    const std::size_t crowded =
        std::max<std::size_t>(std::size_t{16} << grid.coarse_shift, 4 * kInsertionLimit);
    const std::size_t size = end - first;
    if (size <= kInsertionLimit) {
        if (size > 1) sort_small_range(target.values, target.rows, first, end, scratch_);
        return;
    }
    part_values_.assign(target.values + first, target.values + end);
    part_rows_.assign(target.rows + first, target.rows + end);
    if (size > crowded) {
        BucketSort(scratch_, depth_ + 1)
            .sort({part_values_.data(), 1, part_rows_.data(), size},
                  {target.values + first, target.rows + first}, std::nullopt);
        return;
    }
    const int refine =
        std::max(0, static_cast<int>(std::bit_width(2 * size - 1)) - grid.coarse_shift);
    const int part_bits = grid.coarse_shift + refine;
    // The grid position times 2^refine, an exact scaling of the same
    // product the coarse bucket came from (a scale times 2^refine could
    // pass the largest double where the scale alone does not).
    const double refine_factor = std::ldexp(1.0, refine);
    const std::size_t part_buckets = std::size_t{1} << part_bits;
    const std::size_t base = c << part_bits;
    const double low = grid.low;
    const double scale = grid.scale;
    const auto bucket_of = [&](double value) {
        return std::min(static_cast<std::size_t>(((value - low) * scale) * refine_factor) - base,
                        part_buckets - 1);
    };
    fine_start_.assign(part_buckets + 1, 0);
    for (const double value : part_values_) ++fine_start_[bucket_of(value) + 1];
    const std::uint32_t largest = *std::max_element(fine_start_.begin(), fine_start_.end());
    for (std::size_t f = 0; f < part_buckets; ++f) fine_start_[f + 1] += fine_start_[f];
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t at = first + fine_start_[bucket_of(part_values_[i])]++;
        target.values[at] = part_values_[i];
        target.rows[at] = part_rows_[i];
    }
    if (largest <= kInsertionLimit) {
        // Values of earlier buckets are all smaller: an entry never moves
        // out of its own bucket.
        insertion_sort(target.values, target.rows, first, end);
        return;
    }
    // fine_start_[f] now ends fine bucket f.
    std::size_t from = first;
    for (std::size_t f = 0; f < part_buckets; ++f) {
        const std::size_t to = first + fine_start_[f];
        if (to - from > 1) sort_small_range(target.values, target.rows, from, to, scratch_);
        from = to;
    }
}

}  // namespace

void bucket_sort(const SortSource& source, SortTarget target, std::vector<KeyedRow>& scratch,
                 const std::optional<Extent>& known) {
    BucketSort(scratch, 0).sort(source, target, known);
}

}  // namespace gapweave
