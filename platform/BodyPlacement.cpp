// SPDX-License-Identifier: Apache-2.0
#include "platform/BodyPlacement.h"

#include "platform/HeldFolders.h"
#include "platform/TrustedPath.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
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

    std::string inFolder(std::string const& folder, std::string_view name)
    {
        return (folder == "/" ? "" : folder) + "/" + std::string(name);
    }

    std::string legacyFolder(BodyFolderLocations const& locations, uid_t user)
    {
        return inFolder(locations.temporary, "quenbury-" + std::to_string(user));
    }

    /// Whether `path` is a folder `prefix`XXXXXX that the service makes in `parent`.
    bool isMadeIn(std::string const& path, std::string const& parent, std::string_view prefix)
    {
        std::string const start = inFolder(parent, "");
        return path.starts_with(start) && BodyFolder::isMadeName(std::string_view(path).substr(start.size()), prefix);
    }

    /// The folder beside the destination: ours, or, where another user took
    /// that name (or it is no private folder of ours), one we made beside it.
    std::expected<BodyFolder, Error> openBeside(int parent, std::string const& parentPath)
    {
        auto folder = BodyFolder::openIn(parent, parentPath, besideFolderName, true);
        bool taken = !folder && folder.error().is(ErrorDomain::POSIX, EPERM);
        if (!taken)
            return folder;
        // NOTE: the planted entry is left alone; ours beside it cannot be taken
        // first, and one a killed run made is found again.
        if (auto made = BodyFolder::openMade(parent, parentPath, freshBesideFolderPrefix))
            return made;
        return BodyFolder::createFresh(parent, parentPath, freshBesideFolderPrefix);
    }

}

void setDownloadDestination(std::string destinationPath)
{
    std::lock_guard lock(destinationMutex);
    destination = std::move(destinationPath);
    // A folder that cannot be opened now is looked for again, by the same rules, where it is needed.
    std::string folder = folderOf(destination);
    if (auto opened = openFolderFollowingOwnLinks(folder))
        holdFolder(folder, opened->get());
}

std::string BodyFolderLocations::beside() const
{
    return destinationFolder.empty() ? std::string() : inFolder(destinationFolder, besideFolderName);
}

BodyFolderLocations bodyFolderLocations(std::string const& configuredTemporary)
{
    BodyFolderLocations locations;
    {
        std::lock_guard lock(destinationMutex);
        if (!destination.empty())
            locations.destinationFolder = folderOf(destination);
    }
    locations.temporary = BodyFolder::temporaryDirectory(configuredTemporary);
    return locations;
}

BodyFolderChoice chooseBodyFolder(std::optional<ResumeData> const& resume, BodyFolderLocations const& locations,
    bool destinationFolderExists, uid_t user)
{
    bool beside = !locations.destinationFolder.empty();
    if (resume) {
        std::string const& recorded = resume->bodyFolder.empty() ? legacyFolder(locations, user) : resume->bodyFolder;
        if (beside && recorded == locations.beside())
            return BodyFolderChoice::Beside;
        if ((beside && isMadeIn(recorded, locations.destinationFolder, freshBesideFolderPrefix))
            || isMadeIn(recorded, locations.temporary, freshTemporaryFolderPrefix)
            || recorded == legacyFolder(locations, user))
            return BodyFolderChoice::Recorded;
    }
    if (beside && destinationFolderExists)
        return BodyFolderChoice::Beside;
    return BodyFolderChoice::FreshTemporary;
}

std::expected<ChosenBodyFolder, Error> openBodyFolder(
    std::optional<ResumeData> const& resume, std::string const& configuredTemporary)
{
    auto locations = bodyFolderLocations(configuredTemporary);
    std::expected<std::pair<FileDescriptor, std::string>, Error> destinationFolder
        = std::unexpected(Error::fromErrno("open", "", ENOENT));
    if (!locations.destinationFolder.empty())
        destinationFolder = openContainingFolder(inFolder(locations.destinationFolder, "x"));
    uid_t user = ::geteuid();
    auto choice = chooseBodyFolder(resume, locations, destinationFolder.has_value(), user);
    std::expected<BodyFolder, Error> folder = std::unexpected(Error {});
    if (choice == BodyFolderChoice::Recorded) {
        std::string recorded = resume->bodyFolder.empty() ? legacyFolder(locations, user) : resume->bodyFolder;
        bool beside = destinationFolder && folderOf(recorded) == locations.destinationFolder;
        folder = beside ? BodyFolder::openIn(destinationFolder->first.get(), locations.destinationFolder,
                     recorded.substr(recorded.find_last_of('/') + 1), false)
                        : BodyFolder::open(recorded, false);
        // Gone (a cleaner emptied the temporary folder) or taken: the body starts over elsewhere.
        if (folder)
            choice = beside ? BodyFolderChoice::Beside : BodyFolderChoice::Recorded;
        else
            choice = chooseBodyFolder(std::nullopt, locations, destinationFolder.has_value(), user);
    }
    if (choice == BodyFolderChoice::Beside && !folder)
        folder = openBeside(destinationFolder->first.get(), locations.destinationFolder);
    if (choice == BodyFolderChoice::FreshTemporary) {
        FileDescriptor parent(::open(locations.temporary.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        folder = parent ? BodyFolder::createFresh(parent.get(), locations.temporary, freshTemporaryFolderPrefix)
                        : std::unexpected(Error::fromErrno("open", locations.temporary, errno));
    }
    if (!folder)
        return std::unexpected(folder.error());
    holdFolder(folder->path(), folder->descriptor());
    return ChosenBodyFolder { std::move(*folder), choice == BodyFolderChoice::Beside };
}

}
