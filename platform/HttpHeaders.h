// SPDX-License-Identifier: Apache-2.0
#pragma once

// What the download service reads of a response's header, parsed strictly and free of libcurl, and the rules of
// validators and header-safe text.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

/// The longest entity tag or Last-Modified value the tool keeps.
inline constexpr std::size_t maximumValidatorLength = 1024;

struct ResponseHeaders {
    long status = 0;
    bool hasLocation = false;
    bool acceptsByteRanges = false;
    std::string entityTag {};
    std::string lastModified {};
    std::string contentRange {};
    /// A well-formed Content-Length, unless a Transfer-Encoding (which then decides where the body ends) came too.
    std::optional<std::uint64_t> contentLength {};
    bool hasTransferEncoding = false;

    bool operator==(ResponseHeaders const&) const = default;
};

/// The names of the header fields the tool reads, as ResponseHeaders keeps them.
inline constexpr std::array<std::string_view, 7> headerNamesRead { "ETag", "Last-Modified", "Accept-Ranges",
    "Content-Range", "Location", "Transfer-Encoding", "Content-Length" };

struct HeaderField {
    std::string_view name;
    std::string_view value;
};

/// What the final response says: names compare without case, the later of a repeated name counts, and each value is
/// judged as ResponseHeaders describes; other fields are ignored.
[[nodiscard]] ResponseHeaders responseHeaders(long status, std::span<HeaderField const> fields);

/// True for an entity tag that allows byte-range comparisons: quoted, not "W/".
bool isStrongEntityTag(std::string_view tag);

/// True for a strong tag, or a weak one ("W/" and a quoted tag).
bool isEntityTag(std::string_view tag);

/// Weak comparison: the same opaque tag, whether either is marked weak.
bool entityTagsMatchWeakly(std::string_view a, std::string_view b);

/// The first byte position of "bytes A-B/T" (T may be "*"); nothing for any other form, for B < A, or for a complete
/// length not above B.
[[nodiscard]] std::optional<std::uint64_t> contentRangeStart(std::string_view value);

/// The last byte position B of "bytes A-B/T" (T may be "*"); nothing for any form that `contentRangeStart` refuses.
[[nodiscard]] std::optional<std::uint64_t> contentRangeLast(std::string_view value);

/// Printable ASCII only, so that it can be stored and sent back in a request header unchanged.
bool isHeaderSafe(std::string_view value);

/// The complete length T of "bytes A-B/T"; nothing for "*" or any form that `contentRangeStart` refuses.
[[nodiscard]] std::optional<std::uint64_t> contentRangeTotal(std::string_view value);

/// The complete length T of "bytes */T", as a 416 names it.
[[nodiscard]] std::optional<std::uint64_t> unsatisfiedRangeLength(std::string_view value);

}
