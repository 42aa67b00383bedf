// Generators driven from several threads at once, each with its own pool:
// every thread gets exactly the results its generators give when run alone,
// and generators dropped right after their calls leave no worker behind.
// Small on purpose: under ThreadSanitizer every access is checked.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/fault.hpp"
#include "generators/mar.hpp"
#include "generators/mnar.hpp"

namespace gapweave {
namespace {

using namespace std::chrono_literals;
constexpr auto kHangGuard = 120s;  // guards against hangs, never measures speed
constexpr std::size_t kThreads = 6;
constexpr int kCalls = 12;

struct Result {
    std::vector<std::uint64_t> bits;
    std::optional<std::string> fault;
    bool operator==(const Result&) const = default;
};

Matrix table_for(std::uint64_t seed, std::size_t rows, std::size_t cols) {
    RandomSource rng = RandomSource::seed_from_u64(seed);
    Matrix m{rows, cols, std::vector<double>(rows * cols)};
    for (double& v : m.data) v = static_cast<double>(rng.uniform_below(9)) + rng.uniform_f64();
    return m;
}

template <class Call>
Result run(Call&& call) {
    Result result;
    try {
        const Matrix m = call();
        for (double v : m.data) result.bits.push_back(std::bit_cast<std::uint64_t>(v));
    } catch (const Fault& fault) {
        result.fault = fault.message();
    }
    return result;
}

// The calls of one thread: both generators, alphas up to above 1 (columns
// run out of cells), a table with a missing cell (the call faults).
std::vector<Result> workload(std::size_t index, std::uint32_t workers) {
    MNAR mnar{0.5, 0.2, static_cast<Mode>(index % 3), RandomSource::seed_from_u64(index),
              ThreadPool(workers)};
    MAR mar{0.5,
            0.1,
            0.7,
            static_cast<Mode>((index + 1) % 3),
            RandomSource::seed_from_u64(100 + index),
            ThreadPool(workers)};
    const auto quiet = [](const std::string&) {};
    std::vector<Result> results;
    for (int call = 0; call < kCalls; ++call) {
        Matrix table =
            table_for(index * 1000 + static_cast<std::uint64_t>(call), 12 + call % 5, 3 + call % 4);
        if (call % 6 == 5) table.data[1] = kMissing;
        const double alpha = 0.15 * (call % 9);
        results.push_back(run([&] { return mnar.punch(table, alpha); }));
        results.push_back(run([&] { return mar.punch(table, alpha, quiet); }));
    }
    return results;
}

std::size_t thread_count() {
    auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

template <class Pred>
bool eventually(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (!pred() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return pred();
}

TEST(GeneratorsConcurrently, EachThreadGetsItsSequentialResults) {
    ::testing::internal::CaptureStderr();  // "No argmin found!" reports
    std::vector<std::vector<Result>> expected;
    for (std::size_t i = 0; i < kThreads; ++i) expected.push_back(workload(i, 1));
    std::size_t faults = 0, tables = 0;
    for (const auto& results : expected) {
        for (const Result& r : results) (r.fault ? faults : tables) += 1;
    }
    ASSERT_GT(faults, 0u);      // the workload covers failing calls ...
    ASSERT_GT(tables, faults);  // ... and mostly calls that blank cells

    std::vector<std::vector<Result>> got(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            got[i] = workload(i, 1 + static_cast<std::uint32_t>(i % 4));
        });
    }
    for (auto& t : threads) t.join();
    ::testing::internal::GetCapturedStderr();

    for (std::size_t i = 0; i < kThreads; ++i) {
        ASSERT_EQ(got[i].size(), expected[i].size());
        for (std::size_t k = 0; k < got[i].size(); ++k) {
            EXPECT_EQ(got[i][k], expected[i][k]) << "thread " << i << ", call " << k;
        }
    }
}

TEST(GeneratorsConcurrently, DroppedGeneratorsLeaveNoWorkers) {
    const std::size_t before = thread_count();
    std::latch start(kThreads);
    std::atomic<int> calls{0};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            for (int k = 0; k < 20; ++k) {
                MNAR gen{0.5, 0.0, Mode::MIN, RandomSource::seed_from_u64(k),
                         ThreadPool(1 + k % 3)};
                if (k % 2 == 0) {
                    const Matrix out = gen.punch(table_for(i + k, 6, 3), 0.5);
                    calls += out.rows == 6;
                }
            }  // each generator is dropped while its workers may still be winding down
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(calls.load(), static_cast<int>(kThreads) * 10);
    EXPECT_TRUE(eventually([&] { return thread_count() <= before; }))
        << thread_count() - before << " threads left behind";
}

}  // namespace
}  // namespace gapweave
