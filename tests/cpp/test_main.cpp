// The engine tests' entry point: GoogleTest with a time limit on each test.
//
// A test that hangs (a lost wake-up in the pool, a join that never returns)
// would otherwise hang the whole run and CI with it. A watchdog thread ends
// the process with a failure once one test has run for longer than the
// limit, naming the test; the limit is far above the slowest test (about
// two seconds, several times that under ThreadSanitizer), so it never
// decides a result.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr auto kTestTimeLimit = 300s;

class TestTimeLimit : public ::testing::EmptyTestEventListener {
public:
    TestTimeLimit() : watchdog_([this] { watch(); }) {}
    ~TestTimeLimit() override {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        watchdog_.join();
    }

    void OnTestStart(const ::testing::TestInfo& test) override {
        {
            std::lock_guard lock(mutex_);
            running_ = std::string(test.test_suite_name()) + "." + test.name();
            deadline_ = std::chrono::steady_clock::now() + kTestTimeLimit;
        }
        changed_.notify_all();
    }

    void OnTestEnd(const ::testing::TestInfo&) override {
        {
            std::lock_guard lock(mutex_);
            deadline_.reset();
        }
        changed_.notify_all();
    }

private:
    void watch() {
        std::unique_lock lock(mutex_);
        while (!done_) {
            if (!deadline_) {
                changed_.wait(lock);
            } else if (changed_.wait_until(lock, *deadline_) == std::cv_status::timeout &&
                       deadline_ && std::chrono::steady_clock::now() >= *deadline_) {
                std::fprintf(stderr, "%s: still running after %lld s, the time limit of a test\n",
                             running_.c_str(), static_cast<long long>(kTestTimeLimit.count()));
                std::fflush(stderr);
                std::_Exit(EXIT_FAILURE);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    std::string running_;
    bool done_ = false;
    std::thread watchdog_;  // last: starts once the rest is ready
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The listeners own what is appended; this one lives until the run ends.
    ::testing::UnitTest::GetInstance()->listeners().Append(new TestTimeLimit);
    return RUN_ALL_TESTS();
}
