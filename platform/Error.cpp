// SPDX-License-Identifier: Apache-2.0
#include "platform/Error.h"

#include <cerrno>
#include <cstring>

namespace platform {

std::string Error::description() const
{
    std::string text = "Error Domain=";
    text += domain;
    text += " Code=";
    text += std::to_string(code);
    text += " \"";
    auto localized = string(UserInfoKey::LocalizedDescription);
    text += localized ? *localized : "(null)";
    text += "\" UserInfo={";
    bool first = true;
    for (auto const& [key, value] : userInfo) {
        if (!first)
            text += ", ";
        first = false;
        text += key;
        text += '=';
        if (auto const* s = std::get_if<std::string>(&value))
            text += *s;
        else
            text += '<' + std::to_string(std::get<Bytes>(value).size()) + " bytes>";
    }
    text += '}';
    return text;
}

std::optional<std::string_view> Error::string(std::string_view key) const
{
    auto it = userInfo.find(key);
    if (it == userInfo.end())
        return std::nullopt;
    if (auto const* s = std::get_if<std::string>(&it->second))
        return std::string_view(*s);
    return std::nullopt;
}

const Bytes* Error::bytes(std::string_view key) const
{
    auto it = userInfo.find(key);
    if (it == userInfo.end())
        return nullptr;
    return std::get_if<Bytes>(&it->second);
}

Error Error::fromErrno(std::string_view operation, std::string_view path, int errnoValue)
{
    Error error;
    error.domain = ErrorDomain::POSIX;
    error.code = errnoValue;
    error.userInfo.emplace(UserInfoKey::LocalizedDescription, std::string(std::strerror(errnoValue)));
    error.userInfo.emplace(UserInfoKey::Operation, std::string(operation));
    if (!path.empty())
        error.userInfo.emplace(UserInfoKey::FilePath, std::string(path));
    return error;
}

Error Error::refused(std::string_view path, std::string_view reason)
{
    return fromErrno(reason, path, EPERM);
}

namespace {

    /// The standard description of a URL-loading code.
    std::string_view urlErrorDescription(long code)
    {
        switch (code) {
        case URLErrorCode::Cancelled:
            return "cancelled";
        case URLErrorCode::TimedOut:
            return "The request timed out.";
        case URLErrorCode::UnsupportedURL:
            return "unsupported URL";
        case URLErrorCode::CannotFindHost:
            return "A server with the specified hostname could not be found.";
        case URLErrorCode::CannotConnectToHost:
            return "Could not connect to the server.";
        case URLErrorCode::NetworkConnectionLost:
            return "The network connection was lost.";
        case URLErrorCode::HTTPTooManyRedirects:
            return "too many HTTP redirects";
        case URLErrorCode::BadServerResponse:
            return "bad server response";
        case URLErrorCode::SecureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be made.";
        case URLErrorCode::ServerCertificateUntrusted:
            return "The certificate for this server is invalid.";
        case URLErrorCode::CannotWriteToFile:
            return "The file could not be written.";
        default:
            return "An unknown error occurred.";
        }
    }

}

Error Error::url(long code, std::string_view failingURL, std::string_view underlying)
{
    Error error;
    error.domain = ErrorDomain::URL;
    error.code = code;
    error.userInfo.emplace(UserInfoKey::LocalizedDescription, std::string(urlErrorDescription(code)));
    if (!failingURL.empty())
        error.userInfo.emplace(UserInfoKey::FailingURLString, std::string(failingURL));
    if (!underlying.empty())
        error.userInfo.emplace(UserInfoKey::UnderlyingError, std::string(underlying));
    return error;
}

}
