#include "generators/planned/sorted_column.hpp"

#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "generators/planned/bucket_sort.hpp"
#include "generators/total_order.hpp"
#include "pool/interrupt.hpp"

namespace gapweave {

bool SortedColumn::free_of_nan() const noexcept {
    return values.empty() || (!std::isnan(values.front()) && !std::isnan(values.back()));
}

namespace {

// Sorts n cells, cells[r * stride] for row r.
SortedColumn sort_strided(const double* cells, std::size_t n, std::size_t stride,
                          const std::optional<Extent>& known, SortedColumn sorted) {
    expect(n < UINT32_MAX, "too many rows for a sorted column");
    // Entries made here are left unwritten until the sort fills them.
    sorted.values.resize(n);
    sorted.rows.resize(n);
    std::vector<KeyedRow> scratch;
    bucket_sort({cells, stride, nullptr, n}, {sorted.values.data(), sorted.rows.data()}, scratch,
                known);
    return sorted;
}

}  // namespace

SortedColumn sort_cells(std::span<const double> cells) {
    return sort_strided(cells.data(), cells.size(), 1, std::nullopt, {});
}

SortedColumn sort_column(const Matrix& matrix, std::size_t column,
                         const std::optional<KeyRange>& range, SortedColumn storage) {
    expect(column < matrix.cols, "a sorted column outside the table");
    if (matrix.rows == 0) return {};
    std::optional<Extent> known;
    if (range) {
        // The extent the sort would find: NaNs and infinities sit at the
        // ends of the total order, so the column is finite exactly when
        // both ends are; zeros of either sign give the same buckets.
        const double low = value_of_unsigned_key(range->low);
        const double high = value_of_unsigned_key(range->high);
        known = Extent{low, high, std::isfinite(low) && std::isfinite(high)};
    }
    return sort_strided(matrix.data.data() + column, matrix.rows, matrix.cols, known,
                        std::move(storage));
}

SortedColumn present_in(const SortedColumn& sorted, const Matrix& matrix, std::size_t hole) {
    // Which rows still hold a value in the hole column, one byte per row, so
    // that the filter below never reads the matrix in value order.
    std::vector<std::uint8_t> present(matrix.rows);
    for (std::size_t r = 0; r < matrix.rows; ++r) {
        stop_point_at(r);
        present[r] = !std::isnan(matrix.at(r, hole));
    }
    SortedColumn kept;
    kept.values.reserve(sorted.size());
    kept.rows.reserve(sorted.size());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        stop_point_at(i);
        const std::uint32_t row = sorted.rows[i];
        if (!present[row]) continue;
        expect(!std::isnan(sorted.values[i]), "a candidate's driver value is missing");
        kept.values.push_back(sorted.values[i]);
        kept.rows.push_back(row);
    }
    return kept;
}

}  // namespace gapweave
