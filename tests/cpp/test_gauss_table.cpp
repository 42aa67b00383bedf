// Gauss target tables drawn on the pool against one-after-another sampling
// on the calling thread, and the source seek they rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "generators/distribution.hpp"
#include "generators/gauss.hpp"
#include "generators/planned/gauss_chunks.hpp"
#include "generators/planned/gauss_table.hpp"
#include "generators/planned/schedule.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"

namespace {

using gapweave::ColumnDistribution;
using gapweave::Gauss;
using gapweave::GaussTable;
using gapweave::RandomSource;
using gapweave::ThreadPool;
using gapweave::detail::GaussTablePlan;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();

// Tiny chunks, so that small tables already cross many chunk boundaries.
constexpr GaussTablePlan kSmallChunks{0, 40};

RandomSource advanced(std::uint64_t seed, std::uint64_t words) {
    auto source = RandomSource::seed_from_u64(seed);
    for (std::uint64_t i = 0; i < words; ++i) source.next_u32();
    return source;
}

// The reference: rows sampled one after another, stopping after a NaN row.
template <class Source>
GaussTable sequential(Source& rng, std::span<const ColumnDistribution> params,
                      std::size_t max_rows) {
    GaussTable table;
    if (params.empty()) return {{}, max_rows};
    while (table.rows < max_rows) {
        bool nan = false;
        for (const ColumnDistribution& p : params) {
            table.targets.push_back(Gauss::sample(rng, p.center, p.spread));
            nan |= std::isnan(table.targets.back());
        }
        ++table.rows;
        if (nan) break;
    }
    return table;
}

// Same row count and the same targets bit for bit (NaN payloads included).
testing::AssertionResult same_table(const GaussTable& got, const GaussTable& want) {
    if (got.rows != want.rows) {
        return testing::AssertionFailure() << "rows " << got.rows << " instead of " << want.rows;
    }
    if (got.targets.size() != want.targets.size()) {
        return testing::AssertionFailure()
               << got.targets.size() << " targets instead of " << want.targets.size();
    }
    for (std::size_t i = 0; i < got.targets.size(); ++i) {
        if (std::bit_cast<std::uint64_t>(got.targets[i]) !=
            std::bit_cast<std::uint64_t>(want.targets[i])) {
            return testing::AssertionFailure() << "target " << i << " is " << got.targets[i]
                                               << " instead of " << want.targets[i];
        }
    }
    return testing::AssertionSuccess();
}

// Equal state, and (to show what equality means) the same next 100 words.
testing::AssertionResult same_source(RandomSource got, RandomSource want) {
    if (!(got == want)) {
        return testing::AssertionFailure() << "source at word " << got.words_consumed()
                                           << " instead of " << want.words_consumed();
    }
    for (int i = 0; i < 100; ++i) {
        const std::uint32_t a = got.next_u32();
        const std::uint32_t b = want.next_u32();
        if (a != b)
            return testing::AssertionFailure() << "word " << i << " after the table differs";
    }
    return testing::AssertionSuccess();
}

// Slot parameters with varied centres and spreads, a zero and a negative
// spread among them.
std::vector<ColumnDistribution> ordinary_params(std::size_t width) {
    std::vector<ColumnDistribution> params;
    for (std::size_t j = 0; j < width; ++j) {
        const double center = static_cast<double>(j) * 1.5 - 3.0;
        double spread = 0.5 + static_cast<double>(j % 7) * 0.25;
        if (j % 5 == 3) spread = 0.0;
        if (j % 11 == 4) spread = -2.0;
        params.push_back({center, spread});
    }
    return params;
}

// Draws with `plan` from a copy of `start` and checks table and source
// against sequential sampling from another copy.
void check_against_sequential(const RandomSource& start, ThreadPool& pool,
                              const std::vector<ColumnDistribution>& params, std::size_t max_rows,
                              const GaussTablePlan* plan, const std::string& what) {
    SCOPED_TRACE(what + " rows=" + std::to_string(max_rows) + " width=" +
                 std::to_string(params.size()) + (plan ? " small chunks" : " default plan"));
    RandomSource reference_rng = start;
    const GaussTable want = sequential(reference_rng, params, max_rows);
    RandomSource rng = start;
    const GaussTable got =
        plan ? gapweave::detail::draw_gauss_rows_with(rng, pool, params, max_rows, *plan)
             : gapweave::draw_gauss_rows(rng, pool, params, max_rows);
    EXPECT_TRUE(same_table(got, want));
    EXPECT_TRUE(same_source(rng, reference_rng));
}

// --- Seeking the source -----------------------------------------------------

TEST(GaussTableSourceSeek, EqualsReadingThatManyWords) {
    const std::vector<std::uint64_t> positions{0,   1,   2,   15,  16,  17,  62,   63,   64,  65,
                                               127, 128, 129, 191, 192, 193, 1000, 4096, 4097};
    for (std::uint64_t seed : {0ULL, 7ULL, 42ULL}) {
        const RandomSource far = advanced(seed, 5000);
        for (std::uint64_t w : positions) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " word " + std::to_string(w));
            const RandomSource want = advanced(seed, w);
            RandomSource forward = RandomSource::seed_from_u64(seed);
            forward.seek(w);
            EXPECT_EQ(forward.words_consumed(), w);
            EXPECT_TRUE(same_source(forward, want));
            RandomSource backward = far;
            backward.seek(w);
            EXPECT_TRUE(same_source(backward, want));
        }
    }
}

