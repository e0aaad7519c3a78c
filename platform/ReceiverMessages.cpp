// SPDX-License-Identifier: Apache-2.0
// The channel's messages as the sender writes them, and the one parser on each side: a packet is exactly one
// well-formed message, or it is refused with the first fault found.
#include "platform/ReceiverMessages.h"

#include "platform/Url.h"

#include <algorithm>
#include <string>
#include <type_traits>

namespace platform::receiver {

namespace {

    // The format: the first byte names the message by a letter, then its fields in order: integers little-endian of
    // fixed width, a string as a 16-bit length and then its bytes, a list of strings as a byte's count and then each; a
    // field that a flag marks present is there only when it is. Nothing follows the last field. Each message's letter
    // and fields are listed beside its encoder.
    template<typename Field> void put(Bytes& out, Field const& field)
    {
        if constexpr (std::is_integral_v<Field>) {
            for (std::size_t i = 0; i < sizeof(Field); ++i)
                out.push_back(static_cast<std::uint8_t>(static_cast<std::make_unsigned_t<Field>>(field) >> (8 * i)));
        } else if constexpr (std::is_same_v<Field, std::vector<std::string>>) {
            put(out, static_cast<std::uint8_t>(std::min<std::size_t>(field.size(), 0xFF)));
            for (auto const& text : field)
                put(out, text);
        } else if constexpr (std::is_same_v<Field, std::optional<std::uint64_t>>) {
            if (field)
                put(out, *field);
        } else {
            // NOTE: a string too long for its length field gets the largest length, over every bound, so that it is
            // refused rather than read as a shorter one.
            put(out, static_cast<std::uint16_t>(std::min<std::size_t>(field.size(), 0xFFFF)));
            out.insert(out.end(), field.begin(), field.end());
        }
    }

    Bytes message(std::uint8_t type, auto const&... fields)
    {
        Bytes out { type };
        (put(out, fields), ...);
        return out;
    }

    enum HeadFlag : std::uint8_t {
        HasLocation = 1,
        AcceptsByteRanges = 2,
        HasTransferEncoding = 4,
        HasContentLength = 8,
    };
    constexpr std::uint8_t allHeadFlags = HasLocation | AcceptsByteRanges | HasTransferEncoding | HasContentLength;

    // A string's length field is 16 bits wide; the largest Request and Head stay far below a packet.
    static_assert(
        maximumURLLength + maximumHeaderLines * (2 + maximumHeaderLineLength) + maximumPathLength + 64 < maximumPacket);
    static_assert(2 * maximumValidatorLength + maximumContentRangeLength + maximumURLLength + 64 < maximumPacket);

    /// `value` as a 16-bit field; a value out of its range stays out of the decoder's range instead of wrapping.
    std::uint16_t saturated16(long value)
    {
        return static_cast<std::uint16_t>(std::clamp<long>(value, 0, 0xFFFF));
    }

    std::unexpected<Error> refused(std::string_view reason)
    {
        return std::unexpected(
            Error::url(URLErrorCode::BadServerResponse, "", "Malformed message: " + std::string(reason)));
    }

    /// Reads a message's fields in order. The first refusal stays: a field read after it gives 0 or nothing, so that a
    /// decoder reads on and reports only the first fault.
    struct Reader {
        std::span<std::uint8_t const> rest;
        std::optional<std::string> refusal {};

        explicit operator bool() const { return !refusal; }

        // A number is spelled as digits, whatever its type (a char or a byte too): never a stream, which would pull
        // the whole of the C++ library's locales into the receiver.
        static std::string piece(std::string_view text) { return std::string(text); }
        static std::string piece(std::integral auto number) { return std::to_string(number); }

        /// Refuses the message unless `holds`; the reason's parts are joined only then, as a Piece comes often.
        void require(bool holds, auto const&... reason)
        {
            if (holds || refusal)
                return;
            refusal = (std::string() + ... + piece(reason));
        }

        template<typename Integer> Integer integer(std::string_view field)
        {
            require(rest.size() >= sizeof(Integer), "truncated ", field);
            if (refusal)
                return 0;
            std::make_unsigned_t<Integer> bits = 0;
            for (std::size_t i = 0; i < sizeof(Integer); ++i)
                bits |= static_cast<std::make_unsigned_t<Integer>>(rest[i]) << (8 * i);
            rest = rest.subspan(sizeof(Integer));
            return static_cast<Integer>(bits);
        }

