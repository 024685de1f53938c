// The lock every writer of ours takes on a file while it checks and changes it.
#pragma once

#include "support/os/hooks.h"

namespace kestrix::os {

/// An exclusive lock on a whole open file, held until destroyed (destroy it before the
/// descriptor is closed). A child forked while it is held does not keep the file locked:
/// the child's copy of the descriptor is closed as it starts.
class FileLock {
 public:
    FileLock() noexcept = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    /// Locks `fd` (an open-file-description lock, so another descriptor of this process is
    /// locked out too), waiting with the caller's lock let go while someone else holds it,
    /// at most 10 s. A file system without such locks is written without them. 0; kBusy when
    /// another writer of ours held it throughout, kInUse when another program did; kRefused
    /// when the caller asked to stop; or an errno.
    [[nodiscard]] int acquire(int fd, const Hooks& hooks) noexcept;

 private:
    int slot_ = -1;
};

/// Opens `name` in `folder` with `flags` (which must hold O_NONBLOCK, so that a FIFO put in
/// the file's place never blocks us). A lease that another program holds makes such an
/// open fail at once, while the kernel asks the holder to let go: it is tried again, with
/// the caller's lock let go, until the holder lets go or the kernel breaks the lease
/// (/proc/sys/fs/lease-break-time, 45 s by default). A descriptor; or -1 with `error` set
/// to an errno, kInUse or kRefused.
[[nodiscard]] int open_past_leases(int folder, const char* name, int flags, const Hooks& hooks,
                                   int& error) noexcept;

}  // namespace kestrix::os
