// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/DownloadLocation.h"

#include "platform/Path.h"

#include <algorithm>
#include <filesystem>

bool isRefusedDownloadLocation(std::string const& location, std::string const& localFilePath)
{
    if (location.empty() || location.back() == '/' || std::ranges::count(platform::pathComponents(location), "..") != 0)
        return true;
    // NOTE: a link to a folder is a folder here too: the move would land inside it. Nothing there is no folder.
    std::error_code error;
    return std::filesystem::is_directory(localFilePath, error);
}
