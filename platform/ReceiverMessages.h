// SPDX-License-Identifier: Apache-2.0
// The messages between the root process and the unprivileged receiver that runs libcurl: one message per
// SOCK_SEQPACKET packet, encoded and decoded here only. The format is documented beside the encoders. The body's
// bytes do not cross as messages: they go through a pipe of their own, and a Piece says how many are there.
#pragma once

#include "platform/Error.h"
#include "platform/HttpHeaders.h"

namespace platform::receiver {

/// Body bytes one Piece may announce at most.
inline constexpr std::size_t maximumPiece = 1024 * 1024;
/// The largest packet either side may send; a reader's buffer is one byte more, to see an oversized one.
inline constexpr std::size_t maximumPacket = 32 * 1024;

/// Extra request header lines per Request at most, and the length of each ("If-Range: " and a validator fit).
inline constexpr std::size_t maximumHeaderLines = 4;
inline constexpr std::size_t maximumHeaderLineLength = 2048;
/// The longest certificate authorities' file path.
inline constexpr std::size_t maximumPathLength = 4096;
/// The longest Content-Range value a Head carries: "bytes A-B/T" with three 20-digit numbers fits.
inline constexpr std::size_t maximumContentRangeLength = 128;

/// One request of a task (a task may send a second one to start over from byte 0).
struct Request {
    std::string url {};
    /// Such as "Range: bytes=100-" or "If-Range: \"t\"".
    std::vector<std::string> headerLines {};
    std::string certificateAuthorities {};
    /// The idle time allowed.
    std::int64_t timeoutMilliseconds = 0;
    bool operator==(Request const&) const = default;
};

/// The answer to a Head: go on and send the body, or stop now.
struct Decision {
    bool proceed = false;
    bool operator==(Decision const&) const = default;
};

/// The final response's header (after redirects and interim 1xx), once per request.
struct Head {
    ResponseHeaders headers {};
    /// The URL that answered (empty when it was not known).
    std::string effectiveURL {};
    bool operator==(Head const&) const = default;
};

/// The next 1..maximumPiece bytes of the body are in the body's pipe (written there before this was sent).
struct Piece {
    std::uint32_t length = 0;
    bool operator==(Piece const&) const = default;
};

/// The request is over: libcurl's result.
struct End {
    int curlCode = 0;
    bool operator==(End const&) const = default;
};

using FromReceiver = std::variant<Head, Piece, End>;
using FromRoot = std::variant<Request, Decision>;

/// A value the decoder would refuse encodes to a packet it refuses.
[[nodiscard]] Bytes encode(Request const&);
[[nodiscard]] Bytes encode(Decision const&);
[[nodiscard]] Bytes encode(Head const&);
[[nodiscard]] Bytes encode(Piece const&);
[[nodiscard]] Bytes encode(End const&);

/// The Head an honest receiver sends, which always decodes for a status of 100..999: a validator, Content-Range or
/// effective URL over its bound or not printable ASCII is emptied, as resume data would refuse it anyway.
[[nodiscard]] Head headFor(ResponseHeaders const& headers, std::string effectiveURL);

/// Refuses any packet that is not exactly one well-formed message, as BadServerResponse with the reason under
/// NSUnderlyingError ("Malformed message: ...").
[[nodiscard]] std::expected<FromReceiver, Error> decodeFromReceiver(std::span<std::uint8_t const> packet);

[[nodiscard]] std::expected<FromRoot, Error> decodeFromRoot(std::span<std::uint8_t const> packet);

}
