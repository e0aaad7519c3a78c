// SPDX-License-Identifier: Apache-2.0
#include "platform/BodyFolderChoice.h"

#include <algorithm>
#include <cstdlib>

namespace platform {

namespace {

    std::string inFolder(std::string const& folder, std::string_view name)
    {
        return (folder == "/" ? "" : folder) + "/" + std::string(name);
    }

    /// Whether `path` is a folder `prefix`XXXXXX that the service makes in `parent`.
    bool isMadeIn(std::string const& path, std::string const& parent, std::string_view prefix)
    {
        std::string const start = inFolder(parent, "");
        return path.starts_with(start) && isMadeFolderName(std::string_view(path).substr(start.size()), prefix);
    }

}

std::string BodyFolderLocations::beside() const
{
    return destinationFolder.empty() ? std::string() : inFolder(destinationFolder, besideFolderName);
}

BodyFolderLocations bodyFolderLocations(std::string const& destination, std::string const& configuredTemporary)
{
    BodyFolderLocations locations;
    if (auto slash = destination.find_last_of('/'); slash != std::string::npos)
        locations.destinationFolder = slash == 0 ? "/" : destination.substr(0, slash);
    std::string temporary = configuredTemporary;
    if (temporary.empty()) {
        char const* tmpdir = std::getenv("TMPDIR");
        // A relative $TMPDIR would depend on the working directory of whoever started us.
        temporary = (tmpdir && tmpdir[0] == '/') ? tmpdir : "/var/tmp";
    }
    while (temporary.size() > 1 && temporary.back() == '/')
        temporary.pop_back();
    locations.temporary = std::move(temporary);
    return locations;
}

bool isMadeFolderName(std::string_view name, std::string_view prefix)
{
    if (!name.starts_with(prefix) || name.size() != prefix.size() + 6)
        return false;
    return std::ranges::all_of(name.substr(prefix.size()),
        [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

std::string recordedBodyFolder(ResumeData const& resume, BodyFolderLocations const& locations, uid_t user)
{
    if (!resume.bodyFolder.empty())
        return resume.bodyFolder;
    return inFolder(locations.temporary, freshTemporaryFolderPrefix + std::to_string(user));
}

BodyFolderChoice chooseBodyFolder(std::optional<ResumeData> const& resume, BodyFolderLocations const& locations,
    bool destinationFolderExists, uid_t user)
{
    bool beside = !locations.destinationFolder.empty();
    if (resume) {
        std::string recorded = recordedBodyFolder(*resume, locations, user);
        if (beside && recorded == locations.beside())
            return BodyFolderChoice::Beside;
        if ((beside && isMadeIn(recorded, locations.destinationFolder, freshBesideFolderPrefix))
            || isMadeIn(recorded, locations.temporary, freshTemporaryFolderPrefix)
            || recorded == inFolder(locations.temporary, freshTemporaryFolderPrefix + std::to_string(user)))
            return BodyFolderChoice::Recorded;
    }
    if (beside && destinationFolderExists)
        return BodyFolderChoice::Beside;
    return BodyFolderChoice::FreshTemporary;
}

}
