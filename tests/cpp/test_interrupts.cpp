// Interrupted calls: the waits run the call's check, an interrupt skips the
// jobs still queued and stops the running ones at their next stop point,
// and the pool and its generator stay usable. A check that never reports
// changes no result.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "generators/mar.hpp"
#include "generators/mnar.hpp"
#include "pool/channel.hpp"
#include "pool/interrupt.hpp"
#include "pool/thread_pool.hpp"

namespace gapweave {
namespace {

using namespace std::chrono_literals;

// A check that reports an interrupt from its `after`-th run on.
struct CountingCheck {
    explicit CountingCheck(std::size_t after) : after(after) {}
    InterruptCheck check() {
        return [this] { return ++runs >= after; };
    }
    std::size_t after;
    std::size_t runs = 0;
};

// A job that runs until its pool stops it.
void until_stopped() {
    for (;;) {
        stop_point();
        std::this_thread::sleep_for(1ms);
    }
}

TEST(Interrupts, JoinStopsRunningJobsAndSkipsQueuedOnes) {
    ThreadPool pool(2);
    auto ran = std::make_shared<std::atomic<int>>(0);
    CountingCheck interrupt(3);
    {
        ThreadPool::Call call(pool, interrupt.check());
        for (int i = 0; i < 2; ++i) pool.execute([] { until_stopped(); });
        for (int i = 0; i < 20; ++i) pool.execute([ran] { ++*ran; });
        EXPECT_THROW(pool.join(), Interrupted);
        EXPECT_EQ(interrupt.runs, 3u);  // once, then once per stretch of waiting
        EXPECT_EQ(pool.active_count() + pool.queued_count(), 0u);
        EXPECT_EQ(ran->load(), 0);
        pool.join();  // once interrupted, a wait neither checks nor throws
        EXPECT_EQ(interrupt.runs, 3u);
    }
    // Jobs that stopped have not failed: no worker was replaced, and the
    // next call runs every job.
    EXPECT_EQ(pool.panic_count(), 0u);
    ThreadPool::Call next(pool, [] { return false; });
    for (int i = 0; i < 20; ++i) pool.execute([ran] { ++*ran; });
    pool.join();
    EXPECT_EQ(ran->load(), 20);
}

TEST(Interrupts, StopPointOnTheCallingThreadRunsTheCheck) {
    ThreadPool pool(1);
    CountingCheck interrupt(2);
    ThreadPool::Call call(pool, interrupt.check());
    stop_point();
    EXPECT_THROW(stop_point(), Interrupted);
    // Jobs queued now are skipped; the wait that follows returns quietly.
    auto ran = std::make_shared<std::atomic<bool>>(false);
    pool.execute([ran] { *ran = true; });
    pool.join();
    EXPECT_FALSE(ran->load());
    EXPECT_EQ(interrupt.runs, 2u);
}

Matrix table(std::size_t rows, std::size_t cols) {
    RandomSource rng = RandomSource::seed_from_u64(rows);
    Matrix m{rows, cols, std::vector<double>(rows * cols)};
    for (double& v : m.data) v = rng.uniform_f64() * 10.0;
    return m;
}

std::vector<std::uint64_t> bits(const Matrix& m) {
    std::vector<std::uint64_t> out;
    for (double v : m.data) out.push_back(std::bit_cast<std::uint64_t>(v));
    return out;
}

std::size_t holes(const Matrix& m) {
    std::size_t n = 0;
    for (double v : m.data) n += v != v;
    return n;
}

// Large enough for chunked Gauss tables, sorted drivers and many stop points.
constexpr std::size_t kRows = 70000;
constexpr std::size_t kCols = 4;

TEST(Interrupts, CallsUnderANeverReportingCheckGiveTheSameHoles) {
    const Matrix cells = table(kRows, kCols);
    MNAR plain{0.5, 0.1, Mode::GM, RandomSource::seed_from_u64(5), ThreadPool(3)};
    MNAR watched{0.5, 0.1, Mode::GM, RandomSource::seed_from_u64(5), ThreadPool(3)};
    const Matrix expected = plain.punch(cells, 0.4);
    ThreadPool::Call call(watched.pool, [] { return false; });
    EXPECT_EQ(bits(watched.punch(cells, 0.4)), bits(expected));
    EXPECT_EQ(watched.rng, plain.rng);
}

TEST(Interrupts, InterruptedGeneratorsStayUsable) {
    const Matrix cells = table(kRows, kCols);
    const auto quiet = [](const std::string&) {};
    for (std::size_t after : {1u, 2u, 4u}) {
        MNAR mnar{0.5, 0.1, Mode::GM, RandomSource::seed_from_u64(after), ThreadPool(3)};
        MAR mar{0.5, 0.1, 0.8, Mode::GM, RandomSource::seed_from_u64(after), ThreadPool(3)};
        {
            CountingCheck interrupt(after);
            ThreadPool::Call call(mnar.pool, interrupt.check());
            EXPECT_THROW(mnar.punch(cells, 0.5), Interrupted) << after;
        }
        {
            CountingCheck interrupt(after);
            ThreadPool::Call call(mar.pool, interrupt.check());
            EXPECT_THROW(mar.punch(cells, 0.5, quiet), Interrupted) << after;
        }
        ThreadPool::Call next_mnar(mnar.pool, [] { return false; });
        EXPECT_EQ(holes(mnar.punch(cells, 0.5)), kRows * kCols / 2);
        ThreadPool::Call next_mar(mar.pool, [] { return false; });
        EXPECT_GT(holes(mar.punch(cells, 0.5, quiet)), 0u);
        EXPECT_EQ(mnar.pool.panic_count() + mar.pool.panic_count(), 0u);
    }
}

}  // namespace
}  // namespace gapweave
