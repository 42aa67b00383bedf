// Column distributions, mode comparisons and Gaussian targets.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "generators/common.hpp"
#include "generators/planned/driver_distributions.hpp"
#include "generators/utils.hpp"
#include "random/random_source.hpp"
#include "support/fault.hpp"

namespace gapweave {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = kMissing;
const double kNegNaN = -kMissing;

// Bit equality, so -0 differs from +0; any NaN matches an expected NaN, as
// the sign of a NaN made by arithmetic depends on the processor.
bool same_value(double got, double expected) {
    if (std::isnan(expected)) return std::isnan(got);
    return std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(expected);
}

struct Case {
    const char* name;
    std::vector<double> values;
    double mean, variance, center, spread;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
std::string case_name(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }

std::vector<ColumnDistribution> one_column(const Case& c) {
    return get_distribution(Matrix{c.values.size(), 1, c.values}, c.mean, c.variance);
}

class DistributionCases : public ::testing::TestWithParam<Case> {};

TEST_P(DistributionCases, CenterAndSpread) {
    const auto dist = one_column(GetParam());
    ASSERT_EQ(dist.size(), 1u);
    EXPECT_TRUE(same_value(dist[0].center, GetParam().center)) << dist[0].center;
    EXPECT_TRUE(same_value(dist[0].spread, GetParam().spread)) << dist[0].spread;
}

INSTANTIATE_TEST_SUITE_P(
    Distribution, DistributionCases,
    ::testing::Values(Case{"OddMedian", {3, 1, 2}, 0.5, 0.1, 2, 0.2},
                      Case{"EvenMedian", {4, 1, 3, 2}, 0.5, 0, 2.5, 0},
                      Case{"EvenMeanOneTakesLargest", {4, 1, 3, 2}, 1.0, 1, 4, 3},
                      Case{"EvenUpperPair", {4, 1, 3, 2}, 0.8, 2, 3.5, 6},
                      Case{"OddHighLevel", {3, 1, 2}, 0.9, 1, 3, 2},
                      Case{"MeanZero", {4, 1, 3, 2}, 0, 1, 1, 3},
                      Case{"MeanNegative", {4, 1, 3, 2}, -1, 1, 1, 3},
                      Case{"MeanNaN", {4, 1, 3, 2}, kNaN, 1, 1, 3},
                      Case{"NegativeZeroSortsFirst", {0.0, -0.0, 0.0}, 0, 1, -0.0, 0},
                      Case{"NaNSortsLast", {1, kNaN, 3}, 0.5, 0, 3, kNaN},
                      Case{"NegativeNaNSortsFirst", {1, kNegNaN, 3}, 0, 1, kNegNaN, kNaN},
                      Case{"InfiniteRangeTimesZero", {1, kInf, 3}, 0.5, 0, 3, kNaN},
                      Case{"InfiniteRange", {-kInf, 1, 3}, 0, 2, -kInf, kInf}),
    case_name);

class DistributionFaults : public ::testing::TestWithParam<Case> {};

TEST_P(DistributionFaults, IndexOutOfRange) {
    try {
        one_column(GetParam());
        FAIL() << "no fault";
    } catch (const Fault& f) {
        EXPECT_NE(f.message().find("index out of bounds"), std::string::npos) << f.message();
    }
}

INSTANTIATE_TEST_SUITE_P(Distribution, DistributionFaults,
                         ::testing::Values(Case{"OddMeanOne", {3, 1, 2}, 1.0, 0, 0, 0},
                                           Case{"EvenPastEnd", {4, 1, 3, 2}, 1.25, 0, 0, 0},
                                           Case{"HugeMeanSaturates", {4, 1, 3, 2}, 1e300, 0, 0, 0},
                                           Case{"ZeroRows", {}, 0.5, 0, 0, 0}),
                         case_name);

// Keys that share many leading bits push the search down to its last
// digit; sizes straddle the point where it searches directly.
TEST(Distribution, NthSmallestMatchesNthElement) {
    RandomSource rng = RandomSource::seed_from_u64(7);
    const std::uint64_t shared_bits[] = {0, 0xFFFF000000000000, 0xFFFFFFFFFFFF0000, ~0ull};
    for (std::uint64_t shared : shared_bits) {
        for (std::size_t size : {1u, 4096u, 4097u, 60000u}) {
            std::vector<std::uint64_t> keys(size);
            const std::uint64_t prefix = rng.next_u64() & shared;
            for (std::uint64_t& key : keys) {
                // A few distinct values among many copies, or all distinct.
                const std::uint64_t low =
                    size > 4096 && (rng.next_u64() & 1) ? 12345 : rng.next_u64();
                key = prefix | (low & ~shared);
            }
            for (std::size_t position : {std::size_t{0}, size / 2, size - 1}) {
                std::vector<std::uint64_t> expected = keys;
                std::nth_element(expected.begin(), expected.begin() + position, expected.end());
                EXPECT_EQ(nth_smallest(keys, position), expected[position])
                    << "shared " << shared << " size " << size << " position " << position;
            }
        }
    }
}

TEST(Distribution, TablePassesMatchEachColumn) {
    // Columns whose centre is settled by collecting keys after twelve or
    // twenty-four known bits, or only at sixty-four (a value repeated many
    // times), beside specials; rows odd and even, split among 1 or 3
    // workers, in groups of columns. Without centres, the smallest value
    // (or -0, for centres read from sorts) stands in wherever the centre is
    // sure to be finite.
    RandomSource rng = RandomSource::seed_from_u64(8);
    for (const std::size_t rows : {20001u, 40000u}) {
        const std::size_t cols = 20;
        Matrix m{rows, cols, std::vector<double>(rows * cols)};
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) {
                const double z = Gauss::sample(rng, 0.0, 1.0);
                const double values[] = {z,
                                         100.0 + z,
                                         std::floor(2.0 * z),
                                         z < 3.0 ? 1.0 : kInf,
                                         rng.uniform_below(1000) == 0 ? kNaN : -z,
                                         z < 2.0 ? z : 0x1p1023};  // two may sum past the largest
                m.at(r, c) = values[c % 6];
            }
        }
        std::vector<std::size_t> columns(cols);
        for (std::size_t c = 0; c < cols; ++c) columns[c] = c;
        for (const double mean : {0.0, 0.5, 0.999, 1.0}) {
            if (mean == 1.0 && rows % 2 == 1) continue;
            const std::uint32_t k = quantile_index(mean, rows);
            const auto expected = get_distribution(m, mean, 0.3);
            for (const std::size_t workers : {1u, 3u}) {
                ThreadPool pool(workers);
                const auto got = distributions_by_passes(pool, m, columns, k, 0.3);
                const auto uncentred =
                    distributions_by_passes(pool, m, columns, k, 0.3, Centres::kNanOnly);
                const auto later =
                    distributions_by_passes(pool, m, columns, k, 0.3, Centres::kFromSorts);
                // Given the first pass's findings, the other passes give the same.
                TableScan scan{std::vector<KeyRange>(cols), later.present};
                for (std::size_t c = 0; c < cols; ++c) scan.ranges[c] = *later.ranges[c];
                for (const Centres centres : {Centres::kAll, Centres::kFromSorts}) {
                    const auto given =
                        distributions_by_passes(pool, m, columns, k, 0.3, centres, &scan);
                    const auto& passes = centres == Centres::kAll ? got : later;
                    for (std::size_t c = 0; c < cols; ++c) {
                        EXPECT_TRUE(same_value(given.of[c].center, passes.of[c].center)) << c;
                        EXPECT_TRUE(same_value(given.of[c].spread, passes.of[c].spread)) << c;
                        EXPECT_EQ(given.from_sort[c], passes.from_sort[c]) << c;
                    }
                }
                for (std::size_t c = 0; c < cols; ++c) {
                    EXPECT_TRUE(same_value(got.of[c].center, expected[c].center))
                        << "rows " << rows << " mean " << mean << " column " << c;
                    EXPECT_TRUE(same_value(got.of[c].spread, expected[c].spread))
                        << "rows " << rows << " mean " << mean << " column " << c;
                    std::uint64_t low = UINT64_MAX;
                    std::uint64_t high = 0;
                    bool tame = true;
                    std::size_t present = 0;
                    for (std::size_t r = 0; r < rows; ++r) {
                        low = std::min(low, unsigned_order_key(m.at(r, c)));
                        high = std::max(high, unsigned_order_key(m.at(r, c)));
                        tame &= std::fabs(m.at(r, c)) <= std::numeric_limits<double>::max() / 2;
                        present += !std::isnan(m.at(r, c));
                    }
                    ASSERT_EQ(later.present.size(), cols);
                    EXPECT_EQ(later.present[c], present) << "column " << c;
                    const double center = tame ? value_of_unsigned_key(low) : expected[c].center;
                    EXPECT_TRUE(same_value(uncentred.of[c].center, center)) << "column " << c;
                    EXPECT_TRUE(same_value(uncentred.of[c].spread, expected[c].spread)) << c;
                    EXPECT_EQ(later.from_sort[c], tame) << "column " << c;
                    EXPECT_TRUE(same_value(later.of[c].center, tame ? -0.0 : expected[c].center))
                        << "column " << c;
                    for (const auto& found : {got.ranges[c], uncentred.ranges[c]}) {
                        ASSERT_TRUE(found.has_value()) << "column " << c;
                        EXPECT_EQ(found->low, low) << "column " << c;
                        EXPECT_EQ(found->high, high) << "column " << c;
                    }
                }
            }
        }
    }
}

