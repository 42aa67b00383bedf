// The modes' comparisons of a current best value and a candidate.
#include <gtest/gtest.h>

#include <compare>

#include "generators/mode.hpp"
#include "values.hpp"

namespace gapweave {
namespace {

using namespace test;

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

}  // namespace
}  // namespace gapweave
