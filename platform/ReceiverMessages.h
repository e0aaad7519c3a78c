// SPDX-License-Identifier: Apache-2.0
// The messages between the root process and the unprivileged receiver that runs libcurl: one message per
// SOCK_SEQPACKET packet, encoded and decoded here only. The format is documented beside the encoders.
#pragma once

#include "platform/Error.h"
#include "platform/HttpHeaders.h"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace platform::receiver {

/// Body bytes per Piece message at most.
inline constexpr std::size_t maximumPiece = 64 * 1024;
/// The largest packet either side may send (a Piece with its type byte); the reader's buffer is one byte more, to see
/// an oversized one.
inline constexpr std::size_t maximumPacket = maximumPiece + 1;

/// Extra request header lines per Request at most, and the length of each ("If-Range: " and a validator fit).
inline constexpr std::size_t maximumHeaderLines = 4;
inline constexpr std::size_t maximumHeaderLineLength = 2048;
/// The longest certificate authorities' file path.
inline constexpr std::size_t maximumPathLength = 4096;
/// The longest Content-Range value a Head carries: "bytes A-B/T" with three 20-digit numbers fits.
inline constexpr std::size_t maximumContentRangeLength = 128;

// root -> receiver

/// One request of a task (a task may send a second one to start over from byte 0).
struct Request {
    /// The URL to ask, percent-encoded, http or https (see isHTTPURL).
    std::string url {};
    /// Extra request header lines such as "Range: bytes=100-" or "If-Range: \"t\""; at most maximumHeaderLines.
    std::vector<std::string> headerLines {};
    /// A file of certificate authorities in place of the system's, or empty.
    std::string certificateAuthorities {};
    /// Idle time allowed (libcurl's connect timeout may use it); above 0.
    std::int64_t timeoutMilliseconds = 0;
    bool operator==(Request const&) const = default;
};

/// The answer to a Head: go on and send the body, or stop now.
struct Decision {
    bool proceed = false;
    bool operator==(Decision const&) const = default;
};

// receiver -> root

/// The final response's header (after redirects and interim 1xx), once per request.
struct Head {
    /// Status 100..999; strings printable ASCII only, each within its bound; a Content-Length only without
    /// Transfer-Encoding.
    ResponseHeaders headers {};
    /// The URL that answered, printable ASCII, at most maximumURLLength bytes (empty when it was not).
    std::string effectiveURL {};
    bool operator==(Head const&) const = default;
};

/// 1..maximumPiece body bytes.
struct Piece {
    /// Points into the packet given to the decoder.
    std::span<std::uint8_t const> bytes;
};

/// The request is over: libcurl's result.
struct End {
    /// A CURLcode, 0..999.
    int curlCode = 0;
    bool operator==(End const&) const = default;
};

using FromReceiver = std::variant<Head, Piece, End>;
using FromRoot = std::variant<Request, Decision>;

/// Encodes one message as one packet. A value the decoder would refuse encodes to a packet it refuses.
[[nodiscard]] Bytes encode(Request const&);
[[nodiscard]] Bytes encode(Decision const&);
[[nodiscard]] Bytes encode(Head const&);
[[nodiscard]] Bytes encode(End const&);

/// Makes a Piece packet in place, without copying the body: the sender has put `count` body bytes at buffer[1..];
/// this writes the type byte at buffer[0] and returns the packet, buffer[0..count]. The packet is empty (and refused
/// by the decoder) when `count` is 0, above maximumPiece, or does not fit in `buffer` after the type byte.
[[nodiscard]] std::span<std::uint8_t const> encodePieceInPlace(std::span<std::uint8_t> buffer, std::size_t count);

/// The Head an honest receiver sends, one that always decodes when the status is 100..999 (libcurl reads a status
/// line's code as three digits; without a status line there is no Head to send): an entity tag, Last-Modified,
/// Content-Range or effective URL over its bound or with a byte outside printable ASCII is dropped (emptied), as
/// resume data would refuse it anyway; nothing else is changed.
[[nodiscard]] Head headFor(ResponseHeaders const& headers, std::string effectiveURL);

/// The root process's one parser of what the receiver sends: refuses any packet that is not exactly one well-formed
/// message (unknown type, a field out of its range or over its bound, a string with a byte outside printable ASCII,
/// a Piece of 0 or more than maximumPiece bytes, trailing bytes, a truncated field). The error is
/// BadServerResponse with the reason under NSUnderlyingError ("Malformed message: ...").
[[nodiscard]] std::expected<FromReceiver, Error> decodeFromReceiver(std::span<std::uint8_t const> packet);

/// The receiver's parser of what the root sends, as strict, with errors of the same shape.
[[nodiscard]] std::expected<FromRoot, Error> decodeFromRoot(std::span<std::uint8_t const> packet);

}
