// Reading and replacing whole files with the operating system's calls (POSIX).
//
// Nothing here knows about the interpreter: every function answers 0 when it did its
// work, a positive errno when the system refused, or one of the codes below. The caller
// is told before each step that touches the file system (so it can audit or veto it)
// and is asked to let go of its own lock around calls that may block.
#pragma once

#include <Python.h>

#include <cstddef>

namespace kestrix::support::files {

#if defined(__unix__) || defined(__APPLE__)
inline constexpr bool kAvailable = true;
#else
inline constexpr bool kAvailable = false;
#endif

/// The observer refused a step; whatever it wants reported is its own business.
inline constexpr int kRefused = -1;
/// The path names something that is neither a regular file nor a directory
/// (FIFO, socket, device), directly or through a symbolic link.
inline constexpr int kNotRegular = -2;
/// Out of memory while holding a file's bytes.
inline constexpr int kNoMemory = -3;
/// Nothing there: the path does not exist, runs through a non-directory, or loops.
inline constexpr int kMissing = -4;

/// The steps an observer hears of, before they happen.
enum class Step { Open, MakeDirectory, Rename, Remove };

/// The caller's hooks. `before` returns 0 to let the step go ahead; for `Step::Remove`
/// (clean-up) its answer is not asked for. `release`/`reacquire` bracket blocking calls.
struct Observer {
    int (*before)(void* context, Step step, const char* path, const char* other,
                  int flags) = nullptr;
    void* (*release)(void* context) = nullptr;
    void (*reacquire)(void* context, void* token) = nullptr;
    void* context = nullptr;
};

/// What a path names, following symbolic links.
enum class Kind { Missing, Regular, Directory, Other };

/// A file's bytes; owned, freed on destruction, moved never copied.
class Buffer {
 public:
    Buffer() noexcept = default;
    Buffer(Buffer&& o) noexcept;
    Buffer& operator=(Buffer&& o) noexcept;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();

    [[nodiscard]] const char* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    /// Makes room for at least `capacity` bytes; false when out of memory.
    [[nodiscard]] bool reserve(std::size_t capacity) noexcept;
    [[nodiscard]] char* spare() noexcept { return data_ + size_; }
    [[nodiscard]] std::size_t spare_size() const noexcept { return capacity_ - size_; }
    void grow(std::size_t n) noexcept { size_ += n; }

 private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

/// stat() following links. Sets `kind`; a path that does not exist, runs through a
/// non-directory, or loops counts as Missing. Returns 0 or an errno.
[[nodiscard]] int probe(const char* path, Kind& kind) noexcept;

/// Reads the whole regular file at `path` into `out` without ever blocking on a FIFO or
/// device. Returns 0; kMissing when the path names nothing (as probe's Missing); an errno
/// (EISDIR for a directory); kNotRegular, kNoMemory or kRefused.
[[nodiscard]] int read_existing(const char* path, Buffer& out, const Observer& observer) noexcept;

/// mkdir(path, 0777). Returns 0, an errno or kRefused.
[[nodiscard]] int make_directory(const char* path, const Observer& observer) noexcept;

/// Replaces the content of the file at `path` with `data[0, size)`; the first
/// `unchanged_prefix` bytes are those the file held when it was read.
///
/// A symbolic link is followed to its final target, which is the file replaced (created
/// when missing). The new content goes to a new file in the target's directory (exclusive
/// create, the target's mode, owner and group), is flushed to disk and renamed over the
/// target, and the directory is flushed. A target with more than one hard link, or in a
/// directory that takes no new file, is written in place instead and put back as it was if
/// that write fails. Before the rename nothing of the target changes; on failure the new
/// file is removed. Returns 0, an errno, kNotRegular, kNoMemory or kRefused.
[[nodiscard]] int replace_contents(const char* path, const char* data, std::size_t size,
                                   std::size_t unchanged_prefix, const Observer& observer) noexcept;

/// The prefix every temporary file of replace_contents carries in its name.
inline constexpr const char kTemporaryPrefix[] = ".rule_injector.";
/// ... and the suffix.
inline constexpr const char kTemporarySuffix[] = ".tmp";

}  // namespace kestrix::support::files
