#include "pool/thread_pool.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <vector>

#include "base/messages.hpp"

namespace gapweave {

namespace {

// Workers run with a fixed stack size rather than the platform default,
// which is small on some C libraries.
constexpr std::size_t kWorkerStackBytes = 2 * 1024 * 1024;

constexpr const char* kWorkerFailure = "gapweave worker thread panicked";

enum class Detach { kNow, kLater };

pthread_t spawn_in_pool(std::shared_ptr<ThreadPoolSharedData> data, Detach detach = Detach::kNow);

// Armed for the life of a worker. If the worker ends without disarming it
// (a job failed, or the worker loop itself failed), it settles the counters,
// wakes joiners and starts a replacement so that the pool keeps its size.
class Sentinel {
public:
    explicit Sentinel(std::shared_ptr<ThreadPoolSharedData> data) : data_(std::move(data)) {}
    Sentinel(const Sentinel&) = delete;
    Sentinel& operator=(const Sentinel&) = delete;

    ~Sentinel() {
        if (!armed_) return;
        if (in_job_) data_->active_count.fetch_sub(1);
        data_->panic_count.fetch_add(1);
        try {
            data_->no_work_notify_all();
            spawn_in_pool(data_);
        } catch (const Fault& fault) {
            // Losing a worker silently would shrink the pool for good, so
            // a replacement that cannot be started ends the process.
            report_fault("gapweave: cannot replace a failed worker", fault);
            std::abort();
        } catch (...) {
            std::fputs("gapweave: cannot replace a failed worker\n", stderr);
            std::abort();
        }
    }

    void job_started() noexcept { in_job_ = true; }
    void job_finished() noexcept { in_job_ = false; }
    void disarm() noexcept { armed_ = false; }

private:
    std::shared_ptr<ThreadPoolSharedData> data_;
    bool armed_ = true;
    bool in_job_ = false;
};

void report_exception(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const Fault& fault) {
        report_fault(kWorkerFailure, fault);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kWorkerFailure, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: unknown exception\n", kWorkerFailure);
    }
}

// Runs and destroys one job. The job is destroyed before this returns, so
// its captures (result sender, matrix reference) are released before the
// worker reports the job as finished. On failure the report is written
// first, as the failing job is still being torn down. While the call is
// being interrupted a job is destroyed without running, and a job that
// stops at a stop point has not failed: its worker carries on.
bool run_job(const ThreadPoolSharedData& data, Job& slot) noexcept {
    Job job = std::move(slot);
    if (data.stopping.load()) return true;
    try {
        job();
        return true;
    } catch (const Interrupted&) {
        return true;
    } catch (...) {
        report_exception(std::current_exception());
        return false;
    }
}

void worker_loop(ThreadPoolSharedData& data, Sentinel& sentinel) {
    for (;;) {
        std::optional<Job> job;
        {
            std::unique_lock<std::mutex> lock(data.job_receiver_lock, std::defer_lock);
            try {
                lock.lock();
            } catch (const std::system_error& e) {
                throw Fault(std::string("Worker thread unable to lock job_receiver: ") + e.what());
            }
            job = data.job_receiver.recv();
        }
        if (!job) break;  // queue closed and drained

        // Active first, then queued: a joiner never sees both at zero
        // while the job changes hands.
        data.active_count.fetch_add(1);
        data.queued_count.fetch_sub(1);
        sentinel.job_started();
        if (!run_job(data, *job)) return;  // the armed sentinel replaces this worker
        sentinel.job_finished();
        data.active_count.fetch_sub(1);
        data.no_work_notify_all();
    }
    sentinel.disarm();
}

struct WorkerStart {
    std::shared_ptr<ThreadPoolSharedData> data;
};

// Nothing may escape a thread's entry function: a failure outside a job
// is reported and handled by the sentinel like a failing job.
void* worker_entry(void* raw) noexcept {
#if defined(__linux__)
    // Shown by top -H, debuggers and /proc/<pid>/task/<tid>/comm; a failure
    // to set it changes nothing else.
    (void)pthread_setname_np(pthread_self(), "gapweave");
#endif
    std::shared_ptr<ThreadPoolSharedData> data;
    {
        std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(raw));
        data = std::move(start->data);
    }
    enter_worker(data->stopping);
    Sentinel sentinel(data);
    try {
        worker_loop(*data, sentinel);
    } catch (...) {
        report_exception(std::current_exception());
    }
    return nullptr;
}

[[noreturn]] void thread_fault(const char* what, int error) {
    throw Fault(std::string(what) + ": " + std::strerror(error) + " (os error " +
                std::to_string(error) + ")");
}

// RAII for pthread attributes.
class ThreadAttributes {
public:
    ThreadAttributes() {
        if (int rc = pthread_attr_init(&attr_)) thread_fault("failed to spawn thread", rc);
    }
    ~ThreadAttributes() { pthread_attr_destroy(&attr_); }
    ThreadAttributes(const ThreadAttributes&) = delete;
    ThreadAttributes& operator=(const ThreadAttributes&) = delete;
    pthread_attr_t* get() noexcept { return &attr_; }

private:
    pthread_attr_t attr_;
};

// Starts one worker holding its own reference to `data`: detached, or
// joinable until the caller detaches or joins it.
pthread_t spawn_in_pool(std::shared_ptr<ThreadPoolSharedData> data, Detach detach) {
    ThreadAttributes attr;
    if (int rc = pthread_attr_setstacksize(attr.get(), kWorkerStackBytes)) {
        thread_fault("failed to spawn thread", rc);
    }
    const int state = detach == Detach::kNow ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE;
    if (int rc = pthread_attr_setdetachstate(attr.get(), state)) {
        thread_fault("failed to spawn thread", rc);
    }
    auto start = std::make_unique<WorkerStart>(WorkerStart{std::move(data)});
    pthread_t thread;
    if (int rc = pthread_create(&thread, attr.get(), worker_entry, start.get())) {
        thread_fault("failed to spawn thread", rc);
    }
    start.release();  // now owned by the new thread
    return thread;
}

