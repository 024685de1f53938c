// Reading a whole regular file, never blocking on anything else.
#pragma once

#include <sys/types.h>
#include <time.h>

#include "support/os/buffer.h"
#include "support/os/hooks.h"

namespace kestrix::os {

/// Which file was read: what a later write must still find at the same name.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    struct timespec changed {};  ///< ctime: no user can set it back
};

/// Where a read failed: at the existence test (the path could not be looked at) or at the
/// read itself.
enum class ReadStage { Test, Read };

/// Reads the regular file that `path` leads to (see locate) into `out`. Returns 0 with
/// `found.exists` false when nothing is there, as an existence test would say (missing,
/// through a non-folder, too many links, a link that must lead to a folder but does not);
/// or 0 with the bytes and the file's identity. Otherwise `stage` says where it failed and
/// the result is an errno (EISDIR for a folder, ENXIO for a socket, as open() gives them),
/// kNotRegular (a FIFO or device: never opened for long enough to block), kProtectedLink,
/// kNoMemory or kRefused. With `written_by_us` (a file our writers change), a change in
/// place that a kill cut short is put right first (see recover_from_journal).
[[nodiscard]] int read_whole_file(const char* path, Buffer& out, Identity& found, ReadStage& stage,
                                  const Hooks& hooks, bool written_by_us = true) noexcept;

}  // namespace kestrix::os