TEST(Distribution, NoColumnsGiveNothing) {
    EXPECT_TRUE(get_distribution(Matrix{3, 0, {}}, 0.5, 1).empty());
    EXPECT_TRUE(get_distribution(Matrix{0, 0, {}}, 0.5, 1).empty());
}

// The rows x cols matrix of a strided view: cell (r, c) at
// data[r * row_stride + c * col_stride].
Matrix strided(const double* data, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
               std::ptrdiff_t col_stride) {
    Matrix m{rows, cols, std::vector<double>(rows * cols)};
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            m.at(r, c) = data[static_cast<std::ptrdiff_t>(r) * row_stride +
                              static_cast<std::ptrdiff_t>(c) * col_stride];
        }
    }
    return m;
}

TEST(Distribution, ColumnsInOrderFromStridedViews) {
    // 3 x 4 row-major buffer; columns 0 and 2 are {3,1,2} and {30,10,20}.
    const std::vector<double> buf = {3, 9, 30, 9, 1, 9, 10, 9, 2, 9, 20, 9};
    const auto every_other = get_distribution(strided(buf.data(), 3, 2, 4, 2), 0.5, 1);
    const auto rows_reversed = get_distribution(strided(buf.data() + 8, 3, 2, -4, 2), 0.5, 1);
    for (const auto& d : {every_other, rows_reversed}) {
        ASSERT_EQ(d.size(), 2u);
        EXPECT_EQ(d[0].center, 2);
        EXPECT_EQ(d[0].spread, 2);
        EXPECT_EQ(d[1].center, 20);
        EXPECT_EQ(d[1].spread, 20);
    }
}

