// SPDX-License-Identifier: Apache-2.0
#pragma once

// URLs as the tool uses them: parsed by libcurl's URL API, percent-encoded with the query-allowed set, and compared as
// resources.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// A parsed URL. `absoluteString` is the text as it was parsed; for a file URL `path` is the file-system path it was
/// formed from.
struct URL {
    std::string absoluteString;
    std::string scheme;
    std::string path;

    /// Parses `text` with libcurl's URL API; nothing for text it refuses (the empty text among others).
    [[nodiscard]] static std::optional<URL> fromString(std::string_view text);
    /// "file://" followed by the percent-encoded `path`.
    static URL fileURL(std::string_view path);
};

/// The longest URL the tool keeps or sends to another process.
inline constexpr std::size_t maximumURLLength = 8192;

/// An http or https URL of printable ASCII without spaces, at most maximumURLLength bytes, that libcurl parses.
bool isHTTPURL(std::string_view text);

/// Percent-encodes everything outside the query-allowed set (ASCII letters, digits and -._~!$&'()*+,;=:@/?) as "%XX"
/// with upper-case hex digits; an existing "%" is encoded too. Nothing when `text` is not valid UTF-8.
[[nodiscard]] std::optional<std::string> percentEncodeQueryAllowed(std::string_view text);

/// Whether `a` and `b` name the same resource, differing at most in query, fragment, the host's case and a written
/// default port. False when either does not parse.
[[nodiscard]] bool sameResource(std::string_view a, std::string_view b);

}
