// SPDX-License-Identifier: Apache-2.0
// Resume data is read back from a world-reachable folder: decoding must
// survive any bytes, and whatever it accepts must stay inside its bounds.
#include "platform/ResumeData.h"
#include "platform/Url.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    platform::Bytes bytes(data, data + size);
    auto decoded = platform::decodeResumeData(bytes);
    if (!decoded)
        return 0;
    if (!platform::isBodyFileName(decoded->bodyFileName) || decoded->bodyFileName.find('/') != std::string::npos)
        std::abort();
    // The text is kept as the task was given it ("HTTP:/host" included);
    // what matters is the scheme curl will see.
    auto url = platform::URL::fromString(decoded->url);
    if (!url || (url->scheme != "http" && url->scheme != "https"))
        std::abort();
    // A URL that decodes can be told apart from others, or no run could continue it.
    if (!platform::sameResource(decoded->url, decoded->url))
        std::abort();
    // What decodes re-encodes to the same value.
    auto again = platform::encodeResumeData(*decoded);
    if (!again || platform::decodeResumeData(*again) != *decoded)
        std::abort();
    return 0;
}
