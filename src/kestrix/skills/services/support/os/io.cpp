#include "support/os/io.h"
#include "support/os/platform.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kestrix::os {

namespace {

/// A piece: long enough that the kernel runs at full speed, short enough that a pending
/// Ctrl-C is seen within a small fraction of a second.
constexpr std::size_t kPiece = 8u << 20;
/// Below this the whole job is over before letting the lock go would pay.
constexpr std::size_t kBlockingThreshold = 256u << 10;

/// Runs `step(bytes_done)` until it reports the end, in pieces; between them, with the
/// caller's lock held, asks whether to stop. `step` returns >0 for bytes done, 0 at the
/// end, or -errno.
template <typename Step>
[[nodiscard]] int in_pieces(std::size_t total, const Hooks& hooks, Step step) noexcept {
    const bool long_job = total >= kBlockingThreshold;
    void* token = long_job && hooks.release != nullptr ? hooks.release(hooks.context) : nullptr;
    int error = 0;
    std::size_t since_check = 0;
    for (;;) {
        long done = step();
        if (done < 0) {
            error = static_cast<int>(-done);
            break;
        }
        if (done == 0) break;
        since_check += static_cast<std::size_t>(done);
        if (since_check >= kPiece && hooks.should_stop != nullptr) {
            since_check = 0;
            if (long_job && hooks.reacquire != nullptr) hooks.reacquire(hooks.context, token);
            const bool stop = hooks.should_stop(hooks.context) != 0;
            token = long_job && hooks.release != nullptr ? hooks.release(hooks.context) : nullptr;
            if (stop) {
                error = kRefused;
                break;
            }
        }
    }
    if (long_job && hooks.reacquire != nullptr) hooks.reacquire(hooks.context, token);
    return error;
}

}  // namespace

int write_at(int fd, off_t offset, const Bytes* pieces, std::size_t count,
             const Hooks& hooks) noexcept {
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += pieces[i].size;
    std::size_t index = 0;
    std::size_t within = 0;
    return in_pieces(total, hooks, [&]() -> long {
        while (index < count && within == pieces[index].size) {
            ++index;
            within = 0;
        }
        if (index == count) return 0;
        std::size_t chunk = pieces[index].size - within;
        if (chunk > kPiece) chunk = kPiece;
        ssize_t n = ::pwrite(fd, pieces[index].data + within, chunk, offset);
        if (n < 0) return errno == EINTR ? 1 : -errno;  // 1: try again, nothing to count
        if (n == 0) return -EIO;
        within += static_cast<std::size_t>(n);
        offset += n;
        return n;
    });
}

int append_at_end(int fd, Bytes bytes, off_t& start, std::size_t& written,
                  const Hooks& hooks) noexcept {
    written = 0;
    start = -1;
    return in_pieces(bytes.size, hooks, [&]() -> long {
        if (written == bytes.size) return 0;
        std::size_t chunk = bytes.size - written;
        if (chunk > kPiece) chunk = kPiece;
        ssize_t n = ::write(fd, bytes.data + written, chunk);
        if (n < 0) return errno == EINTR ? 1 : -errno;
        if (n == 0) return -EIO;
        if (start < 0) {
            const off_t end = ::lseek(fd, 0, SEEK_CUR);
            if (end < 0) return -errno;
            start = end - n;
        }
        written += static_cast<std::size_t>(n);
        return n;
    });
}

int read_to_end(int fd, std::size_t expected, Buffer& out, const Hooks& hooks) noexcept {
    return in_pieces(expected, hooks, [&]() -> long {
        if (out.spare_size() == 0 && !out.reserve(out.size() * 2 + 4096)) return -ENOMEM;
        std::size_t asked = out.spare_size() < kPiece ? out.spare_size() : kPiece;
        ssize_t n = ::read(fd, out.spare(), asked);
        if (n < 0) return errno == EINTR ? 1 : -errno;
        if (n == 0) return 0;
        out.grow(static_cast<std::size_t>(n));
        // A short read that reaches the size fstat gave is the end: no read just to see
        // it. (Files that report no size, as in /proc, are read until read() says so.)
        if (expected > 0 && out.size() == expected && static_cast<std::size_t>(n) < asked) return 0;
        return n;
    });
}

int read_into(int fd, char* out, std::size_t room, std::size_t expected, std::size_t& got,
              const Hooks& hooks) noexcept {
    return in_pieces(room - got, hooks, [&]() -> long {
        if (got == room) return 0;
        std::size_t asked = room - got < kPiece ? room - got : kPiece;
        ssize_t n = ::pread(fd, out + got, asked, static_cast<off_t>(got));
        if (n < 0) return errno == EINTR ? 1 : -errno;
        if (n == 0) return 0;
        got += static_cast<std::size_t>(n);
        if (got == expected && static_cast<std::size_t>(n) < asked) return 0;
        return n;
    });
}

int holds_exactly(int fd, Bytes bytes, const Hooks& hooks) noexcept {
    constexpr std::size_t kScratch = 1u << 20;
    char* scratch = static_cast<char*>(std::aligned_alloc(4096, kScratch));
    if (scratch == nullptr) return ENOMEM;
    std::size_t compared = 0;
    bool differs = false;
    int error = in_pieces(bytes.size + 1, hooks, [&]() -> long {
        // One byte past the end is asked for too: a file that grew does not hold `bytes`.
        std::size_t asked = bytes.size - compared + 1;
        if (asked > kScratch) asked = kScratch;
        ssize_t n = ::pread(fd, scratch, asked, static_cast<off_t>(compared));
        if (n < 0) return errno == EINTR ? 1 : -errno;
        if (n == 0) return 0;
        const auto got = static_cast<std::size_t>(n);
        if (compared + got > bytes.size || std::memcmp(scratch, bytes.data + compared, got) != 0) {
            differs = true;
            return 0;
        }
        compared += got;
        return n;
    });
    std::free(scratch);
    if (error != 0) return error;
    return differs || compared != bytes.size ? kChanged : 0;
}

int sync_file(int fd) noexcept {
    while (platform::flush_to_disk(fd) < 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

}  // namespace kestrix::os
