// SPDX-License-Identifier: Apache-2.0
// The channel's one parser on each side: a packet is exactly one well-formed message, or it is refused with the
// first fault found.
#include "platform/ReceiverMessages.h"

#include "platform/Url.h"

#include <algorithm>
#include <optional>

namespace platform::receiver {

using namespace wire;

namespace {

    std::unexpected<Error> refused(std::string_view reason)
    {
        return std::unexpected(
            Error::url(URLErrorCode::BadServerResponse, "", "Malformed message: " + std::string(reason)));
    }

    /// Reads a message's fields in order. The first refusal stays: a field read after it gives 0 or nothing, so that a
    /// decoder reads on and reports only the first fault.
    class Reader {
    public:
        explicit Reader(std::span<std::uint8_t const> fields)
            : m_rest(fields)
        {
        }

        explicit operator bool() const { return !m_refusal; }

        void refuse(std::string reason)
        {
            if (!m_refusal)
                m_refusal = std::move(reason);
        }

        template<typename Integer> Integer integer(std::string_view field)
        {
            if (m_rest.size() < sizeof(Integer))
                refuse("truncated " + std::string(field));
            if (m_refusal)
                return 0;
            std::make_unsigned_t<Integer> bits = 0;
            for (std::size_t i = 0; i < sizeof(Integer); ++i)
                bits |= static_cast<std::make_unsigned_t<Integer>>(m_rest[i]) << (8 * i);
            m_rest = m_rest.subspan(sizeof(Integer));
            return static_cast<Integer>(bits);
        }

        std::string string(std::string_view field, std::size_t bound)
        {
            auto length = integer<std::uint16_t>(field);
            if (length > bound)
                refuse(std::string(field) + " over " + std::to_string(bound) + " bytes");
            if (m_rest.size() < length)
                refuse("truncated " + std::string(field));
            if (m_refusal)
                return {};
            std::string text(m_rest.begin(), m_rest.begin() + length);
            m_rest = m_rest.subspan(length);
            return text;
        }

        /// Printable ASCII only, as every string of a Head.
        std::string headerValue(std::string_view field, std::size_t bound)
        {
            auto text = string(field, bound);
            if (!isHeaderSafe(text))
                refuse(std::string(field) + " not printable ASCII");
            return text;
        }

        /// The message, when every field was accepted and nothing follows them.
        template<typename Message> std::expected<Message, Error> finish(std::string_view name, Message message)
        {
            if (!m_rest.empty())
                refuse("trailing bytes after " + std::string(name));
            if (m_refusal)
                return refused(*m_refusal);
            return message;
        }

    private:
        std::span<std::uint8_t const> m_rest;
        std::optional<std::string> m_refusal;
    };

    bool isTokenCharacter(char c)
    {
        constexpr std::string_view punctuation = "!#$%&'*+-.^_`|~";
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || punctuation.find(c) != std::string_view::npos;
    }

    /// "Name: value" with a token for a name and printable ASCII throughout, so that a line is one header and never
    /// ends the request's header early.
    bool isHeaderLine(std::string_view line)
    {
        auto colon = line.find(':');
        return colon != std::string_view::npos && colon > 0
            && std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon), isTokenCharacter)
            && isHeaderSafe(line);
    }

    /// The packet's message, read by the decoder its type byte names among `decoders`.
    template<typename Message>
    std::expected<Message, Error> decodePacket(std::span<std::uint8_t const> packet,
        std::initializer_list<std::pair<Type, std::expected<Message, Error> (*)(Reader)>> decoders)
    {
        if (packet.empty())
            return refused("empty packet");
        for (auto [type, decoder] : decoders) {
            if (packet[0] == type)
                return decoder(Reader(packet.subspan(1)));
        }
        return refused("unknown type " + std::to_string(packet[0]));
    }

    std::expected<FromRoot, Error> decodeRequest(Reader in)
    {
        Request request;
        request.url = in.string("URL", maximumURLLength);
        if (in && !isHTTPURL(request.url))
            in.refuse("URL not http or https");
        auto count = in.integer<std::uint8_t>("header line count");
        if (count > maximumHeaderLines)
            in.refuse("more than " + std::to_string(maximumHeaderLines) + " header lines");
        for (int i = 0; in && i < count; ++i) {
            request.headerLines.push_back(in.string("header line", maximumHeaderLineLength));
            if (in && !isHeaderLine(request.headerLines.back()))
                in.refuse("header line not \"Name: value\" of printable ASCII");
        }
        request.certificateAuthorities = in.string("certificate authorities", maximumPathLength);
        // NOTE: any other byte may be in a path, but libcurl takes it as a C string.
        if (request.certificateAuthorities.find('\0') != std::string::npos)
            in.refuse("certificate authorities path holds a NUL byte");
        request.timeoutMilliseconds = in.integer<std::int64_t>("timeout");
        if (in && request.timeoutMilliseconds <= 0)
            in.refuse("timeout not above 0");
        return in.finish<FromRoot>("Request", std::move(request));
    }

    std::expected<FromRoot, Error> decodeDecision(Reader in)
    {
        auto proceed = in.integer<std::uint8_t>("proceed");
        if (proceed > 1)
            in.refuse("proceed neither 0 nor 1");
        return in.finish<FromRoot>("Decision", Decision { proceed == 1 });
    }

    std::expected<FromReceiver, Error> decodeHead(Reader in)
    {
        Head head;
        auto& headers = head.headers;
        headers.status = in.integer<std::uint16_t>("status");
        if (in && (headers.status < minimumStatus || headers.status > maximumStatus))
            in.refuse("status " + std::to_string(headers.status) + " out of range");
        auto flags = in.integer<std::uint8_t>("flags");
        if (flags & ~allHeadFlags)
            in.refuse("unknown flags");
        // The length would contradict the chunks that decide where the body ends.
        if ((flags & HasTransferEncoding) && (flags & HasContentLength))
            in.refuse("Content-Length with Transfer-Encoding");
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
        if (in && (length == 0 || length > maximumPiece))
            in.refuse("Piece of " + std::to_string(length) + " bytes");
        return in.finish<FromReceiver>("Piece", Piece { length });
    }

    std::expected<FromReceiver, Error> decodeEnd(Reader in)
    {
        auto code = in.integer<std::uint16_t>("curl code");
        if (code > maximumCurlCode)
            in.refuse("curl code " + std::to_string(code) + " out of range");
        return in.finish<FromReceiver>("End", End { code });
    }

}

std::expected<FromReceiver, Error> decodeFromReceiver(std::span<std::uint8_t const> packet)
{
    return decodePacket<FromReceiver>(
        packet, { { HeadType, decodeHead }, { PieceType, decodePiece }, { EndType, decodeEnd } });
}

std::expected<FromRoot, Error> decodeFromRoot(std::span<std::uint8_t const> packet)
{
    return decodePacket<FromRoot>(packet, { { RequestType, decodeRequest }, { DecisionType, decodeDecision } });
}

}
