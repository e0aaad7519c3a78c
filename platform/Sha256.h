// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

namespace platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

/// SHA-256 through OpenSSL's EVP interface: create, update in pieces, finish.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256 const&) = delete;
    Sha256& operator=(Sha256 const&) = delete;

    [[nodiscard]] bool update(std::span<std::uint8_t const> data);
    [[nodiscard]] std::expected<Sha256Digest, Error> finish();

private:
    struct Context;
    std::unique_ptr<Context> m_context;
    bool m_failed = false;
};

/// The digest of the file open at `fd` (named `path` in errors), read from
/// its offset to its end in 1 MiB pieces.
[[nodiscard]] std::expected<Sha256Digest, Error> sha256OfFile(int fd, std::string const& path);

/// The digest as 64 lower-case hexadecimal characters.
std::string hexString(Sha256Digest const& digest);

}
