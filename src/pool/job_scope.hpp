// Scoped work on a pool: jobs queued for one piece of work and joined
// before the scope ends, on every path, so that they may use anything that
// outlives the scope, the caller's stack included.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "base/fault.hpp"
#include "pool/thread_pool.hpp"

namespace gapweave {

class JobScope {
public:
    explicit JobScope(ThreadPool& pool) : pool_(pool) {}
    // Waits for the jobs still running (after a failure or an interrupt on
    // the way; after an interrupt they stop early).
    ~JobScope() { pool_.wait_idle(); }
    JobScope(const JobScope&) = delete;
    JobScope& operator=(const JobScope&) = delete;

    // Queues `work()` on the pool.
    template <class Work>
    void execute(Work work) {
        pool_.execute([this, work = std::move(work)]() mutable {
            work();
            finished_.fetch_add(1, std::memory_order_relaxed);
        });
        ++queued_;
    }

    // Waits for every job queued; a fault (`failure`) when one of them
    // failed (its worker reported the failure and was replaced), and
    // Interrupted when the call was interrupted meanwhile.
    void join(const char* failure) {
        pool_.join();
        expect(finished_.load(std::memory_order_relaxed) == queued_, failure);
    }

private:
    ThreadPool& pool_;
    std::size_t queued_ = 0;
    std::atomic<std::size_t> finished_{0};
};

// Runs work(i) for every i below `count` as one pool job each and waits
// for all of them; a fault (`failure`) when a job failed. Job i writes its
// results where i says (its own entry of an indexed table), so what the
// call returns never depends on which worker ran which job.
template <class Work>
void parallel_for(ThreadPool& pool, std::size_t count, Work&& work, const char* failure) {
    JobScope scope(pool);
    for (std::size_t i = 0; i < count; ++i) scope.execute([&work, i] { work(i); });
    scope.join(failure);
}

// Runs work(block, begin, end) for the blocks of `size` consecutive indices
// (the last one shorter) that cover [0, count), one pool job each, and
// waits for all of them; a fault (`failure`) when a job failed. As with
// parallel_for, a block writes its results where its index says.
template <class Work>
void parallel_for_blocks(ThreadPool& pool, std::size_t count, std::size_t size, Work&& work,
                         const char* failure) {
    parallel_for(
        pool, (count + size - 1) / size,
        [&](std::size_t block) { work(block, block * size, std::min(count, (block + 1) * size)); },
        failure);
}

// The same for [0, count) cut into `parts` ranges of nearly equal length:
// range i is [count * i / parts, count * (i + 1) / parts), computed in 64
// bits so that count * parts cannot wrap a 32-bit size_t.
template <class Work>
void parallel_for_parts(ThreadPool& pool, std::size_t count, std::size_t parts, Work&& work,
                        const char* failure) {
    const auto bound = [&](std::size_t part) {
        return static_cast<std::size_t>(std::uint64_t{count} * part / parts);
    };
    parallel_for(
        pool, parts, [&](std::size_t part) { work(part, bound(part), bound(part + 1)); }, failure);
}

}  // namespace gapweave
