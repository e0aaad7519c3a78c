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

    std::ranges::replace(pieces.back(), '.', '_');
    std::string result;
    for (size_t i = 0; i + 1 < pieces.size(); ++i)
        result += (i == 0 ? "" : "/") + pieces[i];
    result += "/resume_" + pieces.back() + ".plist";
    platform::NSLog("Resume plist :" + result);
    return result;
}
