// What a change made in place overwrites, kept beside the file until the change is done, so
// that no kill leaves the file a mix of old and new.
#pragma once

#include <sys/stat.h>

#include <cstddef>

#include "support/os/buffer.h"
#include "support/os/hooks.h"
#include "support/os/io.h"

namespace kestrix::os {

/// The suffix of a journal's name: `<hooks.temporary_prefix><name><kJournalSuffix>`.
inline constexpr const char kJournalSuffix[] = ".journal";

/// The journal's name for the file `name`; false when out of memory.
[[nodiscard]] bool journal_name(const char* name, const Hooks& hooks, Text& out) noexcept;

class Journal {
 public:
    /// Before the file behind `fd` (fstat `info`, named `name` in `folder`, whose text is
    /// `folder_text`, for the hooks, which hear of the journal as of a new file) is changed in
    /// place from byte `keep` on: keeps which file it is, the old bytes from there
    /// (`old_rest`) and the new ones (`new_rest`, `count` pieces), in a private file in the
    /// same folder, flushed with its name before anything of the file changes. 0, an errno
    /// or kRefused.
    [[nodiscard]] int begin(int folder, const Text& folder_text, const char* name,
                            const struct stat& info, std::size_t keep, Bytes old_rest,
                            const Bytes* new_rest, std::size_t count, const Hooks& hooks) noexcept;
    /// The change is done, or was undone: the journal goes. A journal that cannot be removed
    /// is harmless: the next read finds the file new and removes it.
    void end() noexcept;

 private:
    int folder_ = -1;
    Text name_;
};

/// Before a file is read or written: when a journal says that a change in place was cut
/// short, puts back the old bytes (under the writers' lock) and removes the journal; a
/// journal that does not fit the file (finished change, another file, another user's, cut
/// short while written) is removed or ignored. `folder` and `name` are where the file is.
/// 0, or an errno when the file could not be put back (the journal is then kept).
[[nodiscard]] int recover_from_journal(int folder, const char* name, const Hooks& hooks) noexcept;

/// Whether a journal stands beside `name` in `folder` (AT_FDCWD: `name` is a path).
[[nodiscard]] bool journaled(int folder, const char* name, const Hooks& hooks) noexcept;

/// recover_from_journal for the file that `path` leads to, when a journal stands beside
/// it (one look when none does). 0, or an errno.
[[nodiscard]] int recover_beside(const char* path, const Hooks& hooks) noexcept;

}  // namespace kestrix::os
