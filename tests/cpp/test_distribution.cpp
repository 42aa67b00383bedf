// Column distributions: centre and spread of each column of a table.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "base/fault.hpp"
#include "generators/distribution.hpp"
#include "generators/matrix.hpp"
#include "values.hpp"

namespace gapweave {
namespace {

using namespace test;

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

}  // namespace
}  // namespace gapweave
