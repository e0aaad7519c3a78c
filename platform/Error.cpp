// SPDX-License-Identifier: Apache-2.0
#include "platform/Error.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace platform {

namespace {

    template<typename T> T const* valueOf(Error const& error, std::string_view key)
    {
        auto it = error.userInfo.find(key);
        return it == error.userInfo.end() ? nullptr : std::get_if<T>(&it->second);
    }

    constexpr std::pair<long, std::string_view> urlErrorDescriptions[] {
        { URLErrorCode::Cancelled, "cancelled" },
        { URLErrorCode::TimedOut, "The request timed out." },
        { URLErrorCode::UnsupportedURL, "unsupported URL" },
        { URLErrorCode::CannotFindHost, "A server with the specified hostname could not be found." },
        { URLErrorCode::CannotConnectToHost, "Could not connect to the server." },
        { URLErrorCode::NetworkConnectionLost, "The network connection was lost." },
        { URLErrorCode::HTTPTooManyRedirects, "too many HTTP redirects" },
        { URLErrorCode::BadServerResponse, "bad server response" },
        { URLErrorCode::SecureConnectionFailed,
            "An SSL error has occurred and a secure connection to the server cannot be made." },
        { URLErrorCode::ServerCertificateUntrusted, "The certificate for this server is invalid." },
        { URLErrorCode::CannotWriteToFile, "The file could not be written." },
    };

}

std::string Error::description() const
{
    std::string text = "Error Domain=" + domain + " Code=" + std::to_string(code) + " \""
        + std::string(string(UserInfoKey::LocalizedDescription).value_or("(null)")) + "\" UserInfo={";
    std::string_view separator;
    for (auto const& [key, value] : userInfo) {
        text += std::string(separator) + key + '=';
        auto const* s = std::get_if<std::string>(&value);
        text += s ? *s : '<' + std::to_string(std::get<Bytes>(value).size()) + " bytes>";
        separator = ", ";
    }
    return text + '}';
}

std::optional<std::string_view> Error::string(std::string_view key) const
{
    auto const* text = valueOf<std::string>(*this, key);
    return text ? std::optional<std::string_view>(*text) : std::nullopt;
}

const Bytes* Error::bytes(std::string_view key) const
{
    return valueOf<Bytes>(*this, key);
}

Error Error::described(std::string_view inDomain, long inCode, std::string_view localizedDescription)
{
    Error error { std::string(inDomain), inCode, {} };
    error.userInfo.emplace(UserInfoKey::LocalizedDescription, std::string(localizedDescription));
    return error;
}

Error Error::fromErrno(std::string_view operation, std::string_view path, int errnoValue)
{
    auto error = described(ErrorDomain::POSIX, errnoValue, std::strerror(errnoValue));
    error.userInfo.emplace(UserInfoKey::Operation, std::string(operation));
    if (!path.empty())
        error.userInfo.emplace(UserInfoKey::FilePath, std::string(path));
    return error;
}

Error Error::url(long code, std::string_view failingURL, std::string_view underlying)
{
    auto known = std::ranges::find(urlErrorDescriptions, code, &std::pair<long, std::string_view>::first);
    auto error = described(
        ErrorDomain::URL, code, known == std::end(urlErrorDescriptions) ? "An unknown error occurred." : known->second);
    if (!failingURL.empty())
        error.userInfo.emplace(UserInfoKey::FailingURLString, std::string(failingURL));
    if (!underlying.empty())
        error.userInfo.emplace(UserInfoKey::UnderlyingError, std::string(underlying));
    return error;
}

}
