// SPDX-License-Identifier: Apache-2.0
// The root process reads whatever an unprivileged receiver sends, and the receiver what the root sends: each
// decoder must survive any bytes, and what it accepts must be exactly one message inside its bounds.
#include "platform/ReceiverMessages.h"
#include "platform/Url.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>

namespace {

using namespace platform;
using namespace platform::receiver;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool sameBytes(Bytes const& encoded, std::span<std::uint8_t const> input)
{
    return std::equal(encoded.begin(), encoded.end(), input.begin(), input.end());
}

bool within(std::string_view value, std::size_t bound)
{
    return value.size() <= bound && isHeaderSafe(value);
}

void checkFromReceiver(std::span<std::uint8_t const> input)
{
    auto decoded = decodeFromReceiver(input);
    if (!decoded)
        return;
    if (auto const* head = std::get_if<Head>(&*decoded)) {
        auto const& headers = head->headers;
        require(headers.status >= 100 && headers.status <= 999);
        require(within(headers.entityTag, maximumValidatorLength));
        require(within(headers.lastModified, maximumValidatorLength));
        require(within(headers.contentRange, maximumContentRangeLength));
        require(within(head->effectiveURL, maximumURLLength));
        require(!(headers.hasTransferEncoding && headers.contentLength));
        require(sameBytes(encode(*head), input));
        // What the root accepts, an honest receiver could have sent.
        require(headFor(headers, head->effectiveURL) == *head);
    } else if (auto const* piece = std::get_if<Piece>(&*decoded)) {
        require(piece->length >= 1 && piece->length <= maximumPiece);
        require(sameBytes(encode(*piece), input));
    } else {
        auto const& end = std::get<End>(*decoded);
        require(end.curlCode >= 0 && end.curlCode <= 999);
        require(sameBytes(encode(end), input));
    }
}

void checkFromRoot(std::span<std::uint8_t const> input)
{
    auto decoded = decodeFromRoot(input);
    if (!decoded)
        return;
    if (auto const* request = std::get_if<Request>(&*decoded)) {
        require(isHTTPURL(request->url));
        require(request->headerLines.size() <= maximumHeaderLines);
        for (auto const& line : request->headerLines)
            require(!line.empty() && within(line, maximumHeaderLineLength));
        require(request->certificateAuthorities.size() <= maximumPathLength);
        require(request->certificateAuthorities.find('\0') == std::string::npos);
        require(request->timeoutMilliseconds > 0);
        require(sameBytes(encode(*request), input));
    } else {
        require(sameBytes(encode(std::get<Decision>(*decoded)), input));
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    std::span<std::uint8_t const> input(data, size);
    checkFromReceiver(input);
    checkFromRoot(input);
    return 0;
}
