// SPDX-License-Identifier: Apache-2.0
#include "platform/Sha256.h"

#include <openssl/err.h>
#include <openssl/evp.h>

namespace platform {

namespace {

    Error digestError()
    {
        long code = static_cast<long>(ERR_peek_last_error());
        char text[256] = "digest failure";
        if (auto first = ERR_get_error())
            ERR_error_string_n(first, text, sizeof text);
        auto error = Error::described("OpenSSL", code, text);
        error.userInfo.emplace(UserInfoKey::Operation, "SHA-256");
        return error;
    }

}

std::expected<Sha256, Error> Sha256::create()
{
    Sha256 hash(EVP_MD_CTX_new());
    if (!hash.m_context || EVP_DigestInit_ex(hash.m_context.get(), EVP_sha256(), nullptr) != 1)
        return std::unexpected(digestError());
    return hash;
}

Sha256::Sha256(EVP_MD_CTX* context)
    : m_context(context, EVP_MD_CTX_free)
{
}

bool Sha256::update(std::span<std::uint8_t const> data)
{
    if (!m_failed && !data.empty())
        m_failed = EVP_DigestUpdate(m_context.get(), data.data(), data.size()) != 1;
    return !m_failed;
}

std::expected<Sha256Digest, Error> Sha256::finish()
{
    Sha256Digest digest {};
    unsigned length = 0;
    if (m_failed || EVP_DigestFinal_ex(m_context.get(), digest.data(), &length) != 1 || length != digest.size())
        return std::unexpected(digestError());
    m_failed = true; // A finished context takes no more input.
    return digest;
}

std::string hexString(Sha256Digest const& digest)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (auto byte : digest)
        text += { hex[byte >> 4], hex[byte & 0x0F] };
    return text;
}

}
