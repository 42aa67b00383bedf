// The planned path (draw schedule, one job per column, ordered index) must
// give bit-identical results, faults and random streams to the plain
// pass-by-pass algorithm, on tables built to provoke ties and rounding.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/fault.hpp"
#include "generators/column_facts.hpp"
#include "generators/gauss.hpp"
#include "generators/mar.hpp"
#include "generators/matrix.hpp"
#include "generators/mnar.hpp"
#include "generators/mode.hpp"
#include "generators/planned/schedule.hpp"

namespace gapweave {
namespace {

// Values that collide: duplicates, signed zeros, infinities, subnormals,
// huge magnitudes whose squares (or sums) overflow, neighbours whose squares round
// together, and small integers.
double adversarial_value(RandomSource& rng, int palette) {
    static const double kSpecial[] = {0.0,
                                      -0.0,
                                      1.0,
                                      -1.0,
                                      2.0,
                                      0.5,
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity(),
                                      std::numeric_limits<double>::denorm_min(),
                                      -std::numeric_limits<double>::denorm_min(),
                                      1e300,
                                      -1e300,
                                      1e-300,
                                      1.0 + 1e-16,
                                      1.0000000000000002,
                                      0.9999999999999999,
                                      3.0,
                                      1e154,
                                      1e-170,
                                      0x1p1023,  // two of them sum past the largest double
                                      -std::numeric_limits<double>::max()};
    constexpr std::uint32_t kCount = sizeof(kSpecial) / sizeof(kSpecial[0]);
    switch (palette) {
        case 0: return static_cast<double>(rng.uniform_below(4));  // heavy ties
        case 1: return kSpecial[rng.uniform_below(kCount)];
        case 2: return rng.uniform_f64() * 10.0 - 5.0;
        case 4: {
            // Distinct finite values beside an infinity: with a positive
            // variance every target is infinite, and every finite value ties.
            if (rng.uniform_below(6) == 0) return rng.uniform_below(2) ? kSpecial[6] : kSpecial[7];
            return rng.uniform_f64() * 100.0 - 50.0;
        }
        default: {
            // Mostly finite specials, rarely an infinity.
            const std::uint32_t pick = rng.uniform_below(kCount);
            const double v = kSpecial[pick];
            return std::isinf(v) && rng.uniform_below(4) != 0 ? 7.0 : v;
        }
    }
}

Matrix random_table(RandomSource& rng, std::size_t rows, std::size_t cols, int palette,
                    bool holes) {
    Matrix m{rows, cols, std::vector<double>(rows * cols)};
    for (double& v : m.data) {
        v = adversarial_value(rng, palette);
        if (holes && rng.uniform_below(10) == 0) v = kMissing;
    }
    return m;
}

struct Outcome {
    std::vector<std::uint64_t> bits;
    std::optional<std::string> fault;
    std::uint32_t next_word = 0;
    std::vector<std::string> warnings;

