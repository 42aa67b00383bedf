// Fixed-size pool of detached worker threads with a join that waits until
// nothing is queued or running.
//
// A pool belongs to the process that started it: only the calling thread
// survives a fork, so a child that inherits a pool starts its own workers
// at the start of its first call (ThreadPool::Call) and leaves the
// inherited state alone for good.
//
// A job that fails (throws) ends its worker after reporting the failure on
// standard error; the pool starts a replacement, so it keeps its size and
// the failure shows up to the caller only as a missing result.
#pragma once

#include <atomic>
#include <chrono>
#include <concepts>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include <sys/types.h>

#include "pool/channel.hpp"
#include "pool/interrupt.hpp"

namespace gapweave {

// A move-only callable that runs once and owns everything it captures.
class Job {
public:
    Job() = default;

    template <class F>
        requires(!std::same_as<std::remove_cvref_t<F>, Job> &&
                 std::invocable<std::remove_cvref_t<F>&> &&
                 std::move_constructible<std::remove_cvref_t<F>>)
    Job(F&& f)  // NOLINT(google-explicit-constructor): lambdas convert implicitly
        : impl_(std::make_unique<Model<std::remove_cvref_t<F>>>(std::forward<F>(f))) {}

    Job(Job&&) noexcept = default;
    Job& operator=(Job&&) noexcept = default;

    explicit operator bool() const noexcept { return impl_ != nullptr; }

    // Runs the callable; a fault for an empty job.
    void operator()();

private:
    struct Concept {
        virtual ~Concept() = default;
        virtual void run() = 0;
    };
    template <class F>
    struct Model final : Concept {
        explicit Model(F&& f) : fn(std::move(f)) {}
        explicit Model(const F& f) : fn(f) {}
        void run() override { fn(); }
        F fn;
    };

    std::unique_ptr<Concept> impl_;
};

// State shared by the pool handle and every worker; it lives as long as
// either holds it.
struct ThreadPoolSharedData {
    explicit ThreadPoolSharedData(Receiver<Job> receiver, std::size_t threads)
        : job_receiver(std::move(receiver)), max_thread_count(threads) {}

    // Taking a job happens under this lock, so one worker at a time waits
    // in the queue and the others wait for the lock.
    std::mutex job_receiver_lock;
    Receiver<Job> job_receiver;

    std::mutex empty_trigger;
    std::condition_variable empty_condvar;

    std::atomic<std::size_t> join_generation{0};
    std::atomic<std::size_t> queued_count{0};
    std::atomic<std::size_t> active_count{0};
    std::atomic<std::size_t> max_thread_count;
    std::atomic<std::size_t> panic_count{0};

    // Raised when the current call is interrupted: workers skip the jobs
    // still queued, and long jobs stop at their next stop point.
    std::atomic<bool> stopping{false};

    bool has_work() const noexcept { return queued_count.load() > 0 || active_count.load() > 0; }

    // Wakes every joiner once nothing is queued or running.
    void no_work_notify_all();
};

class ThreadPool {
public:
    // Starts `n` workers; n == 0 is a fault. A worker that cannot be started
    // is a fault too, raised after the workers started so far have ended.
    explicit ThreadPool(std::uint32_t n);
    // Closes the queue without waiting: the workers finish what is queued,
    // find the queue closed and end. In a child of the process that
    // started the pool the state is abandoned instead (see abandon()).
    ~ThreadPool();

    // A moved-from pool may only be destroyed or assigned to.
    ThreadPool(ThreadPool&&) noexcept = default;
    ThreadPool& operator=(ThreadPool&&) noexcept = default;
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Queues `job` at the tail; never blocks.
    void execute(Job job);

    // Returns once no job is queued or running, counting jobs that other
    // threads hand in meanwhile. Joiners that started together leave
    // together, even if new work arrives after the first of them wakes.
    // Inside a Call on this pool the wait runs the call's interrupt check
    // first and then every kInterruptPoll; on an interrupt it waits for the
    // jobs already running (the queued ones are skipped) and throws
    // Interrupted.
    void join();

    // join() without interrupts and without throwing, for destructors.
    void wait_idle() noexcept;

    // Starts fresh workers if this pool was inherited through fork.
    void restart_if_inherited();

    // One call's use of the pool by its calling thread: the pool restarted
    // first if it was inherited, and `check` installed for the call's
    // waits and stop points. Ends by waiting for anything still running.
    class Call {
    public:
        Call(ThreadPool& pool, InterruptCheck check);
        ~Call() { pool_.wait_idle(); }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        ThreadPool& pool_;
        CallInterrupts interrupts_;
    };

    std::size_t max_count() const;
    std::size_t panic_count() const;
    std::size_t active_count() const;
    std::size_t queued_count() const;

private:
    ThreadPool(std::uint32_t n, std::pair<Sender<Job>, Receiver<Job>> queue);

    // Waits until nothing is queued or running, or until `timeout` (when
    // given) has passed; false on the timeout.
    bool wait_until_idle(std::optional<std::chrono::milliseconds> timeout) noexcept;

    // In a child of the process that started the workers the inherited
    // queue and shared state belong to threads that do not exist here, and
    // their locks may have been held at the fork. Destroying them could
    // lock or wait forever, so they are kept, untouched, for the rest of
    // the process: a deliberate leak of one small block per pool inherited.
    void abandon() noexcept;

    Sender<Job> job_sender_;
    std::shared_ptr<ThreadPoolSharedData> shared_;
    pid_t owner_;  // the process that started the workers
};

// How often a waiting calling thread runs its call's interrupt check.
inline constexpr std::chrono::milliseconds kInterruptPoll{20};

}  // namespace gapweave
