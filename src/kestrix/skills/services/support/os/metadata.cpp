#include "support/os/metadata.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/os/descriptor.h"
#include "support/os/platform.h"

namespace kestrix::os {

namespace {

/// The NUL-separated list of a file's attribute names, in heap memory the caller frees.
/// Empty (0 with nothing allocated) when the file system keeps none.
[[nodiscard]] int list_attributes(int fd, char*& names, std::size_t& size) noexcept {
    names = nullptr;
    size = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        ssize_t wanted = platform::list_attributes(fd, nullptr, 0);
        if (wanted <= 0) {
            // A list from an earlier attempt goes too: on these returns nothing stays allocated.
            const int error = wanted < 0 && errno != ENOTSUP ? errno : 0;
            std::free(names);
            names = nullptr;
            return error;
        }
        std::free(names);
        names = static_cast<char*>(std::malloc(static_cast<std::size_t>(wanted)));
        if (names == nullptr) return ENOMEM;
        ssize_t got = platform::list_attributes(fd, names, static_cast<std::size_t>(wanted));
        if (got >= 0) {
            size = static_cast<std::size_t>(got);
            return 0;
        }
        if (errno != ERANGE) break;  // the list grew in between: ask again
    }
    int error = errno;
    std::free(names);
    names = nullptr;
    return error;
}

[[nodiscard]] bool listed(const char* names, std::size_t size, const char* name) noexcept {
    for (std::size_t at = 0; at < size; at += std::strlen(names + at) + 1) {
        if (std::strcmp(names + at, name) == 0) return true;
    }
    return false;
}

/// Copies the attribute `name` of `from` onto `to`.
[[nodiscard]] int copy_attribute(int from, int to, const char* name) noexcept {
    for (int attempt = 0; attempt < 8; ++attempt) {
        ssize_t wanted = platform::get_attribute(from, name, nullptr, 0);
        if (wanted < 0) return errno;
        void* value = std::malloc(wanted > 0 ? static_cast<std::size_t>(wanted) : 1);
        if (value == nullptr) return ENOMEM;
        ssize_t got = platform::get_attribute(from, name, value, static_cast<std::size_t>(wanted));
        int error = got < 0 ? errno : 0;
        if (got >= 0 &&
            platform::set_attribute(to, name, value, static_cast<std::size_t>(got)) < 0) {
            error = errno;
        }
        std::free(value);
        if (error != ERANGE) return error;
    }
    return ERANGE;
}

}  // namespace

int copy_owner_and_attributes(int from, const struct stat& info, int to) noexcept {
    struct stat now {};
    if (::fstat(to, &now) < 0) return errno;
    if ((now.st_uid != info.st_uid || now.st_gid != info.st_gid) &&
        ::fchown(to, info.st_uid, info.st_gid) < 0) {
        return errno;
    }
    char* wanted = nullptr;
    std::size_t wanted_size = 0;
    if (int error = list_attributes(from, wanted, wanted_size); error != 0) return error;
    int error = 0;
    for (std::size_t at = 0; error == 0 && at < wanted_size; at += std::strlen(wanted + at) + 1) {
        error = copy_attribute(from, to, wanted + at);
    }
    // What the new file was given by its folder (a default ACL, say) and the old one lacks.
    char* present = nullptr;
    std::size_t present_size = 0;
    if (error == 0) error = list_attributes(to, present, present_size);
    for (std::size_t at = 0; error == 0 && at < present_size; at += std::strlen(present + at) + 1) {
        if (!listed(wanted, wanted_size, present + at) &&
            platform::remove_attribute(to, present + at) < 0) {
            error = errno;
        }
    }
    std::free(present);
    std::free(wanted);
    return error != 0 ? error : platform::copy_other_metadata(from, to);
}

int set_mode_exactly(int fd, mode_t mode) noexcept {
    mode &= 07777;
    if (::fchmod(fd, mode) < 0) return errno;
    struct stat now {};
    if (::fstat(fd, &now) < 0) return errno;
    return (now.st_mode & 07777) == mode ? 0 : EPERM;
}

}  // namespace kestrix::os
