// SPDX-License-Identifier: Apache-2.0
#include "platform/BodyPlacement.h"

#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

    std::mutex destinationMutex;
    std::string destination;

    std::string folderOf(std::string const& path)
    {
        auto slash = path.find_last_of('/');
        if (slash == std::string::npos)
            return ".";
        return slash == 0 ? "/" : path.substr(0, slash);
    }

    bool isDirectory(std::string const& path)
    {
        struct stat status { };
        return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    }

    /// Whether `name` is what mkdtemp makes of "quenbury-XXXXXX".
    bool isFreshFolderName(std::string_view name)
    {
        constexpr std::string_view prefix = "quenbury-";
        if (!name.starts_with(prefix) || name.size() != prefix.size() + 6)
            return false;
        for (char c : name.substr(prefix.size())) {
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
                return false;
        }
        return true;
    }

    std::string legacyFolder(BodyFolderLocations const& locations, uid_t user)
    {
        return (locations.temporary == "/" ? "" : locations.temporary) + "/quenbury-" + std::to_string(user);
    }

}

void setDownloadDestination(std::string destinationPath)
{
    std::lock_guard lock(destinationMutex);
    destination = std::move(destinationPath);
}

BodyFolderLocations bodyFolderLocations(std::string const& configuredTemporary)
{
    BodyFolderLocations locations;
    {
        std::lock_guard lock(destinationMutex);
        if (!destination.empty()) {
            std::string folder = folderOf(destination);
            locations.beside = (folder == "/" ? "" : folder) + "/" + besideFolderName;
        }
    }
    locations.temporary = BodyFolder::temporaryDirectory(configuredTemporary);
    return locations;
}

BodyFolderChoice chooseBodyFolder(std::optional<ResumeData> const& resume, BodyFolderLocations const& locations,
    bool destinationFolderExists, uid_t user)
{
    if (resume) {
        std::string const& recorded = resume->bodyFolder.empty() ? legacyFolder(locations, user) : resume->bodyFolder;
        if (!locations.beside.empty() && recorded == locations.beside)
            return BodyFolderChoice::Beside;
        std::string const prefix = (locations.temporary == "/" ? "" : locations.temporary) + "/";
        if (recorded.starts_with(prefix)) {
            std::string_view name = std::string_view(recorded).substr(prefix.size());
            if (isFreshFolderName(name) || recorded == legacyFolder(locations, user))
                return BodyFolderChoice::Recorded;
        }
    }
    if (!locations.beside.empty() && destinationFolderExists)
        return BodyFolderChoice::Beside;
    return BodyFolderChoice::FreshTemporary;
}

std::expected<BodyFolder, Error> openBodyFolder(
    std::optional<ResumeData> const& resume, std::string const& configuredTemporary)
{
    auto locations = bodyFolderLocations(configuredTemporary);
    bool destinationFolderExists = !locations.beside.empty() && isDirectory(folderOf(locations.beside));
    uid_t user = ::geteuid();
    auto choice = chooseBodyFolder(resume, locations, destinationFolderExists, user);
    if (choice == BodyFolderChoice::Recorded) {
        auto recorded
            = BodyFolder::open(resume->bodyFolder.empty() ? legacyFolder(locations, user) : resume->bodyFolder, false);
        if (recorded)
            return recorded;
        // Gone (a cleaner emptied the temporary folder) or taken: the body starts over elsewhere.
        choice = chooseBodyFolder(std::nullopt, locations, destinationFolderExists, user);
    }
    if (choice == BodyFolderChoice::Beside)
        return BodyFolder::open(locations.beside, true);
    return BodyFolder::createFresh(locations.temporary);
}

}
