#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// What the download service needs to know of one HTTP response's header.
struct ResponseHeaders {
    long status = 0;
    bool hasLocation = false;
    bool acceptsByteRanges = false;
    std::string entityTag;
    std::string lastModified;
    std::string contentRange;

    /// Takes one raw header line as libcurl hands it over (line ending
    /// included). A status line starts a new response and clears what an
    /// earlier one (a redirect, an interim 100) left behind.
    void addLine(std::string_view line);
};

/// The status code of a status line such as "HTTP/1.1 206 Partial Content".
std::optional<long> httpStatusCode(std::string_view line);

/// True for an entity tag that allows byte-range comparisons: quoted, not "W/".
bool isStrongEntityTag(std::string_view tag);

/// The first byte position of "bytes A-B/T" (T may be "*"); nothing for any
/// other form, for B < A, or for a complete length not above B.
std::optional<std::uint64_t> contentRangeStart(std::string_view value);

/// True for a value of printable ASCII only, so that it can be stored and sent
/// back in a request header without changing the request.
bool isHeaderSafe(std::string_view value);

}
