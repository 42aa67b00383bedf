// The bookkeeping of a call's passes: the present cells counted on the
// pool, full passes recorded at once exactly as one by one, the columns
// that run out of cells, and where a call stops early.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/fault.hpp"
#include "generators/pass_ledger.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"

namespace gapweave {
namespace {

TEST(CountPresent, BlocksOnSeveralWorkersMatchASerialCount) {
    // Several blocks of 2^16 rows, the last one short.
    const std::size_t rows = (std::size_t{1} << 17) + 12345;
    const std::size_t cols = 3;
    RandomSource rng = RandomSource::seed_from_u64(17);
    Matrix matrix{rows, cols, std::vector<double>(rows * cols, 1.0)};
    for (std::size_t c = 0; c < cols; ++c) {
        for (std::size_t r = 0; r < rows; ++r) {
            if (rng.uniform_below(4 + static_cast<std::uint32_t>(c)) == 0) matrix.at(r, c) = NAN;
        }
    }
    std::vector<std::size_t> serial(cols, 0);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) serial[c] += !std::isnan(matrix.at(r, c));
    }
    ThreadPool pool(4);
    for (int repeat = 0; repeat < 5; ++repeat) EXPECT_EQ(count_present(pool, matrix), serial);
}

// Records what a pass takes, and blanks it as the reference would.
struct Taken {
    PassLedger* ledger = nullptr;
    std::vector<std::size_t> slots;
    void take(std::size_t slot, double, std::uint32_t) { slots.push_back(slot); }
};

// One pass made as a strategy makes it: every slot picking, each pick
// blanking a cell of its hole column.
bool one_pass(PassLedger& ledger, std::span<const HolePair> pairs) {
    const std::vector<double> targets(pairs.size(), 0.0);
    std::vector<std::size_t> slots(pairs.size());
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = i;
    Taken taken;
    ledger.start_pass(targets, slots, taken);
    for (std::size_t slot : taken.slots) ledger.blanked(pairs[slot].hole);
    const auto counted =
        static_cast<std::uint32_t>(std::min<std::size_t>(pairs.size(), ledger.remaining()));
    return ledger.end_pass(counted);
}

TEST(PassLedger, FilledPassesRecordWhatPassesOneByOneWould) {
    // Three columns, the middle one driving the first; totals that end
    // inside the passes, at their end and beyond them.
    const Matrix matrix{6, 3, std::vector<double>(18, 1.0)};
    const std::vector<HolePair> pairs = {{0, 1}, {2, 2}};
    for (const std::uint32_t total : {3u, 8u, 12u, 40u}) {
        for (const std::size_t passes : {1u, 2u, 5u}) {
            PassLedger filled({6, 6, 6}, matrix, pairs, total);
            PassLedger stepped({6, 6, 6}, matrix, pairs, total);
            ASSERT_TRUE(filled.can_fill(passes));
            const bool went_on = filled.fill_passes(passes);
            bool stepped_on = true;
            for (std::size_t p = 0; p < passes; ++p) stepped_on = one_pass(stepped, pairs);
            EXPECT_EQ(went_on, stepped_on);
            EXPECT_EQ(filled.remaining(), stepped.remaining()) << total << " " << passes;
            EXPECT_EQ(filled.pass(), stepped.pass());
            EXPECT_EQ(filled.present(), stepped.present());
        }
    }
}

TEST(PassLedger, CanFillOnlyWhileEveryHoleColumnHasCells) {
    const Matrix matrix{4, 2, std::vector<double>(8, 1.0)};
    const std::vector<HolePair> pairs = {{0, 1}, {1, 1}};
    const PassLedger ledger({3, 4}, matrix, pairs, 100);
    EXPECT_TRUE(ledger.can_fill(0));
    EXPECT_TRUE(ledger.can_fill(3));
    EXPECT_FALSE(ledger.can_fill(4));  // column 0 has three cells
}

// Once every hole column is blank, the passes go on drawing (and may still
// fail on a NaN target) only while the picks left number at most the
// table's cells, or 2^20 for a small table; past that the call stops.
TEST(PassLedger, StopsEarlyOnlyPastTheThreshold) {
    const Matrix matrix{1, 1, {1.0}};
    const std::vector<HolePair> pairs = {{0, 0}};
    const std::uint32_t threshold = std::uint32_t{1} << 20;
    for (const std::uint32_t left : {threshold - 1, threshold, threshold + 1}) {
        PassLedger ledger({1}, matrix, pairs, left + 1);
        EXPECT_EQ(one_pass(ledger, pairs), left <= threshold) << "left " << left;
        EXPECT_EQ(ledger.remaining(), left);
    }
}

TEST(PassLedger, NaNTargetFailsAndAnEmptyColumnTakesNoPick) {
    const Matrix matrix{2, 2, std::vector<double>(4, 1.0)};
    const std::vector<HolePair> pairs = {{0, 0}, {1, 1}};
    PassLedger ledger({0, 2}, matrix, pairs, 10);
    const std::vector<std::size_t> slots = {0, 1, PassLedger::kNoPick};
    Taken taken;
    try {
        ledger.start_pass(std::vector<double>{0.0, NAN, 0.0}, slots, taken);
        FAIL() << "a NaN target was accepted";
    } catch (const Fault& fault) {
        EXPECT_EQ(fault.message(), "Sample is nan");
    }
    EXPECT_TRUE(taken.slots.empty());
    // Column 0 has no cell: reported once, never picked.
    ::testing::internal::CaptureStderr();
    for (int pass = 0; pass < 2; ++pass)
        ledger.start_pass(std::vector<double>(3, 0.0), slots, taken);
    const std::string reports = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(taken.slots, (std::vector<std::size_t>{1, 1}));
    EXPECT_EQ(reports, "gapweave: No argmin found! (column 0 has no cell left to blank)\n");
}

}  // namespace
}  // namespace gapweave
