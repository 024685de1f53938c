// Whether a name another user may have put in a folder may be written through.
#pragma once

#include <sys/stat.h>

namespace kestrix::os {

/// A hard link planted by another user could steer a privileged writer into a file that
/// user may not write (a root-owned or set-id file). 0 when the file behind `fd` (fstat
/// `info`) may be written through its name in `folder` (a descriptor, O_PATH will do):
/// it has one link, or nobody but this process's user (and root) may add names to the
/// folder, or every one who may could write the file itself (owner, group, POSIX ACL) and
/// it is no set-id file. EACCES otherwise, also when that cannot be told for sure.
/// Applied whatever /proc/sys/fs/protected_hardlinks says.
[[nodiscard]] int check_planted_link(int folder, int fd, const struct stat& info) noexcept;

}  // namespace kestrix::os
