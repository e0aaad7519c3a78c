// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/Posix.h"

#include <expected>
#include <string>
#include <string_view>

namespace platform {

/// Opens the folder at the absolute `directory` from "/" one folder at a time,
/// each opened without following a link and checked before the next is opened
/// relative to it (none may be a symbolic link, belong to a user other than
/// the running one or root, or be writable by others without the sticky bit;
/// such a folder would let another user redirect what is written or read).
/// No name is resolved twice, so a link swapped in meanwhile cannot redirect
/// the walk. A folder of the running user's own
/// strictly below `ownArea` is narrowed to owner-only. With `create`, a
/// missing folder is made (mode 0700; the umask only narrows) and opened
/// again; without it, the walk fails with ENOENT.
[[nodiscard]] std::expected<FileDescriptor, Error> openTrustedFolder(
    std::string const& directory, std::string_view ownArea, bool create);

/// Checks that `path` is a regular file owned by the running user, in a folder
/// that `openTrustedFolder` opens.
[[nodiscard]] std::expected<void, Error> checkOwnedRegularFile(std::string const& path, std::string_view ownArea = {});

}
