// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

/// True when the SHA-256 of the file at `forFileAtPath`, as hexadecimal text,
/// equals `compare` without regard to letter case. Only reads.
bool sha256Checksum(std::string const& forFileAtPath, std::string const& compare);
