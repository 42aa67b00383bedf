// The per-object borrow flag: one exclusive borrow (a call) or any number
// of shared borrows (__repr__, _adjust_alpha). A conflicting use fails at
// once with RuntimeError; it never waits.
#pragma once

#include <atomic>
#include <cstdint>

#include "python/pyref.hpp"

namespace gapweave::py {

class BorrowFlag {
public:
    static constexpr std::int32_t kExclusive = -1;

    class Exclusive {
    public:
        explicit Exclusive(BorrowFlag& flag) : flag_(flag) {
            std::int32_t expected = 0;
            if (!flag_.state_.compare_exchange_strong(expected, kExclusive)) {
                raise(PyExc_RuntimeError, "Already borrowed");
            }
        }
        ~Exclusive() { flag_.state_.store(0); }
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;

    private:
        BorrowFlag& flag_;
    };

    class Shared {
    public:
        explicit Shared(BorrowFlag& flag) : flag_(flag) {
            std::int32_t current = flag_.state_.load();
            do {
                if (current == kExclusive) raise(PyExc_RuntimeError, "Already mutably borrowed");
            } while (!flag_.state_.compare_exchange_weak(current, current + 1));
        }
        ~Shared() { flag_.state_.fetch_sub(1); }
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;

    private:
        BorrowFlag& flag_;
    };

private:
    std::atomic<std::int32_t> state_{0};
};

}  // namespace gapweave::py
