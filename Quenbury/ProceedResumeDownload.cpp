// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/ProceedResumeDownload.h"

#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "platform/Text.h"

#include <optional>

using platform::NSLog;
using platform::PropertyList;

namespace {

bool lowercasedEquals(std::optional<std::string> const& value, std::string_view expected)
{
    return value && platform::equalsIgnoringCase(*value, expected);
}

/// Logs the rule that decided, and answers.
bool decided(bool answer, std::string const& line)
{
    NSLog(line);
    return answer;
}

}

bool proceedResumeDownload(std::string const& dataPath)
{
    auto& fileManager = platform::FileManager::defaultManager();

    auto patchBytes = fileManager.contentsOfFile(dataPath + "/zkpatch_data.plist");
    if (!patchBytes)
        return decided(false, "error in reading plist");
    auto patchData = PropertyList::fromBytes(*patchBytes);
    if (!patchData)
        return decided(false, "error in reading plist " + patchData.error().description());
    if (!patchData->isDictionary())
        return decided(false, "error in reading plist");
    if (patchData->boolean("Quenbury") == true)
        return decided(true, "Quenbury Enabled");
    if (lowercasedEquals(patchData->string("DirectDownloadEnabled"), "true"))
        return decided(true, "DirectDownloadEnabled in zkpatch_data.plist");

    if (auto serverBytes = fileManager.contentsOfFile(dataPath + "/serverinfo.plist")) {
        auto serverInfo = PropertyList::fromBytes(*serverBytes);
        if (!serverInfo)
            return decided(false, "error in reading plist " + serverInfo.error().description());
        if (serverInfo->isDictionary() && lowercasedEquals(serverInfo->string("DirectDownloadEnabled"), "true")
            && lowercasedEquals(serverInfo->string("ENABLEDISTRIBUTIONSERVER"), "no"))
            return decided(true, "DirectDownloadEnabled in Cloud and not under DS");
    }
    return decided(false, "DirectDownloadEnabled key not available in all cases -> false");
}
