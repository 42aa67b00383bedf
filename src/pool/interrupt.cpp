#include "pool/interrupt.hpp"

#include <utility>

namespace gapweave {

namespace {

// On a pool worker: its pool's stop flag. On a calling thread: its call.
thread_local const std::atomic<bool>* t_worker_stop = nullptr;
thread_local CallInterrupts* t_call = nullptr;

}  // namespace

void stop_point() {
    if (t_worker_stop != nullptr) {
        if (t_worker_stop->load(std::memory_order_relaxed)) throw Interrupted();
        return;
    }
    if (t_call != nullptr && t_call->interrupted()) throw Interrupted();
}

CallInterrupts::CallInterrupts(std::atomic<bool>& stop, InterruptCheck check)
    : stop_(stop), check_(std::move(check)), previous_(t_call) {
    stop_.store(false);
    t_call = this;
}

CallInterrupts::~CallInterrupts() {
    t_call = previous_;
    stop_.store(false);
}

CallInterrupts* CallInterrupts::current() noexcept { return t_call; }

bool CallInterrupts::interrupted() {
    if (stop_.load()) return true;
    if (!check_ || !check_()) return false;
    stop_.store(true);
    return true;
}

void enter_worker(const std::atomic<bool>& stop) noexcept { t_worker_stop = &stop; }

}  // namespace gapweave