TEST(GaussTableSourceSeek, EqualsMixedWidthReads) {
    // Reads of 1, 2, 1, 2, ... words: the 64-bit reads straddle the buffer
    // end at every other refill.
    auto reader = RandomSource::seed_from_u64(3);
    for (int i = 0; i < 300; ++i) {
        if (i % 2 == 0) {
            reader.next_u32();
        } else {
            reader.next_u64();
        }
        RandomSource sought = RandomSource::seed_from_u64(3);
        sought.seek(reader.words_consumed());
        ASSERT_TRUE(same_source(sought, reader)) << "after read " << i;
    }
}

// --- Tables against sequential sampling -------------------------------------

class GaussTableWorkers : public testing::TestWithParam<std::uint32_t> {};

TEST_P(GaussTableWorkers, SmallChunksMatchSequential) {
    ThreadPool pool(GetParam());
    for (std::uint64_t seed : {1ULL, 42ULL, 0x9e3779b97f4a7c15ULL}) {
        for (std::size_t width : {1, 3, 10, 37}) {
            const auto params = ordinary_params(width);
            const std::size_t chunk = (kSmallChunks.chunk_targets + width - 1) / width;
            // Odd prefixes leave the next 64-bit read straddling a refill.
            for (std::uint64_t prefix : {0, 1, 63, 127}) {
                const RandomSource start = advanced(seed, prefix);
                for (std::size_t rows : {std::size_t{0}, std::size_t{1}, chunk - 1, chunk,
                                         chunk + 1, 2 * chunk + 1, 7 * chunk, 7 * chunk + 3}) {
                    check_against_sequential(
                        start, pool, params, rows, &kSmallChunks,
                        "seed " + std::to_string(seed) + " prefix " + std::to_string(prefix));
                }
            }
        }
    }
}

TEST_P(GaussTableWorkers, DefaultPlanMatchesSequential) {
    ThreadPool pool(GetParam());
    const GaussTablePlan plan;
    for (std::uint64_t seed : {5ULL, 1234567ULL}) {
        for (std::size_t width : {1, 3, 10, 37}) {
            const auto params = ordinary_params(width);
            const std::size_t threshold_rows = (plan.sequential_below + width - 1) / width;
            const std::size_t chunk = (plan.chunk_targets + width - 1) / width;
            std::vector<std::size_t> counts{threshold_rows - 1, threshold_rows, threshold_rows + 1,
                                            chunk - 1,          chunk,          chunk + 1,
                                            3 * chunk - 1,      3 * chunk + 1};
            if (width == 1 || width == 10) counts.push_back(100000);
            for (std::uint64_t prefix : {0, 65}) {
                const RandomSource start = advanced(seed, prefix);
                for (std::size_t rows : counts) {
                    check_against_sequential(
                        start, pool, params, rows, nullptr,
                        "seed " + std::to_string(seed) + " prefix " + std::to_string(prefix));
                }
            }
        }
    }
}

