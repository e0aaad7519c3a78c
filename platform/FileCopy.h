// SPDX-License-Identifier: Apache-2.0
#pragma once

// The copy of a finished body to another volume, hashed as it lands, for the file manager's move.

#include "platform/Error.h"
#include "platform/Sha256.h"

#include <expected>
#include <string>

namespace platform {

/// Copies what is left of `in` to `out` (opened for reading and writing), kernel-side where the pair of file systems
/// allows it, and returns the SHA-256 of the bytes that landed in `out`: a second thread reads each piece back from
/// `out` as soon as it is copied, so the copy is hashed without reading the file again afterwards. The errno of a
/// failure, as an error naming `destination`.
[[nodiscard]] std::expected<Sha256Digest, Error> copyHashingWhatLands(int in, int out, std::string const& destination);

}
