// SPDX-License-Identifier: Apache-2.0
#pragma once

// SHA-256 through OpenSSL's EVP interface, the one place that includes it: create, update in pieces, finish; a file is
// read in 1 MiB pieces.

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

class Sha256 {
public:
    /// A digest ready for its first piece; fails when OpenSSL cannot set one up.
    [[nodiscard]] static std::expected<Sha256, Error> create();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    ~Sha256();

    /// False once a piece could not be taken; the digest is then lost.
    [[nodiscard]] bool update(std::span<std::uint8_t const> data);
    /// The digest; a finished digest takes no more pieces.
    [[nodiscard]] std::expected<Sha256Digest, Error> finish();

private:
    struct Context;
    explicit Sha256(std::unique_ptr<Context> context);
    std::unique_ptr<Context> m_context;
    bool m_failed = false;
};

/// The digest of the file open at `fd` (named `path` in errors), read from its offset to its end in 1 MiB pieces.
[[nodiscard]] std::expected<Sha256Digest, Error> sha256OfFile(int fd, std::string const& path);

/// The digest as 64 lower-case hexadecimal characters.
std::string hexString(Sha256Digest const& digest);

}
