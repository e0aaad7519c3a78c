// SPDX-License-Identifier: Apache-2.0
// What the fuzz targets share: `require`, which turns a property that fails into a crash libFuzzer keeps, and what must
// hold of every message that crosses between the root process and the receiver, whoever made it. Printable text is
// judged here byte by byte, not by the code under test.
#pragma once

#include "platform/ReceiverMessages.h"
#include "platform/Url.h"

#include <cstdlib>
#include <string_view>

namespace fuzz {

using namespace platform;
using namespace platform::receiver;

inline void require(bool condition)
{
    if (!condition)
        std::abort();
}

inline bool printableWithin(std::string_view value, std::size_t bound)
{
    for (char c : value) {
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return value.size() <= bound;
}

/// A Head the root process takes: every value bounded and printable, and one an honest receiver could have sent.
inline void checkHead(Head const& head)
{
    auto const& headers = head.headers;
    require(headers.status >= 100 && headers.status <= 999);
    require(printableWithin(headers.entityTag, maximumValidatorLength));
    require(printableWithin(headers.lastModified, maximumValidatorLength));
    require(printableWithin(headers.contentRange, maximumContentRangeLength));
    require(printableWithin(head.effectiveURL, maximumURLLength));
    require(!(headers.hasTransferEncoding && headers.contentLength));
    require(headFor(headers, head.effectiveURL) == head);
}

/// A Request the receiver takes: nothing in it ends or splits a header line, or points libcurl outside http(s).
inline void checkRequest(Request const& request)
{
    require(isHTTPURL(request.url));
    require(request.headerLines.size() <= maximumHeaderLines);
    for (auto const& line : request.headerLines)
        require(!line.empty() && printableWithin(line, maximumHeaderLineLength));
    require(request.certificateAuthorities.size() <= maximumPathLength);
    require(request.certificateAuthorities.find('\0') == std::string::npos);
    require(request.timeoutMilliseconds > 0);
}

}
