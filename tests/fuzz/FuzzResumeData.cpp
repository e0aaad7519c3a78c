// Resume data is read back from a world-reachable folder: decoding must
// survive any bytes, and whatever it accepts must stay inside its bounds.
#include "platform/ResumeData.h"

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
    if (!decoded->url.starts_with("http://") && !decoded->url.starts_with("https://"))
        std::abort();
    // What decodes re-encodes to the same value.
    auto again = platform::encodeResumeData(*decoded);
    if (!again || platform::decodeResumeData(*again) != *decoded)
        std::abort();
    return 0;
}
