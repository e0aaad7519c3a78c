// SPDX-License-Identifier: Apache-2.0
#pragma once

// SHA-256 through OpenSSL's EVP interface, the one place that includes it: create, update in pieces, finish.

#include "platform/Error.h"

#include <array>
#include <memory>
#include <span>

struct evp_md_ctx_st; // OpenSSL's EVP_MD_CTX, whose header only Sha256.cpp includes.

namespace platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    [[nodiscard]] static std::expected<Sha256, Error> create();

    /// False once a piece could not be taken; the digest is then lost.
    [[nodiscard]] bool update(std::span<std::uint8_t const> data);
    /// The digest; a finished digest takes no more pieces.
    [[nodiscard]] std::expected<Sha256Digest, Error> finish();

private:
    explicit Sha256(evp_md_ctx_st* context);
    std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st*)> m_context;
    bool m_failed = false;
};

/// The digest as 64 lower-case hexadecimal characters.
std::string hexString(Sha256Digest const& digest);

}
