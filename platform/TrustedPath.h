#pragma once

#include "platform/Error.h"

#include <expected>
#include <string>

namespace platform {

/// Checks every existing folder on the way to `directory`: none may be a
/// symbolic link, belong to a user other than the running one or root, or be
/// writable by others without the sticky bit. Such a folder would let another
/// user redirect what is written or read there. Missing folders pass.
[[nodiscard]] std::expected<void, Error> checkTrustedFolder(std::string const& directory);

/// Checks that `path` is a regular file owned by the running user, in a folder
/// that passes `checkTrustedFolder`.
[[nodiscard]] std::expected<void, Error> checkOwnedRegularFile(std::string const& path);

}
