// Making the folder a file goes in.
#pragma once

#include "support/os/hooks.h"

namespace kestrix::os {

/// mkdir(path, 0777), after telling the hooks. 0 when the folder was made or a folder
/// stands there already; an errno (EEXIST for something else there) or kRefused.
[[nodiscard]] int make_folder(const char* path, const Hooks& hooks) noexcept;

}  // namespace kestrix::os
