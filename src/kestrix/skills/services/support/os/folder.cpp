#include "support/os/folder.h"

#include <sys/stat.h>

#include <cerrno>

namespace kestrix::os {

int make_folder(const char* path, const Hooks& hooks) noexcept {
    if (announce(hooks, Step::MakeDirectory, path, nullptr, 0777) != 0) return kRefused;
    if (::mkdir(path, 0777) == 0) return 0;
    const int error = errno;
    struct stat info {};
    if (error == EEXIST && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode)) return 0;
    return error;
}

}  // namespace kestrix::os
