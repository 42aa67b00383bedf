#include "random/os_random.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace gapweave {
namespace {

std::error_code last_error() noexcept { return {errno, std::generic_category()}; }

// Repeats `read_some(pointer, size)` until `out` is full, retrying after
// interruptions and short reads. A read of zero bytes means the source has
// ended, which a random device never should.
template <class ReadSome>
std::error_code fill_all(std::span<std::byte> out, ReadSome read_some) noexcept {
    while (!out.empty()) {
        const ssize_t got = read_some(out.data(), out.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return last_error();
        }
        if (got == 0) return std::make_error_code(std::errc::io_error);
        out = out.subspan(static_cast<std::size_t>(got));
    }
    return {};
}

// Which interface the process reads its random bytes from.
struct Entropy {
    bool use_getrandom = true;
    int urandom_fd = -1;
};

// A zero-length probe tells whether getrandom exists and may be called.
// Only ENOSYS (old kernel) and EPERM (seccomp filter) rule it out; EAGAIN
// just means the pool is not ready yet, which the blocking reads wait for.
bool getrandom_usable() noexcept {
    return ::getrandom(nullptr, 0, GRND_NONBLOCK) >= 0 || (errno != ENOSYS && errno != EPERM);
}

// Waits until the kernel's pool is initialised (/dev/random readable), then
// opens /dev/urandom, which never blocks afterwards.
std::error_code open_urandom(int& fd) noexcept {
    const int random_fd = ::open("/dev/random", O_RDONLY | O_CLOEXEC);
    if (random_fd < 0) return last_error();
    pollfd waiter{random_fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&waiter, 1, -1);
    } while (ready < 0 && (errno == EINTR || errno == EAGAIN));
    const std::error_code poll_error = ready < 0 ? last_error() : std::error_code{};
    ::close(random_fd);
    if (poll_error) return poll_error;

    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    return fd < 0 ? last_error() : std::error_code{};
}

// The decision is made once per process and a failed attempt is retried on
// the next call. The /dev/urandom descriptor is deliberately never closed:
// threads may still draw while the process exits.
std::error_code entropy(Entropy& chosen) noexcept {
    static std::mutex guard;
    static bool decided = false;
    static Entropy decision;
    const std::lock_guard lock(guard);
    if (!decided) {
        Entropy candidate;
        candidate.use_getrandom = getrandom_usable();
        if (!candidate.use_getrandom) {
            if (const auto error = open_urandom(candidate.urandom_fd)) return error;
        }
        decision = candidate;
        decided = true;
    }
    chosen = decision;
    return {};
}

}  // namespace

std::error_code fill_from_os(std::span<std::byte> out) noexcept {
    Entropy source;
    if (const auto error = entropy(source)) return error;
    if (source.use_getrandom) {
        return fill_all(
            out, [](std::byte* data, std::size_t size) { return ::getrandom(data, size, 0); });
    }
    return fill_all(out, [fd = source.urandom_fd](std::byte* data, std::size_t size) {
        return ::read(fd, data, size);
    });
}

}  // namespace gapweave
