#include "generators/pair_correlations.hpp"

#include <algorithm>
#include <cmath>

#include "generators/total_order.hpp"
#include "pool/job_scope.hpp"

// The Welford row loop below is built twice on x86-64, once for
// processors with FMA instructions: there std::fma is one instruction
// instead of a call into the maths library, and the loop over the columns
// takes wider vectors. Fused multiply-add is exactly rounded either way,
// and no other operation is reordered or contracted (-ffp-contract=off), so
// both give the same bits. The choice between them is made while the
// program is being loaded, before a sanitizer's runtime is ready to check
// it: sanitizer builds take the plain loop alone. That choice is an ifunc,
// which only glibc resolves (musl has none): other C libraries take the
// plain loop too.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__GLIBC__) && \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define GAPWEAVE_FMA_CLONES __attribute__((target_clones("fma", "default")))
#else
#define GAPWEAVE_FMA_CLONES
#endif

namespace gapweave {

namespace {

constexpr const char* kJobFailed = "a correlation job failed";

// How many ranges `count` columns or pairs are cut into: one per worker, fewer when count is
// smaller, and one (empty) for none.
std::size_t parts_for(std::size_t count, std::size_t workers) {
    return std::max<std::size_t>(1, std::min(count, workers));
}

// What column_moments sums and finds for each of its columns.
struct Moments {
    std::vector<double> sums;
    std::vector<double> running_mean;  // Welford's
    std::vector<double> squares;       // Welford's sum of squared deviations
    std::vector<std::uint64_t> low;    // smallest and largest keys
    std::vector<std::uint64_t> high;
    std::vector<std::size_t> present;

    explicit Moments(std::size_t width)
        : sums(width, 0.0),
          running_mean(width, 0.0),
          squares(width, 0.0),
          low(width, UINT64_MAX),
          high(width, 0),
          present(width, 0) {}
};

// The moments of `width` adjacent columns of a row-major table, over its
// rows in order; each column's range and present cells come with them,
// work that fits in the wait for each row's divisions.
// Ten parameters: each output is a restrict pointer of its own, which is
// what lets the compiler keep the columns' sums in vector registers across
// the rows; members of a struct would not tell it they never overlap.
GAPWEAVE_FMA_CLONES
void column_moments(const double* __restrict__ table, std::size_t rows, std::size_t cols,
                    std::size_t width, double* __restrict__ sums, double* __restrict__ running_mean,
                    double* __restrict__ squares, std::uint64_t* __restrict__ low,
                    std::uint64_t* __restrict__ high, std::size_t* __restrict__ present) {
    for (std::size_t r = 0; r < rows; ++r) {
        const double* row = table + r * cols;
        const double n = static_cast<double>(r + 1);
        for (std::size_t c = 0; c < width; ++c) {
            const double x = row[c];
            sums[c] += x;
            const double delta = x - running_mean[c];
            running_mean[c] = running_mean[c] + delta / n;
            squares[c] = std::fma(x - running_mean[c], delta, squares[c]);
            const std::uint64_t key = unsigned_order_key(x);
            low[c] = key < low[c] ? key : low[c];
            high[c] = key > high[c] ? key : high[c];
            present[c] += !std::isnan(x);
        }
    }
}

// The columns a job's pairs read, each once, with their means, and each
// pair's two places among them.
struct PairPlaces {
    std::vector<std::uint32_t> used;
    std::vector<double> used_means;
    std::vector<std::uint32_t> first;
    std::vector<std::uint32_t> second;
};

// The places of pairs [begin, end), pair p = (holes[p / m], candidates[p % m]).
PairPlaces pair_places(std::span<const std::uint32_t> holes,
                       std::span<const std::uint32_t> candidates, std::span<const double> means,
                       std::size_t begin, std::size_t end) {
    const std::size_t m = candidates.size();
    PairPlaces places;
    for (std::size_t p = begin; p < end; ++p) {
        places.used.push_back(holes[p / m]);
        places.used.push_back(candidates[p % m]);
    }
    std::vector<std::uint32_t>& used = places.used;
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());
    const auto place = [&used](std::uint32_t column) {
        return static_cast<std::uint32_t>(std::lower_bound(used.begin(), used.end(), column) -
                                          used.begin());
    };
    for (std::uint32_t column : used) places.used_means.push_back(means[column]);
    for (std::size_t p = begin; p < end; ++p) {
        places.first.push_back(place(holes[p / m]));
        places.second.push_back(place(candidates[p % m]));
    }
    return places;
}

// Covariance sums over the rows in order: pair p multiplies the deviations
// of used[first[p]] and used[second[p]] from their means; each row's
// deviations are taken once for every pair that needs them.
void covariance_sums(const double* __restrict__ table, std::size_t rows, std::size_t cols,
                     const PairPlaces& places, double* __restrict__ sums) {
    const std::span<const std::uint32_t> used = places.used;
    const std::span<const double> used_means = places.used_means;
    const std::span<const std::uint32_t> first = places.first;
    const std::span<const std::uint32_t> second = places.second;
    std::vector<double> deviation(used.size());
    for (std::size_t r = 0; r < rows; ++r) {
        const double* row = table + r * cols;
        for (std::size_t u = 0; u < used.size(); ++u) deviation[u] = row[used[u]] - used_means[u];
        for (std::size_t p = 0; p < first.size(); ++p)
            sums[p] += deviation[first[p]] * deviation[second[p]];
    }
}

}  // namespace

