// SPDX-License-Identifier: Apache-2.0
#pragma once

// Opening folders and files by descriptor, one name at a time, so that no other user's link or folder decides where
// root reads or writes. Each function is named for the rule it applies.

#include "platform/Error.h"
#include "platform/Posix.h"

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

/// Opens the folder at the absolute `path` from "/" one folder at a time, each opened without following a link and
/// checked before the next is opened relative to it (none may be a symbolic link, belong to a user other than the
/// running one or root, or be writable by others without the sticky bit; such a folder would let another user redirect
/// what is written or read). No name is resolved twice, so a link swapped in meanwhile cannot redirect the walk. A
/// folder of the running user's own strictly below `ownArea` is narrowed to owner-only. With `create`, a missing folder
/// is made (mode 0700; the umask only narrows) and opened again, and never narrowed; without it, the walk fails with
/// ENOENT.
[[nodiscard]] std::expected<FileDescriptor, Error> openTrustedFolder(
    std::string const& path, std::string_view ownArea, bool create);

/// As openTrustedFolder, without making anything: the deepest folder of `path` that exists, checked (and narrowed) on
/// the way as there.
[[nodiscard]] std::expected<FileDescriptor, Error> openDeepestTrustedFolder(
    std::string const& path, std::string_view ownArea);

/// Opens the folder at the absolute `path` from "/" one name at a time by descriptor, following a symbolic link only
/// when root or the running user owns it (as an administrator's link to another volume is) and the folder holding it is
/// root's or ours and writable by nobody else: another user's link, or one in a folder another user may write (sticky
/// or not), is refused, so no other user can choose where root writes. The folder is what the names lead to now; hold
/// it, and act on it by descriptor.
[[nodiscard]] std::expected<FileDescriptor, Error> openFolderFollowingOwnLinks(std::string const& path);

/// The folder of the absolute `path`, opened as openTrustedFolder opens it (nothing made), and the name in it.
[[nodiscard]] std::expected<FolderAndName, Error> openTrustedContainingFolder(
    std::string const& path, std::string_view ownArea);

/// Opens `path` for reading when it is an own regular file (see isOwnRegularFile; not a link), in a folder that
/// openTrustedFolder opens.
[[nodiscard]] std::expected<FileDescriptor, Error> openOwnRegularFileInTrustedFolder(
    std::string const& path, std::string_view ownArea);

/// Opens the file at the absolute `path` for reading, in the folder that openContainingFolder gives, only when it is
/// what the service could have placed there: a regular file (not a link: nothing is read through one) with one name,
/// not writable by group or others, owned by the running user, or by the owner of its folder where nobody else may
/// write that folder. Anything but a regular file is refused before it is opened (EISDIR for a folder, EINVAL for any
/// other kind, as a failed "read").
[[nodiscard]] std::expected<FileDescriptor, Error> openFileNobodyElseWrites(std::string const& path);

}
