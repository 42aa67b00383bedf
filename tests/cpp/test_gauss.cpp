// Normal draws of selection targets: the transform, its words and its
// distribution.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "generators/gauss.hpp"
#include "random/random_source.hpp"
#include "values.hpp"

namespace gapweave {
namespace {

using namespace test;

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
