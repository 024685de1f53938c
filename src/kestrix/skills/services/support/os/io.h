// Reads and writes of whole ranges, in pieces the caller may stop between.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "support/os/buffer.h"
#include "support/os/hooks.h"

namespace kestrix::os {

/// A range of bytes to write.
struct Bytes {
    const char* data = nullptr;
    std::size_t size = 0;
};

/// Writes `pieces` one after the other at `offset` of `fd`, resuming after short writes
/// and interruptions. Long writes let the caller's lock go and ask it between pieces
/// whether to stop. Returns 0, an errno or kRefused.
[[nodiscard]] int write_at(int fd, off_t offset, const Bytes* pieces, std::size_t count,
                           const Hooks& hooks) noexcept;

/// Writes `bytes` at the end of `fd`, wherever the end is as each piece goes (the
/// descriptor must be open with O_APPEND), so bytes another program added meanwhile are
/// never overwritten. `start` is where the first byte went and `written` how many went;
/// same pieces and stops as write_at. Returns 0, an errno or kRefused.
[[nodiscard]] int append_at_end(int fd, Bytes bytes, off_t& start, std::size_t& written,
                                const Hooks& hooks) noexcept;

/// Reads `fd` from its offset to its end into `out` (which already holds `expected` bytes'
/// room, the size fstat gave). Same pieces and stops as write_at.
[[nodiscard]] int read_to_end(int fd, std::size_t expected, Buffer& out,
                              const Hooks& hooks) noexcept;

/// Reads `fd` into `out`, which has `room` bytes and already holds the file's first `got`,
/// from offset `got` on, until the file's end or until the room is full; `got` counts what
/// `out` holds. A short read that reaches `expected` (the size fstat gave) is the end. Same
/// pieces and stops as write_at.
[[nodiscard]] int read_into(int fd, char* out, std::size_t room, std::size_t expected,
                            std::size_t& got, const Hooks& hooks) noexcept;

/// 0 when the file behind `fd` holds exactly `bytes`, kChanged when it does not, or an
/// errno. Reads it again in pieces, without a second copy of the whole.
[[nodiscard]] int holds_exactly(int fd, Bytes bytes, const Hooks& hooks) noexcept;

/// fsync, resumed after interruptions.
[[nodiscard]] int sync_file(int fd) noexcept;

}  // namespace kestrix::os
