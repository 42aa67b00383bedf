// Unbounded multi-producer, single-consumer channel.
//
// A generator pass creates one channel, gives every job a copy of the
// sender and keeps the receiver. Sending never blocks. The receiver learns
// that the pass is over when the last sender is gone, which is why every
// copy of a Sender counts as one sending end and its destructor gives it
// up. The pool's job queue is built on the same channel.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <source_location>
#include <utility>

#include "base/fault.hpp"
#include "base/messages.hpp"

namespace gapweave {

template <class T>
class Sender;
template <class T>
class Receiver;

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel();

namespace detail {

// State shared by all ends of one channel. The counts are plain integers
// guarded by the mutex, because every change of them must be seen together
// with the queue by a receiver that is about to sleep.
template <class T>
struct ChannelState {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<T> queue;
    std::size_t senders = 1;
    bool receiver_alive = true;
};

}  // namespace detail

template <class T>
class Sender {
public:
    Sender(const Sender& other) : state_(other.state_) {
        if (state_) {
            std::lock_guard lock(state_->mutex);
            ++state_->senders;
        }
    }
    // A moved-from sender is empty and no longer counts as a sending end.
    Sender(Sender&& other) noexcept = default;
    Sender& operator=(Sender other) noexcept {
        std::swap(state_, other.state_);
        return *this;
    }
    ~Sender() { reset(); }

    // Gives up this sending end now; the receiver sees the channel closed
    // once every sending end is gone and the queue is drained.
    void reset() noexcept {
        if (!state_) return;
        bool last;
        {
            std::lock_guard lock(state_->mutex);
            last = --state_->senders == 0;
        }
        if (last) state_->ready.notify_all();
        state_.reset();
    }

    // Appends `value`. Returns nullopt when it was queued, or the value
    // itself when the receiver is gone and nobody will ever read it.
    [[nodiscard]] std::optional<T> try_send(T value) const {
        expect(static_cast<bool>(state_), "send on an empty Sender");
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->receiver_alive) return std::optional<T>(std::move(value));
            state_->queue.push_back(std::move(value));
        }
        state_->ready.notify_one();
        return std::nullopt;
    }

    // Appends `value`; a fault when the receiver is gone. The fault carries
    // the caller's location, so a failing job's report points at the job.
    void send(T value, std::source_location where = std::source_location::current()) const {
        if (try_send(std::move(value))) {
            throw Fault(messages::kSendFailed, where);
        }
    }

private:
    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
    friend std::pair<Sender<T>, Receiver<T>> make_channel<T>();

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Receiver {
public:
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        Receiver gone(std::move(*this));
        state_ = std::move(other.state_);
        return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Later sends fail; messages still queued are discarded outside the
    // lock, since destroying them may run arbitrary code.
    ~Receiver() {
        if (!state_) return;
        std::deque<T> discarded;
        std::lock_guard lock(state_->mutex);
        state_->receiver_alive = false;
        discarded.swap(state_->queue);
    }

    // The oldest message; blocks while the queue is empty and a sending end
    // exists. nullopt once every sending end is gone and nothing is left.
    std::optional<T> recv() {
        expect(static_cast<bool>(state_), "recv on an empty Receiver");
        std::unique_lock lock(state_->mutex);
        state_->ready.wait(lock, [&] { return !state_->queue.empty() || state_->senders == 0; });
        if (state_->queue.empty()) return std::nullopt;
        std::optional<T> value(std::move(state_->queue.front()));
        state_->queue.pop_front();
        return value;
    }

private:
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
    friend std::pair<Sender<T>, Receiver<T>> make_channel<T>();

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
    auto state = std::make_shared<detail::ChannelState<T>>();
    return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace gapweave
