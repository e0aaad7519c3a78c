// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/ProceedResumeDownload.h"

#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "platform/Text.h"

using platform::logged;
using platform::PropertyList;

bool proceedResumeDownload(std::string const& dataPath)
{
    auto lowercasedEquals = [](std::optional<std::string> const& value, std::string_view expected) {
        return value && platform::equalsIgnoringCase(*value, expected);
    };
    auto& fileManager = platform::FileManager::defaultManager();

    auto patchBytes = fileManager.contentsOfFile(dataPath + "/zkpatch_data.plist");
    if (!patchBytes)
        return logged(false, "error in reading plist");
    auto patchData = PropertyList::fromBytes(*patchBytes);
    if (!patchData)
        return logged(false, "error in reading plist " + patchData.error().description());
    if (!patchData->isDictionary())
        return logged(false, "error in reading plist");
    if (patchData->boolean("Quenbury") == true)
        return logged(true, "Quenbury Enabled");
    if (lowercasedEquals(patchData->string("DirectDownloadEnabled"), "true"))
        return logged(true, "DirectDownloadEnabled in zkpatch_data.plist");

    if (auto serverBytes = fileManager.contentsOfFile(dataPath + "/serverinfo.plist")) {
        auto serverInfo = PropertyList::fromBytes(*serverBytes);
        if (!serverInfo)
            return logged(false, "error in reading plist " + serverInfo.error().description());
        if (serverInfo->isDictionary() && lowercasedEquals(serverInfo->string("DirectDownloadEnabled"), "true")
            && lowercasedEquals(serverInfo->string("ENABLEDISTRIBUTIONSERVER"), "no"))
            return logged(true, "DirectDownloadEnabled in Cloud and not under DS");
    }
    return logged(false, "DirectDownloadEnabled key not available in all cases -> false");
}
