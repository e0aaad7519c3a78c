// SPDX-License-Identifier: Apache-2.0
// Resume data is read back from a world-reachable folder: decoding must
// survive any bytes, and whatever it accepts must stay inside its bounds.
#include "FuzzChecks.h"
#include "platform/ResumeData.h"
#include "platform/Url.h"

#include <cstdint>

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    platform::Bytes bytes(data, data + size);
    auto decoded = platform::decodeResumeData(bytes);
    if (!decoded)
        return 0;
    require(platform::isBodyFileName(decoded->bodyFileName) && decoded->bodyFileName.find('/') == std::string::npos);
    // The text is kept as the task was given it ("HTTP:/host" included);
    // what matters is the scheme curl will see.
    auto url = platform::URL::fromString(decoded->url);
    require(url && (url->scheme == "http" || url->scheme == "https"));
    // A URL that decodes can be told apart from others, or no run could continue it.
    require(platform::sameResource(decoded->url, decoded->url));
    // What decodes re-encodes to the same value.
    auto again = platform::encodeResumeData(*decoded);
    require(again && platform::decodeResumeData(*again) == *decoded);
    return 0;
}
