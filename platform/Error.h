// SPDX-License-Identifier: Apache-2.0
#pragma once

// The platform's one error: a domain, a code and user information, described as the platform's own errors are. Every
// platform call returns it.

#include <cerrno>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

using Bytes = std::vector<std::uint8_t>;

namespace ErrorDomain {
    inline constexpr std::string_view URL = "NSURLErrorDomain";
    inline constexpr std::string_view POSIX = "NSPOSIXErrorDomain";
    inline constexpr std::string_view Cocoa = "NSCocoaErrorDomain";
}

namespace UserInfoKey {
    inline constexpr std::string_view LocalizedDescription = "NSLocalizedDescription";
    inline constexpr std::string_view FailingURLString = "NSErrorFailingURLStringKey";
    inline constexpr std::string_view FilePath = "NSFilePath";
    inline constexpr std::string_view UnderlyingError = "NSUnderlyingError";
    inline constexpr std::string_view Operation = "NSLocalizedFailureReason";
    inline constexpr std::string_view DownloadTaskResumeData = "NSURLSessionDownloadTaskResumeData";
}

namespace URLErrorCode {
    inline constexpr long Unknown = -1;
    inline constexpr long Cancelled = -999;
    inline constexpr long TimedOut = -1001;
    inline constexpr long UnsupportedURL = -1002;
    inline constexpr long CannotFindHost = -1003;
    inline constexpr long CannotConnectToHost = -1004;
    inline constexpr long NetworkConnectionLost = -1005;
    inline constexpr long HTTPTooManyRedirects = -1007;
    inline constexpr long BadServerResponse = -1011;
    inline constexpr long SecureConnectionFailed = -1200;
    inline constexpr long ServerCertificateUntrusted = -1202;
    inline constexpr long CannotWriteToFile = -3003;
}

struct Error {
    std::string domain;
    long code = 0;
    /// Text, or bytes such as resume data.
    std::map<std::string, std::variant<std::string, Bytes>, std::less<>> userInfo;

    /// The text form, in the platform's style: Error Domain=D Code=C "description" UserInfo={key=value, ...} Byte
    /// values are shown by their length; keys are in sorted order.
    [[nodiscard]] std::string description() const;

    [[nodiscard]] bool is(std::string_view inDomain, long inCode) const { return domain == inDomain && code == inCode; }

    [[nodiscard]] std::optional<std::string_view> string(std::string_view key) const;
    [[nodiscard]] const Bytes* bytes(std::string_view key) const;

    static Error described(std::string_view inDomain, long inCode, std::string_view localizedDescription);
    /// A file-system failure: `operation` on `path` failed with `errnoValue`.
    static Error fromErrno(std::string_view operation, std::string_view path, int errnoValue);
    /// A path refused because of what it is (`reason`), as EPERM.
    static Error refused(std::string_view path, std::string_view reason) { return fromErrno(reason, path, EPERM); }
    /// A URL-loading failure with the service's standard description of `code`.
    static Error url(long code, std::string_view failingURL, std::string_view underlying);
};

/// The error of a failed `std::expected`, passed on as it is: `if (!x) return errorOf(x);`.
template<typename T> [[nodiscard]] std::unexpected<Error> errorOf(std::expected<T, Error> const& failed)
{
    return std::unexpected(failed.error());
}

}
