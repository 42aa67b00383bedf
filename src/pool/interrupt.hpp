// Stopping a call early. The module gives each call a check that tells
// whether the call must stop (a signal arrived); the pool's waits run it
// while the calling thread waits for jobs, and long work runs stop_point()
// between pieces, so that an interrupted call ends within a bounded time.
// The engine never looks inside the check: it stays free of Python.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>

namespace gapweave {

// Thrown where a call stops because its check reported an interrupt. The
// check has said why (the module: the exception that a signal handler
// raised is set), so the exception itself carries nothing.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "the call was interrupted"; }
};

// True when the call must stop. Runs on the calling thread only.
using InterruptCheck = std::function<bool()>;

// Between pieces of long work, in jobs and on the calling thread: throws
// Interrupted once the current call is interrupted. On a worker it reads
// its pool's stop flag; on a calling thread it runs the call's check. A
// no-op on a thread without either.
void stop_point();

// Items a tight loop works through between two stop points: about a
// millisecond of work.
inline constexpr std::size_t kItemsBetweenStops = std::size_t{1} << 16;

// stop_point() at every kItemsBetweenStops-th item `i` of a loop.
inline void stop_point_at(std::size_t i) {
    if (i % kItemsBetweenStops == 0) stop_point();
}

// The interrupt state of one call on its calling thread: while it exists,
// stop_point() and the waits of the pool that owns `stop` run `check`.
// Once the check reports, `stop` is raised (the pool's workers skip the
// jobs still queued and long jobs stop at their next stop point) and the
// check is never run again for this call.
class CallInterrupts {
public:
    CallInterrupts(std::atomic<bool>& stop, InterruptCheck check);
    ~CallInterrupts();
    CallInterrupts(const CallInterrupts&) = delete;
    CallInterrupts& operator=(const CallInterrupts&) = delete;

    // The calling thread's call, or nullptr.
    static CallInterrupts* current() noexcept;

    // Whether this call's interrupts concern the pool whose flag is `stop`.
    bool watches(const std::atomic<bool>& stop) const noexcept { return &stop == &stop_; }

    // Whether the call was interrupted already.
    bool stopped() const noexcept { return stop_.load(); }

    // Runs the check unless the call was interrupted already; true once it
    // has been. Raises the stop flag when the check reports.
    bool interrupted();

private:
    std::atomic<bool>& stop_;
    InterruptCheck check_;
    CallInterrupts* previous_;
};

// Marks the running thread as a pool worker whose jobs stop at `stop`.
void enter_worker(const std::atomic<bool>& stop) noexcept;

}  // namespace gapweave
