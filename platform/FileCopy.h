// SPDX-License-Identifier: Apache-2.0
#pragma once

// The copy of a finished body to another volume, hashed as it lands, for the file manager's move.

#include "platform/Error.h"
#include "platform/Sha256.h"

#include <cstdint>
#include <expected>
#include <string>

namespace platform {

/// Copies the rest of `in`, `size` bytes long, to `out` (kernel-side where the file systems allow) and returns the
/// SHA-256 of what landed in `out`, read back piece by piece as it lands so the file is not read again. Errors name
/// `destination`.
[[nodiscard]] std::expected<Sha256Digest, Error> copyHashingWhatLands(
    int in, std::uint64_t size, int out, std::string const& destination);

}