    bool operator==(const Outcome&) const = default;
};

std::vector<std::uint64_t> bits_of(const Matrix& m) {
    std::vector<std::uint64_t> bits;
    for (double v : m.data) bits.push_back(std::bit_cast<std::uint64_t>(v));
    return bits;
}

template <class Call>
Outcome run(Call&& call, RandomSource& rng) {
    Outcome outcome;
    try {
        outcome.bits = bits_of(call());
    } catch (const Fault& fault) {
        outcome.fault = fault.message();
    }
    outcome.next_word = rng.next_u32();
    return outcome;
}

struct Case {
    std::uint64_t seed;
    Mode mode;
    double mean;
    double variance;
};

std::string describe(const Case& c, std::size_t rows, std::size_t cols, double alpha, int palette) {
    return "seed " + std::to_string(c.seed) + " mode " + std::to_string(static_cast<int>(c.mode)) +
           " mean " + std::to_string(c.mean) + " variance " + std::to_string(c.variance) +
           " table " + std::to_string(rows) + "x" + std::to_string(cols) + " alpha " +
           std::to_string(alpha) + " palette " + std::to_string(palette);
}

class PlannedPaths : public ::testing::TestWithParam<Mode> {};

TEST_P(PlannedPaths, MnarMatchesPassByPass) {
    RandomSource cases = RandomSource::seed_from_u64(2024 + static_cast<int>(GetParam()));
    const double means[] = {0.5, 0.0, 0.3, 0.9, 1.0};
    const double variances[] = {0.0, 0.1, 1.0, 1e10};
    for (int trial = 0; trial < 600; ++trial) {
        const std::size_t rows = 1 + cases.uniform_below(12);
        const std::size_t cols = 1 + cases.uniform_below(5);
        const int palette = static_cast<int>(cases.uniform_below(5));
        const Matrix table = random_table(cases, rows, cols, palette, cases.uniform_below(8) == 0);
        const double alpha = cases.uniform_f64() * 1.3;
        const Case c{cases.next_u64(), GetParam(), means[cases.uniform_below(5)],
                     variances[cases.uniform_below(4)]};

        MNAR planned{c.mean, c.variance, c.mode, RandomSource::seed_from_u64(c.seed),
                     ThreadPool(2)};
        MNAR reference{c.mean, c.variance, c.mode, RandomSource::seed_from_u64(c.seed),
                       ThreadPool(1)};
        const Outcome a = run([&] { return planned.punch(table, alpha); }, planned.rng);
        const Outcome b = run([&] { return reference.punch_passes(table, alpha); }, reference.rng);
        ASSERT_EQ(a, b) << describe(c, rows, cols, alpha, palette);
    }
}

TEST_P(PlannedPaths, MarMatchesPassByPass) {
    RandomSource cases = RandomSource::seed_from_u64(4048 + static_cast<int>(GetParam()));
    const double means[] = {0.5, 0.0, 0.3, 0.9};
    const double variances[] = {0.0, 0.1, 1.0, 1e10};
    // Small caps make every column a hole column driven by column 0, so
    // hole columns lose driver values during the call.
    const double caps[] = {0.8, 0.5, 0.3, 0.2, 1.0, 0.05, 0.02};
    for (int trial = 0; trial < 900; ++trial) {
        const std::size_t rows = 1 + cases.uniform_below(16);
        const std::size_t cols = 1 + cases.uniform_below(8);
        const int palette = static_cast<int>(cases.uniform_below(5));
        const Matrix table = random_table(cases, rows, cols, palette, cases.uniform_below(8) == 0);
        const double alpha = cases.uniform_f64();
        const Case c{cases.next_u64(), GetParam(), means[cases.uniform_below(4)],
                     variances[cases.uniform_below(4)]};
        const double cap = caps[cases.uniform_below(7)];

        std::vector<std::string> warnings_a, warnings_b;
        MAR planned{c.mean,       c.variance, cap, c.mode, RandomSource::seed_from_u64(c.seed),
                    ThreadPool(3)};
        MAR reference{c.mean,       c.variance, cap, c.mode, RandomSource::seed_from_u64(c.seed),
                      ThreadPool(1)};
        Outcome a = run(
            [&] {
                return planned.punch(table, alpha,
                                     [&](const std::string& w) { warnings_a.push_back(w); });
            },
            planned.rng);
        Outcome b = run(
            [&] {
                return reference.punch_passes(
                    table, alpha, [&](const std::string& w) { warnings_b.push_back(w); });
            },
            reference.rng);
        a.warnings = warnings_a;
        b.warnings = warnings_b;
        ASSERT_EQ(a, b) << describe(c, rows, cols, alpha, palette) << " cap " << cap;
    }
}

TEST(PlannedPathsLongRuns, InfiniteTargetsOverManyDistinctValues) {
    // A column holding an infinity has an infinite spread, so with a positive
    // variance its targets are infinite and every finite value ties: runs of
    // hundreds of equal keys, where the index switches to its tree.
    RandomSource cases = RandomSource::seed_from_u64(99);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t rows = 150 + cases.uniform_below(200);
        const std::size_t cols = 1 + cases.uniform_below(3);
        Matrix table{rows, cols, std::vector<double>(rows * cols)};
        for (double& v : table.data) v = cases.uniform_f64() * 100.0 - 50.0;
        for (std::size_t c = 0; c < cols; ++c) {
            table.at(cases.uniform_below(static_cast<std::uint32_t>(rows)), c) =
                cases.uniform_below(2) ? std::numeric_limits<double>::infinity()
                                       : -std::numeric_limits<double>::infinity();
        }
        const std::uint64_t seed = cases.next_u64();
        const double alpha = 0.2 + 0.7 * cases.uniform_f64();
        MNAR planned{0.5, 1.0, Mode::GM, RandomSource::seed_from_u64(seed), ThreadPool(2)};
        MNAR reference{0.5, 1.0, Mode::GM, RandomSource::seed_from_u64(seed), ThreadPool(1)};
        const Outcome a = run([&] { return planned.punch(table, alpha); }, planned.rng);
        const Outcome b = run([&] { return reference.punch_passes(table, alpha); }, reference.rng);
        ASSERT_EQ(a, b) << "seed " << seed << " rows " << rows << " alpha " << alpha;
    }
}

// Finite values for tables of hundreds of rows and more, where columns are
// sorted by bucket rather than by radix and the index spans several words
// of its bitsets: ties, signed zeros, subnormals, rounding collisions and
// data bunched far from one outlier.
double finite_value(RandomSource& rng, int palette) {
    switch (palette) {
        case 0: return static_cast<double>(rng.uniform_below(7)) - 3.0;
        case 1: {
            static const double kValues[] = {0.0,
                                             -0.0,
                                             1.0,
                                             -1.0,
                                             1.0000000000000002,
                                             0.9999999999999999,
                                             std::numeric_limits<double>::denorm_min(),
                                             -std::numeric_limits<double>::denorm_min(),
                                             1e-300,
                                             0.5};
            return kValues[rng.uniform_below(10)];
        }
        case 2: return rng.uniform_below(50) == 0 ? 1e6 : rng.uniform_f64() * 1e-3;
        case 3: return 1.0 + static_cast<double>(rng.uniform_below(64)) * 2.220446049250313e-16;
        default: return Gauss::sample(rng, 0.0, 1.0);
    }
}

TEST_P(PlannedPaths, LargerTablesMatchPassByPass) {
    RandomSource cases = RandomSource::seed_from_u64(7000 + static_cast<int>(GetParam()));
    for (int trial = 0; trial < 60; ++trial) {
        const bool large = trial % 20 == 0;  // past 4096 rows the bitsets grow a third level
        // One large table loses most of its cells, with targets that differ:
        // a column's picks then span several blocks of splits.
        const bool most = trial == 20;
        const std::size_t rows = most    ? 6000 + cases.uniform_below(300)
                                 : large ? 4100 + cases.uniform_below(300)
                                         : 64 + cases.uniform_below(600);
        const std::size_t cols = 1 + cases.uniform_below(large ? 2 : 4);
        const int palette = static_cast<int>(cases.uniform_below(5));
        Matrix table{rows, cols, std::vector<double>(rows * cols)};
        for (double& v : table.data) v = finite_value(cases, palette);
        const double alpha = most ? 0.95 : large ? 0.05 : cases.uniform_f64() * 0.9;
        const double variance = cases.uniform_below(2) || most ? 0.3 : 0.0;
        const Case c{cases.next_u64(), GetParam(), 0.5, variance};
        MNAR planned{c.mean, c.variance, c.mode, RandomSource::seed_from_u64(c.seed),
                     ThreadPool(2)};
        MNAR reference{c.mean, c.variance, c.mode, RandomSource::seed_from_u64(c.seed),
                       ThreadPool(1)};
        const Outcome a = run([&] { return planned.punch(table, alpha); }, planned.rng);
        const Outcome b = run([&] { return reference.punch_passes(table, alpha); }, reference.rng);
        ASSERT_EQ(a, b) << "MNAR " << describe(c, rows, cols, alpha, palette);

        const double cap = cases.uniform_below(2) ? 0.3 : 0.8;
        const auto quiet = [](const std::string&) {};
        MAR planned_mar{c.mean,       c.variance, cap, c.mode, RandomSource::seed_from_u64(c.seed),
                        ThreadPool(2)};
        MAR reference_mar{
            c.mean, c.variance, cap, c.mode, RandomSource::seed_from_u64(c.seed), ThreadPool(1)};
        const Outcome d =
            run([&] { return planned_mar.punch(table, alpha, quiet); }, planned_mar.rng);
        const Outcome e =
            run([&] { return reference_mar.punch_passes(table, alpha, quiet); }, reference_mar.rng);
        ASSERT_EQ(d, e) << "MAR " << describe(c, rows, cols, alpha, palette) << " cap " << cap;
    }
}

// Tables long enough for the distributions to come from passes over the
// table, whose ranges the sorts of GM's drivers then take: few picks, so
// that the reference stays quick.
TEST(PlannedPathsTablePasses, GmMatchesPassByPass) {
    RandomSource cases = RandomSource::seed_from_u64(7100);
    for (int palette = 0; palette < 5; ++palette) {
        const std::size_t rows = 66000 + cases.uniform_below(4000);
        const std::size_t cols = 3;
        Matrix table{rows, cols, std::vector<double>(rows * cols)};
        for (double& v : table.data) v = finite_value(cases, palette);
        // Other palettes in the other columns, so that each has its own range.
        for (std::size_t r = 0; r < rows; ++r)
            table.at(r, 2) = finite_value(cases, (palette + 2) % 5) * 3.0;
        const Case c{cases.next_u64(), Mode::GM, cases.uniform_f64(), 0.3};
        MNAR planned{c.mean, c.variance, c.mode, RandomSource::seed_from_u64(c.seed),
                     ThreadPool(2)};
        MNAR reference{c.mean, c.variance, c.mode, RandomSource::seed_from_u64(c.seed),
                       ThreadPool(1)};
        const Outcome a = run([&] { return planned.punch(table, 0.003); }, planned.rng);
        const Outcome b = run([&] { return reference.punch_passes(table, 0.003); }, reference.rng);
        ASSERT_EQ(a, b) << "MNAR " << describe(c, rows, cols, 0.003, palette);

        const auto quiet = [](const std::string&) {};
        MAR planned_mar{c.mean,       c.variance, 0.8, c.mode, RandomSource::seed_from_u64(c.seed),
                        ThreadPool(2)};
        MAR reference_mar{
            c.mean, c.variance, 0.8, c.mode, RandomSource::seed_from_u64(c.seed), ThreadPool(1)};
        const Outcome d =
            run([&] { return planned_mar.punch(table, 0.004, quiet); }, planned_mar.rng);
        const Outcome e =
            run([&] { return reference_mar.punch_passes(table, 0.004, quiet); }, reference_mar.rng);
        ASSERT_EQ(d, e) << "MAR " << describe(c, rows, cols, 0.004, palette);
    }
}

// Every column but one a hole column (the rate capped just below the
// cap's limit), all driven by the one left, on a table long enough that the
// jobs sorting and reading that shared driver overlap on several workers:
// ThreadSanitizer flags any access to the shared sorts outside their lock.
TEST(PlannedPathsSharedDriver, MarMatchesPassByPass) {
    RandomSource cases = RandomSource::seed_from_u64(7200);
    const std::size_t rows = 20000;
    const std::size_t cols = 6;
    Matrix table{rows, cols, std::vector<double>(rows * cols)};
    for (double& v : table.data) v = finite_value(cases, 1);
    const auto quiet = [](const std::string&) {};
    for (const double variance : {0.3, 1.0}) {
        const Case c{cases.next_u64(), Mode::GM, 0.5, variance};
        MAR planned{c.mean, c.variance, 0.01, c.mode, RandomSource::seed_from_u64(c.seed),
                    ThreadPool(4)};
        MAR reference{c.mean, c.variance, 0.01, c.mode, RandomSource::seed_from_u64(c.seed),
                      ThreadPool(1)};
        const Outcome a = run([&] { return planned.punch(table, 0.5, quiet); }, planned.rng);
        const Outcome b =
            run([&] { return reference.punch_passes(table, 0.5, quiet); }, reference.rng);
        ASSERT_FALSE(a.fault) << *a.fault;
        ASSERT_EQ(a, b) << describe(c, rows, cols, 0.5, 1);
    }
}

// The dependents of a planned call run together after the others, so a
// dependent's driver may not be a dependent itself; MAR's driver rule never
// makes such a chain, and the planned path refuses one.
TEST(PlannedPathsSharedDriver, ChainedDriversAreAFault) {
    Matrix table{4, 3, std::vector<double>(12, 1.0)};
    const std::vector<HolePair> pairs = {{0, 1}, {1, 2}, {2, 2}};  // 0 <- 1 <- 2
    std::vector<ColumnSchedule> schedules(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        schedules[i].hole = pairs[i].hole;
        schedules[i].driver = pairs[i].driver;
        schedules[i].picks = 1;
        schedules[i].targets.push_back(0.0);
        schedules[i].passes.push_back(0);
    }
    const std::vector<std::optional<KeyRange>> ranges(3);
    ThreadPool pool(2);
    try {
        run_schedules(pool, table, schedules, driven_by_other_holes(pairs), Mode::MAX, ranges);
        FAIL() << "a chain of drivers was accepted";
    } catch (const Fault& fault) {
        EXPECT_EQ(fault.message(), "a hole column's driver is driven by another hole column");
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, PlannedPaths, ::testing::Values(Mode::GM, Mode::MAX, Mode::MIN));

}  // namespace
}  // namespace gapweave
