// The one seam between the OS layer and the system under it: Linux's own calls, or the
// POSIX calls macOS also has (the portable variant, built on Linux too with
// KESTRIX_PORTABLE_OS, so that it is tested where the suite runs).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <ctime>

namespace kestrix::os::platform {

#if defined(__linux__) && !defined(KESTRIX_PORTABLE_OS)
inline constexpr bool kLinux = true;
#else
inline constexpr bool kLinux = false;
#endif

/// The name of the variant built in: "linux" or "posix".
inline constexpr const char* kName = kLinux ? "linux" : "posix";

/// Opens `name` in `base` as a folder to look names up in: O_PATH on Linux (no read
/// permission needed), O_SEARCH or a read-only open elsewhere. A descriptor, or -1 (errno).
[[nodiscard]] int open_folder(int base, const char* name) noexcept;

/// Renames without replacing: -1 with errno EEXIST when `to` exists; EINVAL, ENOSYS or
/// ENOTSUP where the file system has no such rename (the caller then links instead).
[[nodiscard]] int rename_no_replace(int from_folder, const char* from, int to_folder,
                                    const char* to) noexcept;

/// Fills `out` with bytes from the kernel's random source; false when there are none.
[[nodiscard]] bool random_bytes(void* out, std::size_t size) noexcept;

/// A regular file with no name in `folder`, asked for with `mode` as open() asks: a
/// descriptor, or -1 with errno (EOPNOTSUPP where the system or the file system has none).
[[nodiscard]] int open_unnamed(int folder, mode_t mode) noexcept;

/// Where an unnamed file's descriptor can be reached by name, for link_unnamed and the
/// audit hooks ("/proc/self/fd/<fd>" on Linux; empty elsewhere).
struct UnnamedSource {
    char text[32];
};
[[nodiscard]] UnnamedSource unnamed_source(int fd) noexcept;

/// Gives the unnamed file reached by `source` the name `name` in `folder` (never
/// replacing one). 0, or -1 with errno.
[[nodiscard]] int link_unnamed(const UnnamedSource& source, int folder, const char* name) noexcept;

/// Takes an exclusive lock on the whole file behind `fd`, owned by its open file
/// description (not by the process), without waiting. 0; -1 with errno EAGAIN or EACCES
/// when someone holds it, EINVAL, ENOLCK or EOPNOTSUPP where the file system has no locks.
[[nodiscard]] int try_lock_exclusively(int fd) noexcept;
/// True when the lock in the way of try_lock_exclusively on `fd` is known to belong to a
/// program that is not one of ours (a classic POSIX lock); false when it is ours or cannot
/// be told.
[[nodiscard]] bool locked_by_another_program(int fd) noexcept;

/// Makes descriptor `fd` refer to what `to` refers to, close-on-exec (async-signal-safe).
/// 0, or -1 with errno.
[[nodiscard]] int point_descriptor(int to, int fd) noexcept;

/// The times a stat gives.
[[nodiscard]] timespec modified_time(const struct stat& info) noexcept;
[[nodiscard]] timespec changed_time(const struct stat& info) noexcept;

/// Extended attributes of an open file, as Linux's f*xattr calls give them.
[[nodiscard]] ssize_t list_attributes(int fd, char* names, std::size_t size) noexcept;
[[nodiscard]] ssize_t get_attribute(int fd, const char* name, void* value,
                                    std::size_t size) noexcept;
[[nodiscard]] int set_attribute(int fd, const char* name, const void* value,
                                std::size_t size) noexcept;
[[nodiscard]] int remove_attribute(int fd, const char* name) noexcept;
/// Copies what the system keeps apart from the attributes above (macOS's ACLs) from one
/// open file to another. 0, or an errno.
[[nodiscard]] int copy_other_metadata(int from, int to) noexcept;

/// The POSIX access ACL of `fd` (`folder`: an O_PATH descriptor, which the f*xattr calls
/// refuse) in Linux's attribute format. Its size; 0 when it has none; -1 with errno when it
/// cannot be read (ENOTSUP: this system keeps ACLs another way, and cannot tell).
[[nodiscard]] ssize_t access_acl(int fd, bool folder, unsigned char* out,
                                 std::size_t size) noexcept;

/// Anonymous memory for large buffers: its pages made at once where the system can.
[[nodiscard]] void* map_memory(std::size_t size) noexcept;
/// Grows a mapping from map_memory, keeping its content (it may move). nullptr on failure,
/// the old one then kept.
[[nodiscard]] void* grow_mapping(void* data, std::size_t old_size, std::size_t new_size) noexcept;
/// Tells the system that the content of a mapping from map_memory is no longer needed: its
/// pages go back to the system only when memory runs short, and until then using them again
/// costs nothing. False where the system cannot be told (the mapping is then let go of).
[[nodiscard]] bool free_pages_lazily(void* data, std::size_t size) noexcept;

/// Flushes a file's data and its size to the disk itself (macOS's fsync stops at the
/// drive's cache). 0, or -1 with errno.
[[nodiscard]] int flush_to_disk(int fd) noexcept;

}  // namespace kestrix::os::platform
