// SPDX-License-Identifier: Apache-2.0
// Arguments as they reach the run: resume state naming, trimming,
// percent-encoding and URL forming.
#include "FuzzChecks.h"
#include "Quenbury/ResumeDownloadPlistName.h"
#include "platform/Text.h"
#include "platform/Url.h"

#include <cstdint>
#include <string>

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    std::string text(reinterpret_cast<char const*>(data), size);

    if (auto name = resumeDownloadPlistName(text)) {
        // The name never leaves its form: no leading "/private/tmp/", ends in ".plist".
        require(name->size() >= 14 && name->ends_with(".plist") && name->find("/resume_") != std::string::npos);
    } else {
        require(text.find_first_not_of('/') == std::string::npos); // Only a path without components may fail.
    }

    auto trimmed = platform::trimmingWhitespaceAndNewlines(text);
    if (auto encoded = platform::percentEncodeQueryAllowed(trimmed)) {
        // Encoded text is plain ASCII without fragment or blanks.
        for (unsigned char c : *encoded)
            require(c > ' ' && c < 0x7f && c != '#' && c != '"');
        (void)platform::URL::fromString(*encoded);
    }
    (void)platform::URL::fileURL(text);
    return 0;
}
