// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/ResumeDownloadPlistName.h"

#include "platform/Log.h"
#include "platform/Path.h"

#include <algorithm>

std::expected<std::string, ResumeDownloadError> resumeDownloadPlistName(std::string const& forDownloadfile)
{
    platform::NSLog("Inside resume plist file name generator");

    auto pieces = platform::pathComponents(forDownloadfile);
    if (pieces.empty())
        return std::unexpected(
            ResumeDownloadError { ResumeDownloadError::Kind::fileNameError, "Error in file path seperator" });

    std::string name = pieces.back();
    std::ranges::replace(name, '.', '_');
    pieces.pop_back();

    std::string result;
    for (auto const& piece : pieces)
        result += (result.empty() ? "" : "/") + piece;
    result += "/resume_" + name + ".plist";
    platform::NSLog("Resume plist :" + result);
    return result;
}
