// Where a path finally leads: an open folder and a name in it, symbolic links followed
// one by one so that nobody can steer the result between two calls.
#pragma once

#include <sys/stat.h>

#include "support/os/buffer.h"
#include "support/os/descriptor.h"

namespace kestrix::os {

struct Location {
    /// The folder that holds `name` (an O_PATH descriptor); invalid when there is none.
    Descriptor folder;
    /// Why there is no folder: the errno its lookup gave (ENOENT, ENOTDIR, ELOOP).
    int folder_error = 0;
    /// The folder as text, for messages and audit events.
    Text folder_text;
    /// The last name, with no slash in it.
    Text name;
    /// A link's target ended in "/": only a folder may stand there.
    bool must_be_folder = false;
    /// `name` names something; `info` is its lstat.
    bool exists = false;
    struct stat info {};

    /// The folder and the name joined, for messages.
    [[nodiscard]] bool full_text(Text& out) const noexcept;
};

/// Follows `path` to the name it finally stands for. The folders on the way are opened by
/// the kernel; a symbolic link at the end is read and followed here, relative to the folder
/// that holds it, at most 40 times. In a sticky world-writable folder a link is followed
/// only when it belongs to this process's user or to the folder's owner, as the kernel's
/// protected-links rule has it, whatever that rule is set to.
///
/// Returns 0 when the name was found or is missing (see `exists`, `folder`), kProtectedLink,
/// ELOOP for too many links, or the errno of a look-up that failed otherwise (EACCES,
/// ENAMETOOLONG, ...), which an existence test would report too.
[[nodiscard]] int locate(const char* path, Location& out) noexcept;

}  // namespace kestrix::os
