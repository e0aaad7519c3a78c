// SPDX-License-Identifier: Apache-2.0
#include "platform/BodyFolder.h"

#include "platform/BodyFolderChoice.h"
#include "platform/HeldFolders.h"
#include "platform/TrustedPath.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform {

std::expected<BodyFolder, Error> BodyFolder::openIn(
    int parent, std::string const& parentPath, std::string const& name, bool create)
{
    std::string path = (parentPath == "/" ? "" : parentPath) + "/" + name;
    // NOTE: a run that ends removes the folder when it is empty (see
    // removeEmpty); one that opened it just before finds it unlinked under its
    // shared lock, and makes it again.
    for (int attempt = 0;; ++attempt) {
        auto folder = openOnce(parent, path, name, create);
        if (!folder || attempt == 8)
            return folder;
        // Where a file system cannot lock folders, no run removes one either.
        struct stat status { };
        if (::flock(folder->descriptor(), LOCK_SH) != 0 || ::fstat(folder->descriptor(), &status) != 0
            || status.st_nlink > 0 || !create)
            return folder;
    }
}

std::expected<BodyFolder, Error> BodyFolder::open(std::string const& path, bool create)
{
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash + 1 == path.size())
        return std::unexpected(Error::refused(path, "not an absolute path"));
    std::string parentPath = slash == 0 ? "/" : path.substr(0, slash);
    FileDescriptor parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent)
        return std::unexpected(Error::fromErrno("open", parentPath, errno));
    return openIn(parent.get(), parentPath, path.substr(slash + 1), create);
}

bool BodyFolder::removeEmpty(std::string const& path, int descriptor)
{
    // Only when no other run holds the folder: the exclusive lock is then ours.
    return ::flock(descriptor, LOCK_EX | LOCK_NB) == 0 && ::rmdir(path.c_str()) == 0;
}

std::expected<BodyFolder, Error> BodyFolder::openOnce(
    int parent, std::string const& path, std::string const& name, bool create)
{
    if (create && ::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST)
        return std::unexpected(Error::fromErrno("mkdir", path, errno));

    // NOTE: O_NOFOLLOW and the checks on what was opened: a name swapped for a
    // link or another folder meanwhile is refused, never followed.
    auto fd = openFolderAt(parent, name, path);
    auto status = fd ? statusOf(fd->get(), path) : std::unexpected(fd.error());
    if (!status)
        return std::unexpected(status.error());
    if (status->st_uid != ::geteuid())
        return std::unexpected(Error::refused(path, "owned by another user"));
    // NOTE: what others could write into is not ours to trust; one they may
    // only read (a loose umask, an administrator's mkdir) is narrowed, before
    // the process confines itself.
    if (status->st_mode & (S_IWGRP | S_IWOTH))
        return std::unexpected(Error::refused(path, "writable by other users"));
    if ((status->st_mode & 07777) != 0700 && ::fchmod(fd->get(), 0700) != 0)
        return std::unexpected(Error::fromErrno("fchmod", path, errno));
    return BodyFolder(path, std::move(*fd));
}

std::expected<BodyFolder, Error> BodyFolder::createFresh(
    int parent, std::string const& parentPath, std::string_view prefix)
{
    std::string name;
    for (int attempt = 0;; ++attempt) {
        name = std::string(prefix) + randomLettersAndDigits(6);
        if (::mkdirat(parent, name.c_str(), 0700) == 0)
            break;
        if (errno != EEXIST || attempt == 100)
            return std::unexpected(Error::fromErrno("mkdir", parentPath + "/" + name, errno));
    }
    auto folder = openIn(parent, parentPath, name, false);
    if (!folder)
        ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
    return folder;
}

std::expected<BodyFolder, Error> BodyFolder::openMade(
    int parent, std::string const& parentPath, std::string_view prefix)
{
    auto names = namesIn(parent);
    std::ranges::sort(names);
    for (auto const& name : names) {
        if (!isMadeFolderName(name, prefix))
            continue;
        if (auto folder = openIn(parent, parentPath, name, false))
            return folder;
    }
    return std::unexpected(Error::fromErrno("open", parentPath + "/" + std::string(prefix), ENOENT));
}

BodyFolder::BodyFolder(std::string path, FileDescriptor fd)
    : m_path(std::move(path))
    , m_fd(std::move(fd))
{
}

void BodyFolder::removeStaleBodies(std::chrono::seconds age) const
{
    auto cutoff = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) - age.count();
    for (auto const& name : namesIn(m_fd.get())) {
        // A body, its record, and what a writer of a record left when it was killed.
        if (name.starts_with("body-") || name.starts_with(".body-"))
            removeAbandoned(m_fd.get(), name, cutoff);
    }
}

namespace {

    /// The folder beside the destination: ours, or, where another user took
    /// that name (or it is no private folder of ours), one we made beside it.
    std::expected<BodyFolder, Error> openBeside(int parent, std::string const& parentPath)
    {
        auto folder = BodyFolder::openIn(parent, parentPath, besideFolderName, true);
        if (folder || !folder.error().is(ErrorDomain::POSIX, EPERM))
            return folder;
        // NOTE: the planted entry is left alone; ours beside it cannot be taken
        // first, and one a killed run made is found again.
        if (auto made = BodyFolder::openMade(parent, parentPath, freshBesideFolderPrefix))
            return made;
        return BodyFolder::createFresh(parent, parentPath, freshBesideFolderPrefix);
    }

}

std::expected<ChosenBodyFolder, Error> openBodyFolder(
    std::optional<ResumeData> const& resume, std::string const& destination, std::string const& configuredTemporary)
{
    auto locations = bodyFolderLocations(destination, configuredTemporary);
    // The destination's folder is resolved once, and held for the check, the move and the confinement.
    auto destinationFolder = locations.destinationFolder.empty()
        ? std::unexpected(Error::fromErrno("open", "", ENOENT))
        : openFolderFollowingOwnLinks(locations.destinationFolder);
    if (destinationFolder)
        holdFolder(locations.destinationFolder, destinationFolder->get());
    uid_t user = ::geteuid();
    auto choice = chooseBodyFolder(resume, locations, destinationFolder.has_value(), user);
    std::expected<BodyFolder, Error> folder = std::unexpected(Error {});
    if (choice == BodyFolderChoice::Recorded) {
        std::string recorded = recordedBodyFolder(*resume, locations, user);
        auto slash = recorded.find_last_of('/');
        bool beside = destinationFolder && recorded.substr(0, slash) == locations.destinationFolder;
        folder = beside ? BodyFolder::openIn(
                     destinationFolder->get(), locations.destinationFolder, recorded.substr(slash + 1), false)
                        : BodyFolder::open(recorded, false);
        // Gone (a cleaner emptied the temporary folder) or taken: the body starts over elsewhere.
        if (folder)
            choice = beside ? BodyFolderChoice::Beside : BodyFolderChoice::Recorded;
        else
            choice = chooseBodyFolder(std::nullopt, locations, destinationFolder.has_value(), user);
    }
    if (choice == BodyFolderChoice::Beside && !folder)
        folder = openBeside(destinationFolder->get(), locations.destinationFolder);
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
