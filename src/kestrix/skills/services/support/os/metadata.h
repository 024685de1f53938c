// What a new file must carry to stand in an old one's place: owner, group, extended
// attributes (POSIX ACLs among them) and mode.
#pragma once

#include <sys/stat.h>

namespace kestrix::os {

/// Gives the file behind `to` the owner, group and extended attributes of `from` (whose
/// lstat is `info`), removing any attribute `from` does not have. 0 when the new file now
/// carries all of them; an errno when one cannot be given (the caller then writes the old
/// file in place instead).
[[nodiscard]] int copy_owner_and_attributes(int from, const struct stat& info, int to) noexcept;

/// Sets `mode` (permissions and set-id bits) on `fd` and checks that it took: the kernel
/// silently drops a set-group-id bit it does not allow. 0, or an errno (EPERM when a bit
/// was dropped).
[[nodiscard]] int set_mode_exactly(int fd, mode_t mode) noexcept;

}  // namespace kestrix::os
