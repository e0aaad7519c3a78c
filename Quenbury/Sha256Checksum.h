// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Posix.h"

#include <optional>
#include <string>

/// True when the SHA-256 of the file at `forFileAtPath`, as hexadecimal text, equals `compare` without regard to letter
/// case; with `placed`, only while that path is still the file placed there. Only reads.
bool sha256Checksum(std::string const& forFileAtPath, std::string const& compare,
    std::optional<platform::FileIdentity> placed = std::nullopt);
