// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"

#include <expected>
#include <string>
#include <string_view>

namespace platform {

/// Checks every existing folder on the way to `directory`: none may be a
/// symbolic link, belong to a user other than the running one or root, or be
/// writable by others without the sticky bit. Such a folder would let another
/// user redirect what is written or read there. Missing folders pass. A
/// folder of the running user's own strictly below `ownArea` that others may
/// write is tightened instead, and checked again.
[[nodiscard]] std::expected<void, Error> checkTrustedFolder(
    std::string const& directory, std::string_view ownArea = {});

/// Checks that `path` is a regular file owned by the running user, in a folder
/// that passes `checkTrustedFolder`.
[[nodiscard]] std::expected<void, Error> checkOwnedRegularFile(std::string const& path, std::string_view ownArea = {});

}
