// SPDX-License-Identifier: Apache-2.0
// The channel's messages as the sender writes them; the format of each is given beside its encoder.
#include "platform/ReceiverMessages.h"

#include "platform/Url.h"

#include <algorithm>

namespace platform::receiver {

using namespace wire;

namespace {

    // A string's length field is 16 bits wide; the largest Request and Head stay far below a packet.
    static_assert(
        maximumURLLength + maximumHeaderLines * (2 + maximumHeaderLineLength) + maximumPathLength + 64 < maximumPacket);
    static_assert(2 * maximumValidatorLength + maximumContentRangeLength + maximumURLLength + 64 < maximumPacket);

    class Writer {
    public:
        explicit Writer(Type type) { m_bytes.push_back(type); }

        template<typename Integer> void integer(Integer value)
        {
            auto bits = static_cast<std::make_unsigned_t<Integer>>(value);
            for (std::size_t i = 0; i < sizeof(Integer); ++i)
                m_bytes.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
        }

        /// NOTE: a string too long for its length field gets the largest length, over every bound, so that it is
        /// refused rather than read as a shorter one.
        void string(std::string_view text)
        {
            integer(static_cast<std::uint16_t>(std::min<std::size_t>(text.size(), 0xFFFF)));
            m_bytes.insert(m_bytes.end(), text.begin(), text.end());
        }

        Bytes take() { return std::move(m_bytes); }

    private:
        Bytes m_bytes;
    };

    /// `value` as a 16-bit field; a value out of its range stays out of the decoder's range instead of wrapping.
    std::uint16_t saturated16(long value)
    {
        return static_cast<std::uint16_t>(std::clamp<long>(value, 0, 0xFFFF));
    }

    bool fits(std::string_view value, std::size_t bound)
    {
        return value.size() <= bound && isHeaderSafe(value);
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
    Writer out(RequestType);
    out.string(request.url);
    out.integer(static_cast<std::uint8_t>(std::min<std::size_t>(request.headerLines.size(), 0xFF)));
    for (auto const& line : request.headerLines)
        out.string(line);
    out.string(request.certificateAuthorities);
    out.integer(request.timeoutMilliseconds);
    return out.take();
}

// Decision 'D':
//   u8      proceed                  0 (stop now) or 1 (send the body)
Bytes encode(Decision const& decision)
{
    Writer out(DecisionType);
    out.integer(static_cast<std::uint8_t>(decision.proceed ? 1 : 0));
    return out.take();
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
    Writer out(HeadType);
    out.integer(saturated16(headers.status));
    out.integer(static_cast<std::uint8_t>((headers.hasLocation ? HasLocation : 0)
        | (headers.acceptsByteRanges ? AcceptsByteRanges : 0) | (headers.hasTransferEncoding ? HasTransferEncoding : 0)
        | (headers.contentLength ? HasContentLength : 0)));
    if (headers.contentLength)
        out.integer(*headers.contentLength);
    out.string(headers.entityTag);
    out.string(headers.lastModified);
    out.string(headers.contentRange);
    out.string(head.effectiveURL);
    return out.take();
}

// Piece 'P':
//   u32     length                   1..1048576 bytes, already in the body's pipe
Bytes encode(Piece const& piece)
{
    Writer out(PieceType);
    out.integer(piece.length);
    return out.take();
}

// End 'E':
//   u16     curl code                0..999
Bytes encode(End const& end)
{
    Writer out(EndType);
    out.integer(saturated16(end.curlCode));
    return out.take();
}

Head headFor(ResponseHeaders const& headers, std::string effectiveURL)
{
    Head head { headers, std::move(effectiveURL) };
    for (auto [value, bound] : { std::pair { &head.headers.entityTag, maximumValidatorLength },
             std::pair { &head.headers.lastModified, maximumValidatorLength },
             std::pair { &head.headers.contentRange, maximumContentRangeLength },
             std::pair { &head.effectiveURL, maximumURLLength } }) {
        if (!fits(*value, bound))
            value->clear();
    }
    return head;
}

}
