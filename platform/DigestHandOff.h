// SPDX-License-Identifier: Apache-2.0
#pragma once

// The digest of a finished body, handed from whoever wrote its bytes to the verification, so the file is not read
// again. It is taken only for the same file still unchanged; anything else is read whole. One digest is kept at a time.

#include "platform/Posix.h"
#include "platform/Sha256.h"

namespace platform {

void rememberDigestOf(int fd, Sha256Digest const& digest);

/// The SHA-256 of the file at `path`, opened as openFileNobodyElseWrites allows and, when `placed` is given, only while
/// it is that file.
[[nodiscard]] std::expected<Sha256Digest, Error> digestOfFile(
    std::string const& path, std::optional<FileIdentity> placed = std::nullopt);

}
