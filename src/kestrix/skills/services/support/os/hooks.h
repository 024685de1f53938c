// What the file calls tell their caller, and the codes they answer with.
//
// Nothing under os/ knows about the interpreter: every function answers 0 when it did
// its work, a positive errno when the system refused, or one of the codes below. The
// caller hears of each step that touches the file system before it happens (so it can
// audit or veto it), lets go of its own lock around calls that may block, and is asked
// between the pieces of long reads and writes whether to stop.
#pragma once

namespace kestrix::os {

/// The caller refused a step or asked to stop; what it wants reported is its own affair.
inline constexpr int kRefused = -1;
/// The path names something that is neither a regular file nor a directory (FIFO, device).
inline constexpr int kNotRegular = -2;
/// Out of memory while holding a file's bytes.
inline constexpr int kNoMemory = -3;
/// The file is no longer the one that was read; read it again and start over.
inline constexpr int kChanged = -5;
/// A symbolic link that the protected-links rule does not let this process follow.
inline constexpr int kProtectedLink = -6;
/// Another writer of ours kept the file locked for longer than we wait.
inline constexpr int kBusy = -7;
/// The file kept changing under every attempt to write it.
inline constexpr int kUnsettled = -8;
/// Another program (not a writer of ours) kept the file locked or leased for longer than
/// we wait.
inline constexpr int kInUse = -9;

/// The steps a caller hears of, before they happen.
enum class Step {
    Read,           ///< opening the file to read it
    Write,          ///< creating or changing the file itself
    Temporary,      ///< creating the new file that will replace it
    MakeDirectory,  ///< creating a folder
    Rename,         ///< putting the new file in the old one's place
    Link,           ///< giving a file made with no name a name (`other`)
    Remove,         ///< removing a temporary file after a failure (cannot be refused)
};

/// The caller's hooks; any may be null.
struct Hooks {
    /// Returns 0 to let `step` go ahead on `path` (`other`: the rename's target).
    int (*before)(void* context, Step step, const char* path, const char* other,
                  int flags) = nullptr;
    /// Lets go of the caller's lock around a blocking call; the token goes back to reacquire.
    void* (*release)(void* context) = nullptr;
    void (*reacquire)(void* context, void* token) = nullptr;
    /// Asked, with the caller's lock held, between the pieces of a long read or write:
    /// nonzero stops the work (the caller has its reason pending).
    int (*should_stop)(void* context) = nullptr;
    void* context = nullptr;
    /// How the names of the caller's temporary files begin, so a person sees whose they are.
    const char* temporary_prefix = ".tmp.";
};

/// Asks the hooks before `step`: 0, or kRefused.
[[nodiscard]] inline int announce(const Hooks& hooks, Step step, const char* path,
                                  const char* other = nullptr, int flags = 0) noexcept {
    if (hooks.before == nullptr) return 0;
    return hooks.before(hooks.context, step, path, other, flags) != 0 ? kRefused : 0;
}

/// Runs `call` with the caller's lock let go.
template <typename F>
auto unlocked(const Hooks& hooks, F call) noexcept {
    void* token = hooks.release != nullptr ? hooks.release(hooks.context) : nullptr;
    auto result = call();
    if (hooks.reacquire != nullptr) hooks.reacquire(hooks.context, token);
    return result;
}

}  // namespace kestrix::os
