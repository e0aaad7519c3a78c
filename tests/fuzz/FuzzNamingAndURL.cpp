// SPDX-License-Identifier: Apache-2.0
// Arguments as they reach the run: resume state naming, trimming,
// percent-encoding and URL forming.
#include "Quenbury/ResumeDownloadPlistName.h"
#include "platform/Text.h"
#include "platform/Url.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    std::string text(reinterpret_cast<char const*>(data), size);

    if (auto name = resumeDownloadPlistName(text)) {
        // The name never leaves its form: no leading "/private/tmp/", ends in ".plist".
        if (name->size() < 14 || !name->ends_with(".plist") || name->find("/resume_") == std::string::npos)
            std::abort();
    } else if (text.find_first_not_of('/') != std::string::npos) {
        std::abort(); // Only a path without components may fail.
    }

    auto trimmed = platform::trimmingWhitespaceAndNewlines(text);
    if (auto encoded = platform::percentEncodeQueryAllowed(trimmed)) {
        for (unsigned char c : *encoded) {
            if (c <= ' ' || c >= 0x7f || c == '#' || c == '"')
                std::abort(); // Encoded text is plain ASCII without fragment or blanks.
        }
        (void)platform::URL::fromString(*encoded);
    }
    (void)platform::URL::fileURL(text);
    return 0;
}
