// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/ProceedResumeDownload.h"

#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <algorithm>
#include <cctype>
#include <optional>

using platform::NSLog;
using platform::PropertyList;

namespace {

bool lowercasedEquals(std::optional<std::string> value, std::string_view expected)
{
    if (!value)
        return false;
    std::ranges::transform(*value, value->begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return *value == expected;
}

}

bool proceedResumeDownload(std::string const& dataPath)
{
    auto& fileManager = platform::FileManager::defaultManager();

    auto patchBytes = fileManager.contentsOfFile(dataPath + "/zkpatch_data.plist");
    if (!patchBytes) {
        NSLog("error in reading plist");
        return false;
    }
    auto patchData = PropertyList::fromBytes(*patchBytes);
    if (!patchData) {
        NSLog("error in reading plist " + patchData.error().description());
        return false;
    }
    if (!patchData->isDictionary()) {
        NSLog("error in reading plist");
        return false;
    }
    if (patchData->boolean("Quenbury") == true) {
        NSLog("Quenbury Enabled");
        return true;
    }
    if (lowercasedEquals(patchData->string("DirectDownloadEnabled"), "true")) {
        NSLog("DirectDownloadEnabled in zkpatch_data.plist");
        return true;
    }

    if (auto serverBytes = fileManager.contentsOfFile(dataPath + "/serverinfo.plist")) {
        auto serverInfo = PropertyList::fromBytes(*serverBytes);
        if (!serverInfo) {
            NSLog("error in reading plist " + serverInfo.error().description());
            return false;
        }
        if (serverInfo->isDictionary() && lowercasedEquals(serverInfo->string("DirectDownloadEnabled"), "true")
            && lowercasedEquals(serverInfo->string("ENABLEDISTRIBUTIONSERVER"), "no")) {
            NSLog("DirectDownloadEnabled in Cloud and not under DS");
            return true;
        }
    }
    NSLog("DirectDownloadEnabled key not available in all cases -> false");
    return false;
}
