// SPDX-License-Identifier: Apache-2.0
#pragma once

// The folders a run works in, checked once and held open, so an operation on a path in one acts on the folder that was
// checked wherever its name has moved since. The confinement lets the run write only in these and the resume area.

#include "platform/Posix.h"

namespace platform {

/// Holds (a duplicate of) `descriptor`, the folder that `path` named when it was checked, until the process ends; the
/// first held for a path stays.
void holdFolder(std::string path, int descriptor);

[[nodiscard]] std::vector<int> heldFolders();

/// The folder that holds the absolute `path` and the name in it: the held folder when one was held for that folder's
/// path, else the folder opened following only root's and our own links (see openFolderFollowingOwnLinks).
[[nodiscard]] std::expected<FolderAndName, Error> openContainingFolder(std::string const& path);

/// The folder that holds the absolute `path` (see openContainingFolder), held from now on when it was not yet.
[[nodiscard]] std::expected<FileDescriptor, Error> holdContainingFolder(std::string const& path);

}
