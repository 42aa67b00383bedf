// The seeded ChaCha12 stream, the clock seed and the per-thread generator.
#include <gtest/gtest.h>
#include <time.h>

#include <limits>
#include <set>
#include <thread>
#include <vector>

#include "base/fault.hpp"
#include "random/random_source.hpp"
#include "random/seed.hpp"
#include "random/thread_rng.hpp"

namespace {

using gapweave::RandomSource;

// A fresh source for `seed` after `words` next_u32 reads.
RandomSource advanced(std::uint64_t seed, std::uint64_t words) {
    auto source = RandomSource::seed_from_u64(seed);
    for (std::uint64_t i = 0; i < words; ++i) source.next_u32();
    return source;
}

std::vector<std::uint32_t> first_words(std::uint64_t seed, std::size_t count) {
    auto source = RandomSource::seed_from_u64(seed);
    std::vector<std::uint32_t> words(count);
    for (auto& word : words) word = source.next_u32();
    return words;
}

TEST(RandomSourceSeed, ZeroSeedKeyIsEightPcgOutputs) {
    const auto source = RandomSource::seed_from_u64(0);
    EXPECT_EQ(source.key(), (gapweave::ChaChaKey{0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06,
                                                 0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7}));
    EXPECT_EQ(source.block_counter(), 0u);
}

TEST(RandomSourceSeed, LargestSeedIsAnOrdinarySeed) {
    const std::uint64_t max_seed = ~std::uint64_t{0};
    EXPECT_EQ(first_words(max_seed, 8), first_words(max_seed, 8));
    EXPECT_NE(RandomSource::seed_from_u64(max_seed).key(), RandomSource::seed_from_u64(0).key());
}

class RandomSourceStreamStart
    : public testing::TestWithParam<std::pair<std::uint64_t, std::vector<std::uint32_t>>> {};

TEST_P(RandomSourceStreamStart, MatchesReferenceWords) {
    EXPECT_EQ(first_words(GetParam().first, 4), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    RandomSeeds, RandomSourceStreamStart,
    testing::Values(
        std::pair{0, std::vector<std::uint32_t>{0xcd2c6f7f, 0xbb2a3fb2, 0x8e27697b, 0xc6017c94}},
        std::pair{1, std::vector<std::uint32_t>{0xd3301861, 0xf9681a64, 0xcc0d694a, 0xb0f4d125}},
        std::pair{42, std::vector<std::uint32_t>{0x222724a2, 0x86cc7763, 0x3fad517d, 0x8af00a13}}));

TEST(RandomSourceWidths, WideReadsOfSeedZero) {
    EXPECT_EQ(RandomSource::seed_from_u64(0).next_u64(), 0xbb2a3fb2cd2c6f7fULL);
    EXPECT_EQ(RandomSource::seed_from_u64(0).uniform_f64(), 0.7311134158637046);
}

// After `offset` 32-bit reads a 64-bit read takes words offset (low half) and
// offset + 1; at offset 63 it straddles the end of the four-block buffer.
class RandomSourceMixedReads : public testing::TestWithParam<std::uint64_t> {};

TEST_P(RandomSourceMixedReads, SixtyFourBitReadContinuesTheWordSequence) {
    const std::uint64_t offset = GetParam();
    const auto words = first_words(5, offset + 3);
    auto source = advanced(5, offset);
    EXPECT_EQ(source.next_u64(), (std::uint64_t{words[offset + 1]} << 32) | words[offset]);
    EXPECT_EQ(source.next_u32(), words[offset + 2]);
    EXPECT_EQ(source, advanced(5, offset + 3));
}

INSTANTIATE_TEST_SUITE_P(RandomOffsets, RandomSourceMixedReads,
                         testing::Values(0, 1, 62, 63, 64, 65, 127, 128));

// (words read, block counter): every refill computes four blocks.
class RandomSourceBlockCounter
    : public testing::TestWithParam<std::pair<std::uint64_t, std::uint64_t>> {};

TEST_P(RandomSourceBlockCounter, AdvancesFourBlocksPerRefill) {
    const auto source = advanced(9, GetParam().first);
    EXPECT_EQ(source.block_counter(), GetParam().second);
    EXPECT_EQ(source.words_consumed(), GetParam().first);
}

INSTANTIATE_TEST_SUITE_P(RandomReads, RandomSourceBlockCounter,
                         testing::Values(std::pair{0, 0}, std::pair{1, 4}, std::pair{64, 4},
                                         std::pair{65, 8}, std::pair{129, 12}));

TEST(RandomSourceChaCha, CounterLowWordCarriesIntoHighWord) {
    gapweave::ChaChaCore core(RandomSource::seed_from_u64(0).key());
    core.set_block_counter(0xfffffffeULL);
    gapweave::ChaChaBuffer buffer{};
    core.generate(buffer);
    EXPECT_EQ(core.block_counter(), 0x100000002ULL);
    gapweave::ChaChaBlock third{};
    std::copy_n(buffer.begin() + 32, 16, third.begin());
    EXPECT_EQ(third, core.block(0x100000000ULL));
    EXPECT_NE(third, core.block(0));
}

TEST(RandomSourceUniformBelow, RangeOneIsZeroFromOneWord) {
    auto source = RandomSource::seed_from_u64(3);
    for (std::uint64_t draw = 1; draw <= 300; ++draw) {
        ASSERT_EQ(source.uniform_below(1), 0u);
        ASSERT_EQ(source.words_consumed(), draw);
    }
}

struct BoundedSequence {
    std::uint32_t range;
    std::vector<std::uint32_t> values;
    std::vector<std::uint64_t> words;  // words taken by each draw
};

class RandomSourceBoundedSequence : public testing::TestWithParam<BoundedSequence> {};

TEST_P(RandomSourceBoundedSequence, SeedZeroGivesReferenceValuesAndWordCounts) {
    auto source = RandomSource::seed_from_u64(0);
    std::uint64_t consumed = 0;
    for (std::size_t i = 0; i < GetParam().values.size(); ++i) {
        EXPECT_EQ(source.uniform_below(GetParam().range), GetParam().values[i]) << "draw " << i;
        consumed += GetParam().words[i];
        EXPECT_EQ(source, advanced(0, consumed)) << "draw " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(RandomRanges, RandomSourceBoundedSequence,
                         testing::Values(BoundedSequence{10, {8, 7, 5, 7, 8}, {1, 1, 1, 1, 1}},
                                         BoundedSequence{3000000000u,
                                                         {2404377847u, 2193340247u, 1665866640u},
                                                         {1, 1, 2}}));

TEST(RandomClockSeed, NanosecondsSinceEpochModulo2To64) {
    EXPECT_EQ(gapweave::nanos_since_epoch({0, 0}), 0u);
    EXPECT_EQ(gapweave::nanos_since_epoch({1, 500}), 1000000500u);
    if constexpr (sizeof(std::time_t) >= 8) {
        // 18446744074 s is just past 2^64 ns, so the count wraps.
        std::timespec late{};
        late.tv_sec = static_cast<std::time_t>(18446744074LL);
        late.tv_nsec = 5;
        EXPECT_EQ(gapweave::nanos_since_epoch(late), 290448389u);
    } else {
        // A 32-bit clock's last second still counts in 64 bits, without wrapping.
        std::timespec last{};
        last.tv_sec = std::numeric_limits<std::time_t>::max();
        last.tv_nsec = 999999999;
        EXPECT_EQ(gapweave::nanos_since_epoch(last), 2147483647999999999u);
    }
    try {
        gapweave::nanos_since_epoch({-1, 999999999});
        ADD_FAILURE() << "a reading before the epoch raised no fault";
    } catch (const gapweave::Fault& fault) {
        EXPECT_EQ(fault.message().rfind("Getting time failed: ", 0), 0u) << fault.message();
    }
}

TEST(RandomClockSeed, LiesBetweenTwoClockReadings) {
    std::timespec before{};
    std::timespec after{};
    ::clock_gettime(CLOCK_REALTIME, &before);
    const std::uint64_t seed = gapweave::clock_seed();
    ::clock_gettime(CLOCK_REALTIME, &after);
    EXPECT_LE(gapweave::nanos_since_epoch(before), seed);
    EXPECT_GE(gapweave::nanos_since_epoch(after), seed);
}

TEST(ThreadRng, DrawsDifferWithinAndAcrossThreads) {
    std::vector<std::uint64_t> draws(8);
    {
        std::vector<std::jthread> threads;
        for (std::size_t t = 0; t < draws.size(); t += 2) {
            threads.emplace_back([&draws, t] {
                draws[t] = gapweave::thread_rng_next_u64();
                draws[t + 1] = gapweave::thread_rng_next_u64();
            });
        }
    }
    EXPECT_EQ(std::set(draws.begin(), draws.end()).size(), draws.size());
}

TEST(ThreadRng, RekeysWhenTheCounterReaches1024Blocks) {
    std::jthread([] {  // a new thread starts a fresh generator at counter 0
        auto& rng = gapweave::ThreadRng::local();
        for (std::uint64_t word = 1; word <= 1024 * 16; ++word) {
            rng.next_u32();
            ASSERT_EQ(rng.block_counter(), (word + 63) / 64 * 4) << "word " << word;
        }
        rng.next_u32();
        EXPECT_EQ(rng.block_counter(), 4u);
    });
}

}  // namespace