struct ModeCase {
    Mode mode;
    double best, candidate, target;
    std::strong_ordering expected;  // greater: the candidate replaces the best
};

class ModeComparisons : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeComparisons, OrderCandidates) {
    const auto& p = GetParam();
    EXPECT_EQ(mode_comparator(p.mode)(p.best, p.candidate, p.target), p.expected);
}

using so = std::strong_ordering;
INSTANTIATE_TEST_SUITE_P(Mode, ModeComparisons,
                         ::testing::Values(ModeCase{Mode::MAX, 1, 2, 0, so::less},
                                           ModeCase{Mode::MAX, 2, 1, 9, so::greater},
                                           ModeCase{Mode::MIN, 1, 2, 0, so::greater},
                                           ModeCase{Mode::MIN, 2, 1, 9, so::less},
                                           ModeCase{Mode::GM, 1, 4, 3.5, so::greater},
                                           ModeCase{Mode::GM, 3, 4, 3.4, so::less},
                                           ModeCase{Mode::GM, 3, 5, 4, so::equal},
                                           ModeCase{Mode::MAX, 0.0, -0.0, 0, so::greater},
                                           ModeCase{Mode::MIN, -0.0, 0.0, 0, so::greater},
                                           ModeCase{Mode::MAX, 1, kNaN, 0, so::less},
                                           ModeCase{Mode::MAX, 1, kNegNaN, 0, so::greater},
                                           ModeCase{Mode::MIN, kInf, kNaN, 0, so::greater},
                                           ModeCase{Mode::GM, 1e6, kNaN, 0, so::less}));

