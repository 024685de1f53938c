// Reading a whole regular file, never blocking on anything else.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>

#include "support/os/buffer.h"
#include "support/os/hooks.h"
#include "support/os/io.h"

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

/// Memory of the caller's that a whole file is read into, so that its bytes land where they
/// are kept (a Python bytes object, say) with no second copy of the whole.
class Sink {
 public:
    /// At least `size` bytes of room whose first `kept` bytes are those put there before;
    /// nullptr when there is no memory. Asked with the caller's lock held, never while it is
    /// let go.
    [[nodiscard]] virtual char* room(std::size_t size, std::size_t kept) noexcept = 0;

 protected:
    Sink() noexcept = default;
    Sink(const Sink&) = default;
    Sink& operator=(const Sink&) = default;
    ~Sink() = default;
};

/// read_whole_file into the caller's memory: `size` is how many bytes of it the file filled.
/// A file that changes while it is read (the read ends short of or past its size, or fstat
/// gives another size, modification or change time after it) is read again, a few times at
/// most, so that the bytes are the file at one moment; should it never hold still, `found`
/// is what fstat said before the last read, which a writer then finds changed.
[[nodiscard]] int read_whole_file(const char* path, Sink& out, std::size_t& size, Identity& found,
                                  ReadStage& stage, const Hooks& hooks,
                                  bool written_by_us = true) noexcept;

/// Whether the regular file that `path` leads to (as read_whole_file finds it) holds exactly
/// `bytes`, compared in pieces with no copy of the whole: 0 with its identity in `found`
/// (`found.exists` false when nothing is there), kChanged when it holds other bytes, or
/// what read_whole_file answers.
[[nodiscard]] int compare_whole_file(const char* path, Bytes bytes, Identity& found,
                                     ReadStage& stage, const Hooks& hooks,
                                     bool written_by_us = true) noexcept;

}  // namespace kestrix::os