        std::string string(std::string_view field, std::size_t bound)
        {
            auto length = integer<std::uint16_t>(field);
            require(length <= bound, field, " over ", bound, " bytes");
            require(rest.size() >= length, "truncated ", field);
            if (refusal)
                return {};
            std::string text(rest.begin(), rest.begin() + length);
            rest = rest.subspan(length);
            return text;
        }

        std::string headerValue(std::string_view field, std::size_t bound)
        {
            auto text = string(field, bound);
            require(isHeaderSafe(text), field, " not printable ASCII");
            return text;
        }

        template<typename Message> std::expected<Message, Error> finish(std::string_view name, Message message)
        {
            require(rest.empty(), "trailing bytes after ", name);
            if (refusal)
                return refused(*refusal);
            return message;
        }
    };

    /// "Name: value" with a token for a name and printable ASCII throughout, so that a line is one header and never
    /// ends the request's header early.
    bool isHeaderLine(std::string_view line)
    {
        constexpr std::string_view tokenCharacters
            = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!#$%&'*+-.^_`|~";
        auto nameEnd = line.find_first_not_of(tokenCharacters);
        return nameEnd != std::string_view::npos && nameEnd > 0 && line[nameEnd] == ':' && isHeaderSafe(line);
    }

    template<typename Message>
    std::expected<Message, Error> decodePacket(std::span<std::uint8_t const> packet,
        std::initializer_list<std::pair<std::uint8_t, std::expected<Message, Error> (*)(Reader)>> decoders)
    {
        if (packet.empty())
            return refused("empty packet");
        for (auto [type, decoder] : decoders) {
            if (packet[0] == type)
                return decoder(Reader { packet.subspan(1) });
        }
        return refused("unknown type " + std::to_string(packet[0]));
    }

    std::expected<FromRoot, Error> decodeRequest(Reader in)
    {
        Request request;
        request.url = in.string("URL", maximumURLLength);
        in.require(isHTTPURL(request.url), "URL not http or https");
        auto count = in.integer<std::uint8_t>("header line count");
        in.require(count <= maximumHeaderLines, "more than ", maximumHeaderLines, " header lines");
        for (int i = 0; in && i < count; ++i) {
            request.headerLines.push_back(in.string("header line", maximumHeaderLineLength));
            in.require(isHeaderLine(request.headerLines.back()), "header line not \"Name: value\" of printable ASCII");
        }
        request.certificateAuthorities = in.string("certificate authorities", maximumPathLength);
        // NOTE: any other byte may be in a path, but libcurl takes it as a C string.
        in.require(request.certificateAuthorities.find('\0') == std::string::npos,
            "certificate authorities path holds a NUL byte");
        request.timeoutMilliseconds = in.integer<std::int64_t>("timeout");
        in.require(request.timeoutMilliseconds > 0, "timeout not above 0");
        return in.finish<FromRoot>("Request", std::move(request));
    }

    std::expected<FromRoot, Error> decodeDecision(Reader in)
    {
        auto proceed = in.integer<std::uint8_t>("proceed");
        in.require(proceed <= 1, "proceed neither 0 nor 1");
        return in.finish<FromRoot>("Decision", Decision { proceed == 1 });
    }

    std::expected<FromReceiver, Error> decodeHead(Reader in)
    {
        Head head;
        auto& headers = head.headers;
        headers.status = in.integer<std::uint16_t>("status");
        in.require(headers.status >= 100 && headers.status <= 999, "status ", headers.status, " out of range");
        auto flags = in.integer<std::uint8_t>("flags");
        in.require(!(flags & ~allHeadFlags), "unknown flags");
        // The length would contradict the chunks that decide where the body ends.
        in.require(
            !((flags & HasTransferEncoding) && (flags & HasContentLength)), "Content-Length with Transfer-Encoding");
        headers.hasLocation = flags & HasLocation;
        headers.acceptsByteRanges = flags & AcceptsByteRanges;
        headers.hasTransferEncoding = flags & HasTransferEncoding;
        if (flags & HasContentLength)
            headers.contentLength = in.integer<std::uint64_t>("Content-Length");
        headers.entityTag = in.headerValue("entity tag", maximumValidatorLength);
        headers.lastModified = in.headerValue("Last-Modified", maximumValidatorLength);
        headers.contentRange = in.headerValue("Content-Range", maximumContentRangeLength);
        head.effectiveURL = in.headerValue("effective URL", maximumURLLength);
        return in.finish<FromReceiver>("Head", std::move(head));
    }

