// The life of a temporary file beside the one it will replace: made private, named so a
// person sees whose it is, removed on every way out unless handed over by a rename.
#pragma once

#include <sys/types.h>

#include "support/os/buffer.h"
#include "support/os/descriptor.h"
#include "support/os/hooks.h"

namespace kestrix::os {

/// The suffix every temporary file carries in its name (the prefix is the caller's).
inline constexpr const char kTemporarySuffix[] = ".tmp";

class TemporaryFile {
 public:
    /// Creates a file with no name in `folder` (whose text is `folder_text`), asking for
    /// `mode` as open() would (the umask and the folder's default ACL apply), after telling
    /// the hooks: nobody can open it and nothing is left of it should the process die. 0,
    /// EOPNOTSUPP where the file system cannot (create() then), another errno or kRefused.
    [[nodiscard]] int create_unnamed(int folder, const Text& folder_text, const char* name,
                                     mode_t mode, const Hooks& hooks) noexcept;
    /// Creates `<hooks.temporary_prefix><name>.<16 hex><suffix>` in `folder` (whose text is
    /// `folder_text`), exclusive, not following links, asking for `mode`, after telling the
    /// hooks. 0, an errno or kRefused.
    [[nodiscard]] int create(int folder, const Text& folder_text, const char* name, mode_t mode,
                             const Hooks& hooks) noexcept;
    /// Gives an unnamed file the name `target` in its folder (whose text is `target_text`),
    /// which must not exist (EEXIST otherwise); the file is then that name's and nothing
    /// is removed on the way out. 0, an errno or kRefused.
    [[nodiscard]] int link_as(const char* target, const char* target_text) noexcept;
    /// Gives an unnamed file a temporary name as create() makes them (so that it can be
    /// renamed). 0, an errno or kRefused.
    [[nodiscard]] int name_it() noexcept;
    TemporaryFile() noexcept = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    /// Removes the file unless it was renamed into place.
    ~TemporaryFile();

    [[nodiscard]] int fd() const noexcept { return fd_.get(); }
    [[nodiscard]] bool named() const noexcept { return !unnamed_; }
    [[nodiscard]] const char* name() const noexcept { return name_.c_str(); }
    [[nodiscard]] const char* text() const noexcept { return text_.c_str(); }
    /// Closes the descriptor, reporting a late write error.
    [[nodiscard]] int close() noexcept { return fd_.close(); }
    /// The rename took it: nothing left to remove.
    void handed_over() noexcept;
    /// Removes it now (after a failure), telling the hooks; always through the folder, so a
    /// folder that moved meanwhile is cleaned up too.
    void remove() noexcept;

 private:
    /// Picks a new temporary name (name_, text_) for `folder_text` and `name`.
    [[nodiscard]] bool pick_name(const Text& folder_text, const char* name) noexcept;
    /// Links the unnamed file as `name` (text `name_text`) in its folder, after telling the
    /// hooks. 0, an errno or kRefused.
    [[nodiscard]] int link_unnamed(const char* name, const char* name_text) noexcept;

    Descriptor fd_;
    bool unnamed_ = false;
    // Of an unnamed file, for naming it later: the caller's, which outlive this.
    const Text* folder_text_ = nullptr;
    const char* base_name_ = nullptr;
    int pending_slot_ = -1;  ///< where the signal handlers find its name
    int folder_ = -1;        // borrowed from the caller's Location, which outlives this
    const Hooks* hooks_ = nullptr;
    Text name_;
    Text text_;
};

}  // namespace kestrix::os
