// SPDX-License-Identifier: Apache-2.0
#pragma once

// The file operations the tool's logic uses, by path, on the real file system: each acts on the folder held for its
// path (see HeldFolders).

#include "platform/Posix.h"

namespace platform {

class FileManager {
public:
    static FileManager& defaultManager();

    /// True when any item exists at `path`; a symbolic link counts when its target exists.
    [[nodiscard]] bool fileExists(std::string const& path);
    /// Unlinks the absolute `path` in its folder as openTrustedContainingFolder opens it: a file, or a link itself.
    [[nodiscard]] std::expected<void, Error> removeItem(std::string const& path, std::string_view ownArea);
    /// Removes the file `placed` from `path` in its held folder (see openContainingFolder), only while the name is
    /// still that file: once another run replaced it, the name is theirs.
    [[nodiscard]] std::expected<void, Error> removeItem(std::string const& path, FileIdentity placed);
    struct Placed {
        bool replaced = false;
        FileIdentity identity;
    };
    /// Puts `source` in the place of whatever stands at `destination` (not a folder) in one rename, so a failure leaves
    /// both as they were; across file systems, through a copy whose digest is remembered for the new file.
    [[nodiscard]] std::expected<Placed, Error> replaceItem(std::string const& destination, std::string const& source);
    /// Writes `name` in `folder` as a synced AtomicFile (mode 0600), so one complete file stands at every instant.
    [[nodiscard]] std::expected<void, Error> createFile(
        int folder, std::string const& name, std::string const& path, Bytes const& contents);
    /// The whole file; only a regular file is opened (see openRegularFileForReading).
    [[nodiscard]] std::expected<Bytes, Error> contentsOfFile(std::string const& path);
};

}
