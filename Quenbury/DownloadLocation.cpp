// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/DownloadLocation.h"

#include "platform/FileManager.h"

#include <filesystem>

bool isRefusedDownloadLocation(std::string const& location, std::string const& localFilePath)
{
    if (location.empty() || location.back() == '/')
        return true;
    for (size_t start = 0;;) {
        size_t slash = location.find('/', start);
        if (location.compare(start, slash == std::string::npos ? std::string::npos : slash - start, "..") == 0)
            return true;
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    auto& fileManager = platform::FileManager::defaultManager();
    if (!fileManager.fileExists(localFilePath))
        return false;
    // NOTE: a link to a directory is a directory here too: the move would land inside it.
    std::error_code error;
    return std::filesystem::is_directory(localFilePath, error);
}
