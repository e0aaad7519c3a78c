// SPDX-License-Identifier: Apache-2.0
#pragma once

// The one place where the platform knows that the tool moves a finished body into place and then verifies it: the
// download service (or the move across volumes) hands over the digest of the bytes it wrote, and verification takes it
// instead of reading the file again.
//
// Contract: a digest is handed over for the file open at a descriptor as that file stands then (device, inode, size and
// modification time). It is taken only for a path that names that same file, still unchanged; any other file, a changed
// one or a copy, is read whole. One digest is kept at a time.

#include "platform/Error.h"
#include "platform/Posix.h"
#include "platform/Sha256.h"

#include <expected>
#include <optional>
#include <string>

namespace platform {

/// Remembers `digest` as that of the regular file open at `fd`, as it stands now.
void rememberDigestOf(int fd, Sha256Digest const& digest);

/// The SHA-256 of the file at `path`, opened only as openFileNobodyElseWrites allows, and only while it is the file
/// `placed` when given: the digest handed over for it, when the path names that same unchanged file, else read whole
/// through the descriptor opened.
[[nodiscard]] std::expected<Sha256Digest, Error> digestOfFile(
    std::string const& path, std::optional<FileIdentity> placed = std::nullopt);

}
