// SPDX-License-Identifier: Apache-2.0
#pragma once

// Opening folders and files by descriptor, one name at a time, so that no other user's link or folder decides where
// root reads or writes. Each function is named for the rule it applies.

#include "platform/Posix.h"

namespace platform {

/// Opens the absolute `path` from "/" one folder at a time, never through a link, refusing a folder that would let
/// another user redirect the walk: theirs (not ours or root's), or writable by others without the sticky bit. Our own
/// folders strictly below `ownArea` are narrowed to owner-only; one missing is made (0700) with `create`, else ENOENT.
[[nodiscard]] std::expected<FileDescriptor, Error> openTrustedFolder(
    std::string const& path, std::string_view ownArea, bool create);

/// As openTrustedFolder, making nothing: the deepest folder of `path` that exists.
[[nodiscard]] std::expected<FileDescriptor, Error> openDeepestTrustedFolder(
    std::string const& path, std::string_view ownArea);

/// Opens the absolute `path` one name at a time, following a link only when root or we own it and its folder is
/// root's or ours and writable by nobody else (an administrator's link to another volume): no other user chooses.
[[nodiscard]] std::expected<FileDescriptor, Error> openFolderFollowingOwnLinks(std::string const& path);

/// The folder of the absolute `path`, opened as openTrustedFolder opens it (nothing made), and the name in it.
[[nodiscard]] std::expected<FolderAndName, Error> openTrustedContainingFolder(
    std::string const& path, std::string_view ownArea);

/// Opens `path` for reading when it is our own regular file, not a link, in a folder that openTrustedFolder opens.
[[nodiscard]] std::expected<FileDescriptor, Error> openOwnRegularFileInTrustedFolder(
    std::string const& path, std::string_view ownArea);

/// Opens the absolute `path` (folder as openContainingFolder gives it) as openRegularFileAt does, only when the service
/// could have placed it: one name, writable by its owner alone, who is us or owns a folder nobody else may write.
[[nodiscard]] std::expected<FileDescriptor, Error> openFileNobodyElseWrites(std::string const& path);

}
