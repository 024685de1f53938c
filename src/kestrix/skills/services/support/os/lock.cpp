#include "support/os/lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "support/os/descriptor.h"
#include "support/os/platform.h"

namespace kestrix::os {

namespace {

/// How long a writer waits for a lock another process holds.
constexpr long kLockWaitMicroseconds = 10'000'000;
/// How long past the kernel's lease-break time we keep asking (it breaks leases itself).
constexpr long kLeaseSlackMicroseconds = 5'000'000;

/// The descriptors locked right now, one slot per writer at work (threads let the
/// interpreter's lock go while they write). A fork copies them into the child, where they
/// would keep the files locked for as long as the child lives: the child closes them.
constexpr int kSlots = 64;
std::atomic<int> locked[kSlots];  // -1: free (zero-initialised: set up on first use)
std::atomic<bool> set_up{false};

/// In the child: each locked descriptor is made to point at /dev/null instead, which lets
/// go of the file (and so of its lock) while keeping the number taken, should the child go
/// on through the code that will close it.
void let_go_in_child() noexcept {
    int null = -1;
    for (auto& slot : locked) {
        const int fd = slot.load(std::memory_order_relaxed);
        if (fd < 0) continue;
        if (null < 0) null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null < 0 || platform::point_descriptor(null, fd) < 0) (void)::close(fd);
        slot.store(-1, std::memory_order_relaxed);
    }
    if (null >= 0) (void)::close(null);
}

void set_up_once() noexcept {
    if (set_up.load(std::memory_order_acquire)) return;
    static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&mutex);
    if (!set_up.load(std::memory_order_relaxed)) {
        for (auto& slot : locked) slot.store(-1, std::memory_order_relaxed);
        (void)::pthread_atfork(nullptr, nullptr, let_go_in_child);
        set_up.store(true, std::memory_order_release);
    }
    pthread_mutex_unlock(&mutex);
}

/// A slot holding `fd`, or -1 when all are taken (the lock is then still held, only not
/// given up in children).
[[nodiscard]] int remember(int fd) noexcept {
    set_up_once();
    for (int i = 0; i < kSlots; ++i) {
        int expected = -1;
        if (locked[i].compare_exchange_strong(expected, fd)) return i;
    }
    return -1;
}

/// Sleeps `pause` microseconds with the caller's lock let go, then asks whether to stop.
[[nodiscard]] bool nap_then_stop(long pause, const Hooks& hooks) noexcept {
    (void)unlocked(hooks, [&] {
        const timespec nap{0, pause * 1000};
        return ::nanosleep(&nap, nullptr);
    });
    return hooks.should_stop != nullptr && hooks.should_stop(hooks.context) != 0;
}

[[nodiscard]] long next_pause(long pause) noexcept {
    return pause * 2 < 50'000 ? pause * 2 : 50'000;
}

/// The kernel's lease-break time, in microseconds.
[[nodiscard]] long lease_break_microseconds() noexcept {
    long seconds = 45;
    Descriptor setting(::open("/proc/sys/fs/lease-break-time", O_RDONLY | O_CLOEXEC));
    if (setting.valid()) {
        char text[24] = {};
        if (::read(setting.get(), text, sizeof text - 1) > 0) {
            long value = 0;
            int digits = 0;
            for (const char* at = text; *at >= '0' && *at <= '9' && digits < 9; ++at, ++digits)
                value = value * 10 + (*at - '0');
            if (digits > 0) seconds = value;
        }
    }
    return seconds * 1'000'000;
}

}  // namespace

int FileLock::acquire(int fd, const Hooks& hooks) noexcept {
    long waited = 0;
    long pause = 1000;
    for (;;) {
        if (platform::try_lock_exclusively(fd) == 0) {
            slot_ = remember(fd);
            return 0;
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EINVAL || error == ENOLCK || error == EOPNOTSUPP) return 0;
        if (error != EAGAIN && error != EACCES) return error;
        if (waited >= kLockWaitMicroseconds) {
            return platform::locked_by_another_program(fd) ? kInUse : kBusy;
        }
        if (nap_then_stop(pause, hooks)) return kRefused;
        waited += pause;
        pause = next_pause(pause);
    }
}

FileLock::~FileLock() {
    // The lock itself goes with the descriptor's last copy; only the slot is given back.
    if (slot_ >= 0) locked[slot_].store(-1, std::memory_order_release);
}

int open_past_leases(int folder, const char* name, int flags, const Hooks& hooks,
                     int& error) noexcept {
    long waited = 0;
    long pause = 1000;
    long bound = -1;
    for (;;) {
        const int fd = ::openat(folder, name, flags);
        if (fd >= 0) return fd;
        error = errno;
        if (error == EINTR) continue;
        if (error != EWOULDBLOCK) return -1;
        // A lease: the kernel has told its holder; give it the time the kernel gives.
        if (bound < 0) bound = lease_break_microseconds() + kLeaseSlackMicroseconds;
        if (waited >= bound) {
            error = kInUse;
            return -1;
        }
        if (nap_then_stop(pause, hooks)) {
            error = kRefused;
            return -1;
        }
        waited += pause;
        pause = next_pause(pause);
    }
}

}  // namespace kestrix::os