TEST_P(GaussTableWorkers, NaNParameterStopsAfterFirstRow) {
    ThreadPool pool(GetParam());
    for (std::size_t width : {1, 3, 10, 37}) {
        for (std::size_t slot : {std::size_t{0}, width / 2, width - 1}) {
            for (bool in_center : {true, false}) {
                auto params = ordinary_params(width);
                (in_center ? params[slot].center : params[slot].spread) = kNaN;
                const RandomSource start = advanced(11, 3);
                for (std::size_t rows : {1, 2, 5000, 100000}) {
                    for (const GaussTablePlan* plan :
                         {&kSmallChunks, static_cast<const GaussTablePlan*>(nullptr)}) {
                        check_against_sequential(start, pool, params, rows, plan,
                                                 "NaN slot " + std::to_string(slot));
                    }
                    RandomSource rng = start;
                    const GaussTable table = gapweave::draw_gauss_rows(rng, pool, params, rows);
                    EXPECT_EQ(table.rows, 1u);
                    EXPECT_EQ(rng.words_consumed(), start.words_consumed() + 4 * width);
                }
            }
        }
    }
}

TEST_P(GaussTableWorkers, RandomNaNRowsMatchSequential) {
    // An infinite centre plus a spread large enough for spread * z to
    // overflow to the opposite infinity gives NaN in some rows only: the
    // smaller the spread, the rarer (z < -1, -1.8, -3 or -4 for the ones
    // below), so the first NaN row falls early, mid-table or late.
    ThreadPool pool(GetParam());
    std::size_t nan_inside = 0;  // cases whose first NaN row is neither first nor last
    for (std::uint64_t seed : {2ULL, 99ULL}) {
        for (std::size_t width : {1, 3, 10}) {
            for (double spread : {kInf, 1e308, kMax / 1.8, kMax / 3.0, kMax / 4.0}) {
                for (double sign : {1.0, -1.0}) {
                    auto params = ordinary_params(width);
                    params[width / 2] = {sign * kInf, spread};
                    const std::size_t max_rows = 200000 / width;
                    const RandomSource start = advanced(seed, 1);
                    RandomSource probe = start;
                    const std::size_t nan_rows = sequential(probe, params, max_rows).rows;
                    if (nan_rows > 1 && nan_rows < max_rows) ++nan_inside;
                    const std::string what =
                        "seed " + std::to_string(seed) + " spread " + std::to_string(spread);
                    // Up to and including the first NaN row, without it,
                    // and well past it.
                    for (std::size_t rows : {nan_rows - 1, nan_rows, nan_rows + 1, max_rows}) {
                        check_against_sequential(start, pool, params, rows, &kSmallChunks, what);
                        check_against_sequential(start, pool, params, rows, nullptr, what);
                    }
                }
            }
        }
    }
    // The cases really put the first NaN row inside the tables.
    EXPECT_GE(nan_inside, 40u);
}

TEST_P(GaussTableWorkers, InfiniteTargetsAreNotNaN) {
    // A finite centre with an infinite spread gives infinite targets of
    // either sign, never NaN, so every row is returned.
    ThreadPool pool(GetParam());
    auto params = ordinary_params(3);
    params[1] = {2.0, kInf};
    const RandomSource start = advanced(8, 0);
    check_against_sequential(start, pool, params, 20000, &kSmallChunks, "infinite spread");
    RandomSource rng = start;
    const GaussTable table = gapweave::draw_gauss_rows(rng, pool, params, 20000);
    ASSERT_EQ(table.rows, 20000u);
    std::size_t negative = 0;
    for (std::size_t r = 0; r < table.rows; ++r) {
        ASSERT_TRUE(std::isinf(table.targets[r * 3 + 1]));
        negative += table.targets[r * 3 + 1] < 0 ? 1 : 0;
    }
    EXPECT_GT(negative, 0u);
    EXPECT_LT(negative, table.rows);
}

