// SPDX-License-Identifier: Apache-2.0
#include "platform/BodyFolderChoice.h"

#include "platform/Path.h"

#include <algorithm>
#include <cstdlib>

namespace platform {

namespace {

    /// The name of a folder `prefix`XXXXXX that the service makes in `parent`, when `path` is one; else empty.
    std::string madeIn(std::string_view path, std::string const& parent, std::string_view prefix)
    {
        auto [folder, name] = splitPath(path);
        return folder == parent && isMadeFolderName(name, prefix) ? name : std::string();
    }

}

BodyFolderLocations bodyFolderLocations(std::string const& destination, std::string const& configuredTemporary)
{
    std::string temporary = configuredTemporary;
    if (temporary.empty()) {
        char const* tmpdir = std::getenv("TMPDIR");
        // A relative $TMPDIR would depend on the working directory of whoever started us.
        temporary = (tmpdir && tmpdir[0] == '/') ? tmpdir : "/var/tmp";
    }
    while (temporary.size() > 1 && temporary.back() == '/')
        temporary.pop_back();
    return { splitPath(destination).folder, std::move(temporary) };
}

bool isMadeFolderName(std::string_view name, std::string_view prefix)
{
    if (!name.starts_with(prefix) || name.size() != prefix.size() + 6)
        return false;
    return std::ranges::all_of(name.substr(prefix.size()),
        [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

BodyFolderPlan chooseBodyFolder(
    std::optional<ResumeData> const& resume, BodyFolderLocations const& locations, std::optional<int> destinationFolder)
{
    std::string_view recorded = resume ? std::string_view(resume->bodyFolder) : "";
    auto beside = madeIn(recorded, locations.destinationFolder, freshBesideFolderPrefix);
    if (destinationFolder && !beside.empty())
        return plan::RecordedBeside { *destinationFolder, beside };
    if (auto name = madeIn(recorded, locations.temporary, freshTemporaryFolderPrefix); !name.empty())
        return plan::RecordedTemporary { name };
    if (destinationFolder)
        return plan::Beside { *destinationFolder };
    return plan::FreshTemporary {};
}

}