    std::expected<FromReceiver, Error> decodePiece(Reader in)
    {
        auto length = in.integer<std::uint32_t>("Piece length");
        in.require(length > 0 && length <= maximumPiece, "Piece of ", length, " bytes");
        return in.finish<FromReceiver>("Piece", Piece { length });
    }

    std::expected<FromReceiver, Error> decodeEnd(Reader in)
    {
        auto code = in.integer<std::uint16_t>("curl code");
        in.require(code <= 999, "curl code ", code, " out of range");
        return in.finish<FromReceiver>("End", End { code });
    }

}

// Request 'R':
//   string  URL                      1..8192 bytes, http or https (isHTTPURL)
//   u8      header line count        0..4
//   string  header line, each        1..2048 bytes, "Name: value", printable ASCII
//   string  certificate authorities  0..4096 bytes, no NUL; empty for the system's
//   i64     timeout in milliseconds  above 0
Bytes encode(Request const& request)
{
    return message('R', request.url, request.headerLines, request.certificateAuthorities, request.timeoutMilliseconds);
}

// Decision 'D':
//   u8      proceed                  0 (stop now) or 1 (send the body)
Bytes encode(Decision const& decision)
{
    return message('D', static_cast<std::uint8_t>(decision.proceed));
}

// Head 'H':
//   u16     status                   100..999
//   u8      flags                    1 Location, 2 Accept-Ranges: bytes, 4 Transfer-Encoding, 8 Content-Length;
//                                    not 4 and 8 together, no other bit
//   u64     Content-Length           only with flag 8
//   string  entity tag               0..1024 bytes, printable ASCII (as every string below)
//   string  Last-Modified            0..1024 bytes
//   string  Content-Range            0..128 bytes
//   string  effective URL            0..8192 bytes
Bytes encode(Head const& head)
{
    auto const& headers = head.headers;
    auto flags = static_cast<std::uint8_t>((headers.hasLocation ? HasLocation : 0)
        | (headers.acceptsByteRanges ? AcceptsByteRanges : 0) | (headers.hasTransferEncoding ? HasTransferEncoding : 0)
        | (headers.contentLength ? HasContentLength : 0));
    return message('H', saturated16(headers.status), flags, headers.contentLength, headers.entityTag,
        headers.lastModified, headers.contentRange, head.effectiveURL);
}

// Piece 'P':
//   u32     length                   1..1048576 bytes, already in the body's pipe
Bytes encode(Piece const& piece)
{
    return message('P', piece.length);
}

// End 'E':
//   u16     curl code                0..999
Bytes encode(End const& end)
{
    return message('E', saturated16(end.curlCode));
}

Head headFor(ResponseHeaders const& headers, std::string effectiveURL)
{
    Head head { headers, std::move(effectiveURL) };
    for (auto [value, bound] : { std::pair { &head.headers.entityTag, maximumValidatorLength },
             std::pair { &head.headers.lastModified, maximumValidatorLength },
             std::pair { &head.headers.contentRange, maximumContentRangeLength },
             std::pair { &head.effectiveURL, maximumURLLength } }) {
        if (value->size() > bound || !isHeaderSafe(*value))
            value->clear();
    }
    return head;
}

std::expected<FromReceiver, Error> decodeFromReceiver(std::span<std::uint8_t const> packet)
{
    return decodePacket<FromReceiver>(packet, { { 'H', decodeHead }, { 'P', decodePiece }, { 'E', decodeEnd } });
}

std::expected<FromRoot, Error> decodeFromRoot(std::span<std::uint8_t const> packet)
{
    return decodePacket<FromRoot>(packet, { { 'R', decodeRequest }, { 'D', decodeDecision } });
}

}