TEST_P(GaussTableWorkers, NoSlotsGiveEmptyRowsAndDrawNothing) {
    ThreadPool pool(GetParam());
    for (std::size_t rows : {0, 1, 100000}) {
        RandomSource rng = advanced(4, 17);
        const GaussTable table = gapweave::draw_gauss_rows(rng, pool, {}, rows);
        EXPECT_EQ(table.rows, rows);
        EXPECT_TRUE(table.targets.empty());
        EXPECT_TRUE(same_source(rng, advanced(4, 17)));
    }
}

// --- Redrawn uniforms ---------------------------------------------------------

// A word source whose words are scripted: a fixed pseudo-random word per
// position, zero at the listed positions. Two zero words at the start of a
// sample make its first uniform exactly zero, which Gauss::sample redraws;
// a ChaCha stream gives that with probability 2^-53 per sample, so it can
// only be tested this way.
class ScriptedWords {
public:
    explicit ScriptedWords(std::vector<std::uint64_t> zeros)
        : zeros_(std::make_shared<const std::vector<std::uint64_t>>(sorted(std::move(zeros)))) {}

    double uniform_f64() {
        const std::uint64_t low = word(position_++);
        const std::uint64_t high = word(position_++);
        return static_cast<double>(((high << 32) | low) >> 11) * 0x1.0p-53;
    }
    std::uint64_t words_consumed() const { return position_; }
    void seek(std::uint64_t words) { position_ = words; }

private:
    static std::vector<std::uint64_t> sorted(std::vector<std::uint64_t> v) {
        std::sort(v.begin(), v.end());
        return v;
    }
    std::uint32_t word(std::uint64_t p) const {
        if (std::binary_search(zeros_->begin(), zeros_->end(), p)) return 0;
        // SplitMix64 of the position.
        std::uint64_t z = p + 0x9e3779b97f4a7c15ULL;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return static_cast<std::uint32_t>((z ^ (z >> 31)) >> 32);
    }

    std::shared_ptr<const std::vector<std::uint64_t>> zeros_;
    std::uint64_t position_ = 0;
};

struct RedrawCase {
    const char* name;
    std::vector<std::uint64_t> zero_words;  // counted from the table's first word
    std::size_t redraws;                    // uniforms sequential sampling redraws
};