// Scripted uniforms, to pin down the transform itself.
struct ScriptedSource {
    std::vector<double> values;
    std::size_t next = 0;
    double uniform_f64() { return values.at(next++); }
};

TEST(Gauss, CosineBranchAfterRejectingZero) {
    const double half_width = std::sqrt(2.0 * std::log(2.0));  // |z| for u1 = 0.5, cos = +-1
    struct {
        double u2, z;
    } cases[] = {{0.0, half_width}, {0.5, -half_width}, {0.25, 0.0}};
    for (const auto& c : cases) {
        ScriptedSource src{{0.0, 0.0, 0.5, c.u2}};
        EXPECT_NEAR(Gauss::sample(src, 10, 2), 10 + 2 * c.z, 1e-12) << "u2 = " << c.u2;
        EXPECT_EQ(src.next, 4u);
    }
}

TEST(Gauss, EachSampleTakesTwoWords) {
    for (std::size_t skip : {0, 61, 62, 63}) {  // also across a refill
        auto rng = RandomSource::seed_from_u64(42), twin = rng;
        for (std::size_t i = 0; i < skip; ++i) rng.next_u32();
        for (std::size_t i = 0; i < skip + 8; ++i) twin.next_u32();
        Gauss::sample(rng, 0, 1);
        Gauss::sample(rng, 0, 1);
        EXPECT_TRUE(rng == twin) << "after skipping " << skip;
    }
}

TEST(Gauss, TargetsFollowTheColumnDistribution) {
    auto rng = RandomSource::seed_from_u64(7), unit = rng;
    double sum = 0, sq = 0;
    const int n = 20000;
    for (int i = 0; i < n; ++i) {
        const double x = Gauss::sample(rng, 3, 2);
        EXPECT_EQ(x, 3 + 2 * Gauss::sample(unit, 0, 1));
        sum += x;
        sq += x * x;
    }
    EXPECT_NEAR(sum / n, 3, 0.1);  // about 7 standard errors
    EXPECT_NEAR(sq / n - (sum / n) * (sum / n), 4, 0.4);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(Gauss::sample(rng, 2.5, 0), 2.5);
}

TEST(Gauss, NaNPropagates) {
    auto rng = RandomSource::seed_from_u64(0);
    EXPECT_TRUE(std::isnan(Gauss::sample(rng, kNaN, 1)));
    EXPECT_TRUE(std::isnan(Gauss::sample(rng, 0, kNaN)));
    ScriptedSource positive_z{{0.5, 0.0}};
    EXPECT_TRUE(std::isnan(Gauss::sample(positive_z, -kInf, kInf)));
}

}  // namespace
}  // namespace gapweave