// What a child of a fork keeps of an inherited pool, never destroyed.
// The list is reachable from a global, so leak checkers do not count it.
struct Abandoned {
    Sender<Job> sender;
    std::shared_ptr<ThreadPoolSharedData> shared;
    Abandoned* next;
};
std::atomic<Abandoned*> g_abandoned{nullptr};

}  // namespace

void Job::operator()() {
    expect(impl_ != nullptr, "called an empty Job");
    impl_->run();
}

void ThreadPoolSharedData::no_work_notify_all() {
    if (has_work()) return;
    std::unique_lock<std::mutex> lock(empty_trigger, std::defer_lock);
    try {
        lock.lock();
    } catch (const std::system_error& e) {
        throw Fault(std::string("Unable to notify all joining threads: ") + e.what());
    }
    empty_condvar.notify_all();
}

namespace {

std::uint32_t checked_thread_count(std::uint32_t n) {
    expect(n > 0, "assertion failed: num_threads > 0");
    return n;
}

}  // namespace

ThreadPool::ThreadPool(std::uint32_t n)
    : ThreadPool(checked_thread_count(n), make_channel<Job>()) {}

ThreadPool::ThreadPool(std::uint32_t n, std::pair<Sender<Job>, Receiver<Job>> queue)
    : job_sender_(std::move(queue.first)),
      shared_(std::make_shared<ThreadPoolSharedData>(std::move(queue.second), n)),
      owner_(getpid()) {
    // Joinable until all have started: when one cannot be started, closing
    // the queue ends the others, and joining them leaves no thread behind
    // (nor its share of the system's thread limit) when the fault is raised.
    // Room for each handle is made before its thread starts, so that no
    // started thread goes unrecorded.
    std::vector<pthread_t> started;
    try {
        for (std::uint32_t i = 0; i < n; ++i) {
            started.emplace_back();
            try {
                started.back() = spawn_in_pool(shared_, Detach::kLater);
            } catch (...) {
                started.pop_back();  // it did not start
                throw;
            }
        }
    } catch (...) {
        job_sender_.reset();
        for (pthread_t thread : started) pthread_join(thread, nullptr);
        throw;
    }
    for (pthread_t thread : started) pthread_detach(thread);
}

ThreadPool::~ThreadPool() {
    if (shared_ && owner_ != getpid()) abandon();
}

void ThreadPool::abandon() noexcept {
    // Moving the handles out touches neither the shared state nor its locks.
    // (Should even this small block be beyond the memory left, the process
    // ends here: nothing else would be safe.)
    auto kept = std::make_unique<Abandoned>(
        Abandoned{std::move(job_sender_), std::move(shared_), g_abandoned.load()});
    while (!g_abandoned.compare_exchange_weak(kept->next, kept.get())) {
    }
    kept.release();  // owned by the list for the rest of the process
}

void ThreadPool::restart_if_inherited() {
    if (owner_ == getpid()) return;
    // The new workers first: should they fail to start, this pool is still
    // the inherited one, and the next call tries again.
    ThreadPool fresh(static_cast<std::uint32_t>(shared_->max_thread_count.load()));
    abandon();
    *this = std::move(fresh);
}

ThreadPool::Call::Call(ThreadPool& pool, InterruptCheck check)
    : pool_((pool.restart_if_inherited(), pool)),
      interrupts_(pool.shared_->stopping, std::move(check)) {}

void ThreadPool::execute(Job job) {
    shared_->queued_count.fetch_add(1);
    if (job_sender_.try_send(std::move(job))) {
        throw Fault(messages::kQueueClosed);
    }
}

void ThreadPool::join() {
    CallInterrupts* call = CallInterrupts::current();
    if (call == nullptr || !call->watches(shared_->stopping) || call->stopped()) {
        wait_idle();
        return;
    }
    // Checked before each stretch of waiting, so that every join checks
    // at least once, however soon the jobs end.
    while (!call->interrupted()) {
        if (wait_until_idle(kInterruptPoll)) return;
    }
    wait_idle();  // the jobs already running; queued ones are skipped
    throw Interrupted();
}

void ThreadPool::wait_idle() noexcept { wait_until_idle(std::nullopt); }

bool ThreadPool::wait_until_idle(std::optional<std::chrono::milliseconds> timeout) noexcept {
    if (!shared_->has_work()) return true;

    std::size_t generation = shared_->join_generation.load();
    std::unique_lock lock(shared_->empty_trigger);
    const auto done = [&] {
        return generation != shared_->join_generation.load() || !shared_->has_work();
    };
    if (timeout) {
        if (!shared_->empty_condvar.wait_for(lock, *timeout, done)) return false;
    } else {
        shared_->empty_condvar.wait(lock, done);
    }
    // The first joiner to leave advances the generation, which lets the
    // others that started from the same value leave as well.
    shared_->join_generation.compare_exchange_strong(generation, generation + 1);
    return true;
}

std::size_t ThreadPool::max_count() const { return shared_->max_thread_count.load(); }
std::size_t ThreadPool::panic_count() const { return shared_->panic_count.load(); }
std::size_t ThreadPool::active_count() const { return shared_->active_count.load(); }
std::size_t ThreadPool::queued_count() const { return shared_->queued_count.load(); }

}  // namespace gapweave