TEST_P(GaussTableWorkers, RedrawnUniformMatchesSequential) {
    ThreadPool pool(GetParam());
    constexpr std::size_t kRows = 120;
    for (std::size_t width : {1, 3, 10}) {
        const std::size_t samples = kRows * width;
        const std::size_t chunk_samples = (kSmallChunks.chunk_targets + width - 1) / width * width;
        // Word of the first uniform of sample s when nothing before it was redrawn.
        const auto u1 = [](std::uint64_t s) { return 4 * s; };
        const std::vector<RedrawCase> cases{
            {"none", {}, 0},
            {"first sample", {u1(0), u1(0) + 1}, 1},
            {"inside the first chunk", {u1(5), u1(5) + 1}, 1},
            {"last sample of the first chunk",
             {u1(chunk_samples - 1), u1(chunk_samples - 1) + 1},
             1},
            {"first sample of the second chunk", {u1(chunk_samples), u1(chunk_samples) + 1}, 1},
            {"middle chunk", {u1(samples / 2 + 1), u1(samples / 2 + 1) + 1}, 1},
            {"last sample", {u1(samples - 1), u1(samples - 1) + 1}, 1},
            // The redraw itself is zero again.
            {"twice in a row", {u1(7), u1(7) + 1, u1(7) + 2, u1(7) + 3}, 2},
            // The second pair lies where a first uniform sits only after
            // the first redraw has shifted the words by two.
            {"in two chunks", {u1(3), u1(3) + 1, u1(samples - 5) + 2, u1(samples - 5) + 3}, 2},
            // A zero second uniform is used as it is.
            {"zero second uniform", {u1(9) + 2, u1(9) + 3}, 0},
        };
        for (std::uint64_t prefix : {0, 3}) {
            for (const RedrawCase& c : cases) {
                SCOPED_TRACE(std::string(c.name) + " width " + std::to_string(width) + " prefix " +
                             std::to_string(prefix));
                std::vector<std::uint64_t> zeros;
                for (std::uint64_t w : c.zero_words) zeros.push_back(prefix + w);
                ScriptedWords start(zeros);
                start.seek(prefix);
                const auto params = ordinary_params(width);

                ScriptedWords reference_rng = start;
                const GaussTable want = sequential(reference_rng, params, kRows);
                // The scenario is real: sequential sampling redrew exactly as planned.
                ASSERT_EQ(reference_rng.words_consumed(), prefix + 4 * samples + 2 * c.redraws);

                ScriptedWords rng = start;
                const GaussTable got =
                    gapweave::detail::draw_gauss_rows_with(rng, pool, params, kRows, kSmallChunks);
                EXPECT_TRUE(same_table(got, want));
                EXPECT_EQ(rng.words_consumed(), reference_rng.words_consumed());

                // Centres without spread take the same words without
                // computing their targets, whether the table is kept or not.
                const std::vector<ColumnDistribution> still(width, {2.5, 0.0});
                ScriptedWords still_reference = start;
                const GaussTable still_want = sequential(still_reference, still, kRows);
                for (bool store : {true, false}) {
                    ScriptedWords still_rng = start;
                    const GaussTable still_got = gapweave::detail::draw_gauss_rows_with(
                        still_rng, pool, still, kRows, kSmallChunks, store);
                    EXPECT_EQ(still_rng.words_consumed(), still_reference.words_consumed());
                    EXPECT_EQ(still_got.rows, kRows);
                    EXPECT_TRUE(store ? same_table(still_got, still_want)
                                      : still_got.targets.empty());
                }
            }
        }
    }
}

TEST_P(GaussTableWorkers, RedrawBeforeNaNRowMatchesSequential) {
    // A redraw in one chunk and a NaN row found by a later one: the chunks
    // after the redraw started at the wrong words, so their NaN row is not
    // the real one.
    ThreadPool pool(GetParam());
    auto params = ordinary_params(3);
    params[2] = {kInf, kMax / 3.0};  // NaN in about one row in 740
    for (std::uint64_t zero_sample : {0, 4, 30, 300}) {
        ScriptedWords start({4 * zero_sample, 4 * zero_sample + 1});
        ScriptedWords reference_rng = start;
        const GaussTable want = sequential(reference_rng, params, 20000);
        ScriptedWords rng = start;
        const GaussTable got =
            gapweave::detail::draw_gauss_rows_with(rng, pool, params, 20000, kSmallChunks);
        EXPECT_TRUE(same_table(got, want)) << "zero at sample " << zero_sample;
        EXPECT_EQ(rng.words_consumed(), reference_rng.words_consumed());
        EXPECT_LT(want.rows, 20000u);
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, GaussTableWorkers, testing::Values(1u, 2u, 5u));

// --- Several callers on one pool --------------------------------------------

TEST(GaussTableSharedPool, ConcurrentCallersEachMatchSequential) {
    ThreadPool pool(3);
    constexpr std::size_t kCallers = 4;
    std::vector<GaussTable> tables(kCallers);
    std::vector<RandomSource> sources;
    for (std::size_t i = 0; i < kCallers; ++i) sources.push_back(advanced(100 + i, i));
    const auto params = ordinary_params(7);
    {
        std::vector<std::jthread> callers;
        for (std::size_t i = 0; i < kCallers; ++i) {
            callers.emplace_back(
                [&, i] { tables[i] = gapweave::draw_gauss_rows(sources[i], pool, params, 30000); });
        }
    }
    for (std::size_t i = 0; i < kCallers; ++i) {
        RandomSource reference_rng = advanced(100 + i, i);
        EXPECT_TRUE(same_table(tables[i], sequential(reference_rng, params, 30000)))
            << "caller " << i;
        EXPECT_TRUE(same_source(sources[i], reference_rng)) << "caller " << i;
    }
}

}  // namespace
