// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/ResumeDownloadPlistName.h"

#include "platform/Log.h"

#include <algorithm>
#include <vector>

std::expected<std::string, ResumeDownloadError> resumeDownloadPlistName(std::string const& forDownloadfile)
{
    platform::NSLog("Inside resume plist file name generator");

    std::vector<std::string_view> pieces;
    std::string_view rest = forDownloadfile;
    while (!rest.empty()) {
        auto slash = rest.find('/');
        auto piece = rest.substr(0, slash);
        if (!piece.empty())
            pieces.push_back(piece);
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    if (pieces.empty())
        return std::unexpected(ResumeDownloadError::fileNameError("Error in file path seperator"));

    std::string name(pieces.back());
    std::ranges::replace(name, '.', '_');
    pieces.pop_back();

    std::string result;
    for (auto piece : pieces) {
        if (!result.empty())
            result += '/';
        result += piece;
    }
    result += "/resume_" + name + ".plist";
    platform::NSLog("Resume plist :" + result);
    return result;
}