PairCorrelations::PairCorrelations(ThreadPool& pool, const Matrix& matrix,
                                   std::span<const std::uint32_t> holes,
                                   std::span<const std::uint32_t> candidates)
    : candidates_(candidates.size()),
      strengths_(holes.size() * candidates.size()),
      facts_{std::vector<std::optional<KeyRange>>(matrix.cols),
             std::vector<std::size_t>(matrix.cols)} {
    // Each column's sums run over its rows in order, exactly as one column
    // at a time would. Each job takes a range of columns (or of pairs) and
    // reads the table row by row for all of them together; which job sums
    // which column does not change a bit of the result.
    const double count = static_cast<double>(matrix.rows);
    std::vector<double> means(matrix.cols);
    std::vector<double> deviations(matrix.cols);
    find_moments(pool, matrix, means, deviations);
    const std::vector<double> covariances =
        find_covariances(pool, matrix, holes, candidates, means);
    // No guard against a zero deviation: a constant column gives NaN or
    // infinities, which never win the strict comparison of the driver choice.
    for (std::size_t i = 0; i < holes.size(); ++i) {
        for (std::size_t j = 0; j < candidates.size(); ++j) {
            const double covariance = covariances[i * candidates_ + j] / count;
            strengths_[i * candidates_ + j] =
                std::fabs(covariance / (deviations[holes[i]] * deviations[candidates[j]]));
        }
    }
}

void PairCorrelations::find_moments(ThreadPool& pool, const Matrix& matrix,
                                    std::vector<double>& means, std::vector<double>& deviations) {
    const std::size_t cols = matrix.cols;
    const double count = static_cast<double>(matrix.rows);
    parallel_for_parts(
        pool, cols, parts_for(cols, pool.max_count()),
        [&](std::size_t, std::size_t first, std::size_t end) {
            const std::size_t width = end - first;
            Moments m(width);
            column_moments(matrix.data.data() + first, matrix.rows, cols, width, m.sums.data(),
                           m.running_mean.data(), m.squares.data(), m.low.data(), m.high.data(),
                           m.present.data());
            for (std::size_t c = 0; c < width; ++c) {
                means[first + c] = m.sums[c] / count;
                deviations[first + c] = std::sqrt(m.squares[c] / count);
                facts_.ranges[first + c] = KeyRange{m.low[c], m.high[c]};
                facts_.present[first + c] = m.present[c];
            }
        },
        kJobFailed);
}

std::vector<double> PairCorrelations::find_covariances(ThreadPool& pool, const Matrix& matrix,
                                                       std::span<const std::uint32_t> holes,
                                                       std::span<const std::uint32_t> candidates,
                                                       std::span<const double> means) const {
    // Covariance sums of pair p = (holes[p / m], candidates[p % m]).
    std::vector<double> covariances(strengths_.size(), 0.0);
    parallel_for_parts(
        pool, covariances.size(), parts_for(covariances.size(), pool.max_count()),
        [&](std::size_t, std::size_t begin, std::size_t end) {
            const PairPlaces places = pair_places(holes, candidates, means, begin, end);
            // Summed apart from the other jobs' entries, which share cache lines.
            std::vector<double> sums(end - begin, 0.0);
            covariance_sums(matrix.data.data(), matrix.rows, matrix.cols, places, sums.data());
            std::copy(sums.begin(), sums.end(),
                      covariances.begin() + static_cast<std::ptrdiff_t>(begin));
        },
        kJobFailed);
    return covariances;
}

}  // namespace gapweave
