// Worker pool and result channel: results, failures, joins and shutdown.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "pool/channel.hpp"
#include "pool/thread_pool.hpp"

namespace gapweave {
namespace {

using namespace std::chrono_literals;
using Results = std::multiset<std::size_t>;
constexpr auto kHangGuard = 60s;  // guards against hangs, never measures speed

template <class Pred>
bool eventually(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (!pred() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return pred();
}

// Each caller waits until `expected` callers have arrived; false if the hang
// guard expires first, i.e. fewer callers ran at the same time.
struct Rendezvous {
    explicit Rendezvous(std::size_t n) : expected(n) {}
    bool arrive_and_wait() {
        std::unique_lock lock(mutex);
        if (++arrived >= expected) cv.notify_all();
        return cv.wait_for(lock, kHangGuard, [&] { return arrived >= expected; });
    }
    std::mutex mutex;
    std::condition_variable cv;
    std::size_t arrived = 0, expected;
};

std::vector<std::size_t> drain(Receiver<std::size_t>& rx) {
    std::vector<std::size_t> got;
    while (auto v = rx.recv()) got.push_back(*v);
    return got;
}

Results indices(std::size_t n) {
    Results all;
    for (std::size_t i = 0; i < n; ++i) all.insert(i);
    return all;
}

// One pass as a generator runs it: job i sends i, or throws if it is in `failing`.
Results run_pass(ThreadPool& pool, std::size_t jobs, const std::set<std::size_t>& failing = {}) {
    auto [tx, rx] = make_channel<std::size_t>();
    for (std::size_t i = 0; i < jobs; ++i) {
        pool.execute([tx, i, fail = failing.contains(i)] {
            if (fail) throw Fault("No argmin found!");
            tx.send(i);
        });
    }
    tx.reset();
    pool.join();
    auto got = drain(rx);
    return {got.begin(), got.end()};
}

// Whether the pool runs `n` jobs at the same time.
bool runs_concurrently(ThreadPool& pool, std::size_t n) {
    auto meet = std::make_shared<Rendezvous>(n);
    auto [tx, rx] = make_channel<std::size_t>();
    for (std::size_t i = 0; i < n; ++i)
        pool.execute([tx, meet] { tx.send(meet->arrive_and_wait()); });
    tx.reset();
    pool.join();
    return drain(rx) == std::vector<std::size_t>(n, 1);
}

template <class F>
std::string fault_message(F&& f) {
    try {
        f();
    } catch (const Fault& fault) {
        return fault.message();
    }
    return "(no fault)";
}

TEST(Channel, DeliversInOrderAndClosesWithTheLastSender) {
    auto [tx, rx] = make_channel<std::size_t>();
    Sender<std::size_t> copy = tx;
    tx.send(1);
    tx.reset();
    copy.send(2);
    Sender<std::size_t> moved = std::move(copy);  // the moved-from copy no longer counts
    std::thread([s = std::move(moved)] { s.send(3); }).join();
    EXPECT_EQ(drain(rx), (std::vector<std::size_t>{1, 2, 3}));
    EXPECT_EQ(rx.recv(), std::nullopt);
}

TEST(Channel, SendWithoutReceiverFails) {
    auto [tx, rx] = make_channel<int>();
    { auto gone = std::move(rx); }
    EXPECT_EQ(fault_message([&] { tx.send(1); }),
              "called `Result::unwrap()` on an `Err` value: SendError { .. }");
}

TEST(Pool, ZeroThreadsIsAFault) {
    EXPECT_EQ(fault_message([] { ThreadPool pool(0); }), "assertion failed: num_threads > 0");
}

class PoolSizes : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(PoolSizes, ResultsDoNotDependOnWorkerCount) {
    ThreadPool pool(GetParam());
    EXPECT_EQ(run_pass(pool, 200), indices(200));
    EXPECT_EQ(pool.queued_count() + pool.active_count(), 0u);
    EXPECT_TRUE(runs_concurrently(pool, GetParam()));
}

TEST_P(PoolSizes, FailingJobsLeaveThePoolWhole) {
    ThreadPool pool(GetParam());
    ::testing::internal::CaptureStderr();
    const std::set<std::size_t> failing = {0, 3, 4, 9, 17};
    Results expected = indices(20);
    for (auto f : failing) expected.erase(f);
    for (std::size_t pass = 1; pass <= 3; ++pass) {
        EXPECT_EQ(run_pass(pool, 20, failing), expected);
        EXPECT_TRUE(eventually([&] { return pool.panic_count() == pass * failing.size(); }));
    }
    EXPECT_EQ(pool.max_count(), GetParam());
    EXPECT_TRUE(runs_concurrently(pool, GetParam()));
    // Each failure is reported with its message and where it was raised.
    const std::string reports = ::testing::internal::GetCapturedStderr();
    std::size_t count = 0;
    for (auto at = reports.find("No argmin found! at "); at != std::string::npos;
         at = reports.find("No argmin found! at ", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 3 * failing.size()) << reports;
    EXPECT_NE(reports.find("test_thread_pool.cpp:"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Pool, PoolSizes, ::testing::Values(1u, 2u, 3u, 6u, 16u));

TEST(Pool, SingleWorkerRunsJobsInQueueOrder) {
    ThreadPool pool(1);
    auto [tx, rx] = make_channel<std::size_t>();
    for (std::size_t i = 0; i < 50; ++i) pool.execute([tx, i] { tx.send(i); });
    tx.reset();
    pool.join();
    std::vector<std::size_t> expected(50);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(drain(rx), expected);
}

TEST(Pool, PassWithoutJobsReceivesNothing) {
    ThreadPool pool(3);
    EXPECT_TRUE(run_pass(pool, 0).empty());
}

// Dawdles before dropping its reference: a pool that reported a job
// finished before destroying it would be caught.
struct SlowRelease {
    explicit SlowRelease(std::shared_ptr<int> r) : ref(std::move(r)) {}
    SlowRelease(SlowRelease&&) = default;
    ~SlowRelease() {
        if (ref) std::this_thread::sleep_for(2ms);
    }
    std::shared_ptr<int> ref;
};

TEST(Pool, JobsReleaseTheirCapturesBeforeJoinReturns) {
    ThreadPool pool(4);
    ::testing::internal::CaptureStderr();
    auto matrix = std::make_shared<int>(7);
    for (int pass = 0; pass < 5; ++pass) {
        for (int i = 0; i < 12; ++i) {  // 6 of them fail
            pool.execute([held = SlowRelease(matrix), i] {
                if (i % 3 == 0) throw std::runtime_error("not a fault");
                if (i % 5 == 0) throw 42;
            });
        }
        pool.join();
        EXPECT_EQ(matrix.use_count(), 1) << "pass " << pass;
    }
    EXPECT_TRUE(eventually([&] { return pool.panic_count() == 5 * 6; }));
    const std::string reports = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(reports.find("not a fault"), std::string::npos) << reports;
    EXPECT_NE(reports.find("unknown exception"), std::string::npos) << reports;
}

TEST(Pool, SendAfterReceiverIsGoneFailsOnlyThatJob) {
    ThreadPool pool(2);
    auto [tx, rx] = make_channel<std::size_t>();
    { auto gone = std::move(rx); }
    ::testing::internal::CaptureStderr();
    pool.execute([tx] { tx.send(1); });
    pool.join();
    EXPECT_TRUE(eventually([&] { return pool.panic_count() == 1; }));
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("SendError"), std::string::npos);
    EXPECT_EQ(run_pass(pool, 10), indices(10));
}

TEST(Pool, CountsQueuedAndActiveJobs) {
    ThreadPool pool(1);
    auto gate = std::make_shared<Rendezvous>(2);
    pool.execute([gate] { gate->arrive_and_wait(); });
    for (int i = 0; i < 3; ++i) pool.execute([] {});
    EXPECT_TRUE(eventually([&] { return pool.active_count() == 1 && pool.queued_count() == 3; }));
    EXPECT_TRUE(gate->arrive_and_wait());
    pool.join();
    EXPECT_EQ(pool.active_count() + pool.queued_count(), 0u);
}

TEST(Pool, ConcurrentJoinersAllReturnAfterTheWork) {
    ThreadPool pool(2);
    auto gate = std::make_shared<Rendezvous>(2);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    pool.execute([gate, finished] {
        gate->arrive_and_wait();
        *finished = true;
    });
    std::atomic<int> saw_finished{0};
    std::vector<std::thread> joiners;
    for (int i = 0; i < 4; ++i)
        joiners.emplace_back([&] {
            pool.join();
            saw_finished += *finished;
        });
    EXPECT_TRUE(gate->arrive_and_wait());
    for (auto& t : joiners) t.join();
    EXPECT_EQ(saw_finished.load(), 4);
}

std::size_t thread_count() {
    auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

TEST(Pool, DroppingThePoolEndsWorkersAfterQueuedJobs) {
    const std::size_t before = thread_count();
    auto [tx, rx] = make_channel<std::size_t>();
    {
        ThreadPool idle(8), busy(2);
        EXPECT_GE(thread_count(), 11u);
        for (std::size_t i = 0; i < 30; ++i) busy.execute([tx, i] { tx.send(i); });
    }  // neither destructor waits for a worker
    tx.reset();
    const auto got = drain(rx);
    EXPECT_EQ(Results(got.begin(), got.end()), indices(30));
    EXPECT_TRUE(eventually([&] { return thread_count() <= before; }));
}

// Only the forking thread survives a fork: a child that inherits a pool
// starts workers of its own at the start of its first call, and destroying
// a pool it inherited and never used touches none of the parent's state.
// ThreadSanitizer does not support threads started after a fork of a
// process that has threads, so its run leaves this to the Python tests.
#if !defined(__SANITIZE_THREAD__)
TEST(Pool, ForkedChildStartsWorkersOfItsOwn) {
    ThreadPool used(3);
    EXPECT_EQ(run_pass(used, 20), indices(20));
    auto unused = std::make_unique<ThreadPool>(2);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool ok = true;
        // Counted against the child's own threads at the start, since an
        // emulator (qemu-user) keeps threads of its own in the process.
        const auto before = thread_count();
        {
            ThreadPool::Call call(used, [] { return false; });
            ok = run_pass(used, 20) == indices(20) && thread_count() == before + 3;
        }
        unused.reset();
        ok = ok && run_pass(used, 20) == indices(20);
        _exit(ok ? 0 : 1);
    }
    // The child ends within the hang guard, or fails the test.
    int status = 0;
    bool ended = false;
    EXPECT_TRUE(eventually([&] {
        ended = ended || waitpid(child, &status, WNOHANG) == child;
        return ended;
    }));
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(run_pass(used, 20), indices(20));
}
#endif

}  // namespace
}  // namespace gapweave
