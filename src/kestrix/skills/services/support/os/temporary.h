// The life of a temporary file beside the one it will replace: made private, named so a
// person sees whose it is, removed on every way out unless handed over by a rename.
#pragma once

#include "support/os/buffer.h"
#include "support/os/descriptor.h"
#include "support/os/hooks.h"

namespace kestrix::os {

/// The suffix every temporary file carries in its name (the prefix is the caller's).
inline constexpr const char kTemporarySuffix[] = ".tmp";

class TemporaryFile {
 public:
    /// Creates `<hooks.temporary_prefix><name>.<16 hex><suffix>` in `folder` (whose text is
    /// `folder_text`), exclusive, not following links, mode 0600, after telling the hooks. 0, an
    /// errno or kRefused.
    [[nodiscard]] int create(int folder, const Text& folder_text, const char* name,
                             const Hooks& hooks) noexcept;
    TemporaryFile() noexcept = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    /// Removes the file unless it was renamed into place.
    ~TemporaryFile();

    [[nodiscard]] int fd() const noexcept { return fd_.get(); }
    [[nodiscard]] const char* name() const noexcept { return name_.c_str(); }
    [[nodiscard]] const char* text() const noexcept { return text_.c_str(); }
    /// Closes the descriptor, reporting a late write error.
    [[nodiscard]] int close() noexcept { return fd_.close(); }
    /// The rename took it: nothing left to remove.
    void handed_over() noexcept { folder_ = -1; }
    /// Removes it now (after a failure), telling the hooks; always through the folder, so a
    /// folder that moved meanwhile is cleaned up too.
    void remove() noexcept;

 private:
    Descriptor fd_;
    int folder_ = -1;  // borrowed from the caller's Location, which outlives this
    const Hooks* hooks_ = nullptr;
    Text name_;
    Text text_;
};

}  // namespace kestrix::os
