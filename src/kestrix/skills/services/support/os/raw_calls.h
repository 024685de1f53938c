// getrandom and renameat2 straight from the kernel, through syscall().
//
// The wheels are built against glibc 2.17 (manylinux2014) and musl: glibc has wrappers for
// these two only from 2.25 and 2.28 on, and musl has none for renameat2. syscall() answers
// as those wrappers do: the call's result, or -1 with errno set (ENOSYS from a kernel that
// lacks the call, EINVAL from a file system that lacks the rename's flag).
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>

#if !defined(SYS_getrandom) || !defined(SYS_renameat2)
#error "the C library's <sys/syscall.h> names neither getrandom nor renameat2"
#endif

namespace kestrix::os::raw {

/// GRND_NONBLOCK (linux/random.h): fail with EAGAIN rather than wait for the entropy pool.
inline constexpr unsigned kRandomNonblock = 0x1;
/// RENAME_NOREPLACE (linux/fs.h): fail with EEXIST rather than replace the target.
inline constexpr unsigned kRenameNoreplace = 0x1;

[[nodiscard]] inline ssize_t getrandom(void* buffer, std::size_t size, unsigned flags) noexcept {
    return static_cast<ssize_t>(::syscall(SYS_getrandom, buffer, size, flags));
}

[[nodiscard]] inline int renameat2(int from_folder, const char* from, int to_folder, const char* to,
                                   unsigned flags) noexcept {
    return static_cast<int>(::syscall(SYS_renameat2, from_folder, from, to_folder, to, flags));
}

}  // namespace kestrix::os::raw
