// Changing a file's content so that no crash, race or other local user can lose, expose
// or steer it.
#pragma once

#include <cstddef>

#include "support/os/hooks.h"
#include "support/os/io.h"
#include "support/os/read.h"

namespace kestrix::os {

/// What the file held when it was read: the write goes ahead only while it still does.
struct Expected {
    Identity identity;  ///< exists false: there was no file
    Bytes bytes;
};

/// Gives the file that `path` leads to the content `head + tail`, where the file held
/// `expected` when it was read. When `head` is exactly the old content, only `tail` is new
/// (an append).
///
/// Every writer of ours takes a lock on the file (an open-file-description lock) and then
/// checks that it still is the file read and still holds the bytes read; if not, nothing is
/// changed and the answer is kChanged: read it again and start over.
///
/// The new content goes to a private temporary file in the same folder, which is given the
/// old file's owner, group, extended attributes and, last, its mode, then flushed and renamed
/// over it; the folder is flushed too. That happens only when the new file can be the old
/// one in every respect. A file with more than one link, whose owner, group or attributes
/// cannot be given, or whose folder refuses the rename, is written in place: an append writes
/// the tail after the old end and, on failure, cuts the file back to its old length; any
/// other change writes from the first differing byte and puts the old bytes back on failure.
/// A new file is made the same way, with the mode open() would give, and never replaces a
/// file that appeared meanwhile.
///
/// Returns 0, kChanged, an errno, kNotRegular, kProtectedLink, kBusy, kNoMemory or kRefused.
/// `write_error` says whether the errno came from writing the content itself (as write()
/// gives it) rather than from opening or naming the file.
[[nodiscard]] int write_whole_file(const char* path, const Expected& expected, Bytes head,
                                   Bytes tail, bool& write_error, const Hooks& hooks) noexcept;

}  // namespace kestrix::os
