#include "support/os/location.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/os/hooks.h"
#include "support/os/platform.h"

namespace kestrix::os {

namespace {

constexpr int kMaxLinks = 40;

/// Splits `path[0, size)` at its last slash: the folder part ("" when there is none, "/"
/// for the root) and the last name. Trailing slashes are dropped and reported.
void split(const char* path, std::size_t size, std::size_t& folder_size, std::size_t& name_start,
           std::size_t& name_size, bool& trailing_slash) noexcept {
    trailing_slash = false;
    while (size > 1 && path[size - 1] == '/') {
        --size;
        trailing_slash = true;
    }
    std::size_t slash = size;
    while (slash > 0 && path[slash - 1] != '/') --slash;
    name_start = slash;
    name_size = size - slash;
    if (slash == 0) {
        folder_size = 0;
        return;
    }
    folder_size = slash - 1;
    while (folder_size > 0 && path[folder_size - 1] == '/') --folder_size;
    if (folder_size == 0) folder_size = 1;  // "/name": the root
}

/// Opens the folder `text[0, size)` relative to `base` (AT_FDCWD or a folder).
[[nodiscard]] int open_folder(int base, const char* text, std::size_t size,
                              Descriptor& out) noexcept {
    Text folder;
    if (!folder.assign(size == 0 ? "." : text, size == 0 ? 1 : size)) return ENOMEM;
    int fd = platform::open_folder(base, folder.c_str());
    if (fd < 0) return errno;
    out.reset(fd);
    return 0;
}

[[nodiscard]] bool is_missing(int error) noexcept {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

/// The kernel's protected-links test: may this process follow a link owned by `link_uid`
/// that stands in `folder`?
[[nodiscard]] int may_follow(int folder, uid_t link_uid) noexcept {
    struct stat info {};
    if (::fstat(folder, &info) < 0) return errno;
    const bool sticky_and_open = (info.st_mode & S_ISVTX) != 0 && (info.st_mode & S_IWOTH) != 0;
    if (!sticky_and_open || link_uid == ::geteuid() || link_uid == info.st_uid) return 0;
    return kProtectedLink;
}

}  // namespace

bool Location::full_text(Text& out) const noexcept {
    if (!out.assign(folder_text.c_str(), folder_text.size())) return false;
    if (folder_text.size() > 0 && folder_text.c_str()[folder_text.size() - 1] != '/' &&
        !out.append("/", 1)) {
        return false;
    }
    return out.append(name.c_str(), name.size());
}

int locate(const char* path, Location& out) noexcept {
    out = Location{};
    std::size_t folder_size = 0;
    std::size_t name_start = 0;
    std::size_t name_size = 0;
    bool trailing = false;
    split(path, std::strlen(path), folder_size, name_start, name_size, trailing);
    out.must_be_folder = trailing;
    if (!out.folder_text.assign(folder_size == 0 ? "." : path,
                                folder_size == 0 ? 1 : folder_size) ||
        !out.name.assign(name_size == 0 ? "." : path + name_start,
                         name_size == 0 ? 1 : name_size)) {
        return ENOMEM;
    }
    if (int error = open_folder(AT_FDCWD, path, folder_size, out.folder); error != 0) {
        if (!is_missing(error)) return error;
        out.folder_error = error;
        return 0;
    }
    char target[PATH_MAX];
    for (int hops = 0;; ++hops) {
        if (::fstatat(out.folder.get(), out.name.c_str(), &out.info, AT_SYMLINK_NOFOLLOW) < 0) {
            if (errno != ENOENT) return errno;
            return 0;
        }
        if (!S_ISLNK(out.info.st_mode)) {
            out.exists = true;
            return 0;
        }
        if (hops == kMaxLinks) return ELOOP;
        if (int error = may_follow(out.folder.get(), out.info.st_uid); error != 0) return error;
        ssize_t n = ::readlinkat(out.folder.get(), out.name.c_str(), target, sizeof target);
        if (n < 0) return errno;
        if (static_cast<std::size_t>(n) >= sizeof target) return ENAMETOOLONG;
        if (n == 0) return ENOENT;
        split(target, static_cast<std::size_t>(n), folder_size, name_start, name_size, trailing);
        out.must_be_folder = out.must_be_folder || trailing;
        if (folder_size > 0) {
            Descriptor next;
            if (int error = open_folder(out.folder.get(), target, folder_size, next); error != 0) {
                if (!is_missing(error)) return error;
                out.folder.reset(-1);
                out.folder_error = error;
                return 0;
            }
            out.folder = static_cast<Descriptor&&>(next);
            if (target[0] == '/') {
                if (!out.folder_text.assign(target, folder_size)) return ENOMEM;
            } else if (!out.folder_text.append("/", 1) ||
                       !out.folder_text.append(target, folder_size)) {
                return ENOMEM;
            }
        }
        if (!out.name.assign(name_size == 0 ? "." : target + name_start,
                             name_size == 0 ? 1 : name_size)) {
            return ENOMEM;
        }
    }
}

}  // namespace kestrix::os
