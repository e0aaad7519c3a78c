// SPDX-License-Identifier: Apache-2.0
#pragma once

// The file operations the tool's logic uses, by path, on the real file system: each acts on the folder held for its
// path (see HeldFolders).

#include "platform/Error.h"
#include "platform/Posix.h"

#include <expected>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace platform {

class FileManager {
public:
    static FileManager& defaultManager();

    /// True when any item exists at `path`; a symbolic link counts when its target exists.
    [[nodiscard]] bool fileExists(std::string const& path);
    /// Removes the item at the absolute `path` in its folder, walked as openTrustedFolder walks it (nothing followed,
    /// nothing made): a file or a link itself, never what a link leads to.
    [[nodiscard]] std::expected<void, Error> removeItem(std::string const& path, std::string_view ownArea);
    /// Removes the file `placed` from `path` in its held folder (see openContainingFolder), only while the name is
    /// still that file: once another run replaced it, the name is theirs.
    [[nodiscard]] std::expected<void, Error> removeItem(std::string const& path, FileIdentity placed);
    /// What replaceItem put in place.
    struct Placed {
        /// Something stood at the destination and was replaced.
        bool replaced = false;
        /// The file now at the destination, as it was placed.
        FileIdentity identity;
    };
    /// Puts the file at `source` in the place of whatever stands at `destination` (not a folder), in one rename: a
    /// failure leaves both as they were. Each folder is the one held for it, else opened following only root's and our
    /// own links (see openContainingFolder). Across file systems it copies once to a temporary sibling (never into the
    /// blocks its volume keeps for root), renames that, removes the source, and remembers the digest of the copied
    /// bytes for the new file.
    [[nodiscard]] std::expected<Placed, Error> replaceItem(std::string const& destination, std::string const& source);
    /// Writes `name` in `folder` (`path` names it in errors) as a synced temporary sibling (O_EXCL|O_NOFOLLOW, mode
    /// 0600 at most) renamed over whatever is there, so one complete file stands at every instant. Siblings that a
    /// killed writer left are removed first.
    [[nodiscard]] std::expected<void, Error> createFile(
        int folder, std::string const& name, std::string const& path, Bytes const& contents);
    /// The whole file; only a regular file is opened (see openRegularFileForReading).
    [[nodiscard]] std::expected<Bytes, Error> contentsOfFile(std::string const& path);
};

}
