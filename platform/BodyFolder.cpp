// SPDX-License-Identifier: Apache-2.0
#include "platform/BodyFolder.h"

#include "platform/BodyFile.h"
#include "platform/HeldFolders.h"
#include "platform/Path.h"

#include <algorithm>
#include <cstdlib>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

namespace {

    constexpr char besideFolderName[] = ".quenbury-partial";
    /// Ours beside the destination where another user took besideFolderName first.
    constexpr char freshBesideFolderPrefix[] = ".quenbury-partial-";
    constexpr char freshTemporaryFolderPrefix[] = "quenbury-";

    bool isMadeFolderName(std::string_view name, std::string_view prefix)
    {
        return name.starts_with(prefix) && name.size() == prefix.size() + 6
            && std::ranges::all_of(name.substr(prefix.size()),
                [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
    }

    /// The name of a folder `prefix`XXXXXX that the service makes in `parent`, when `path` is one; else empty.
    std::string madeIn(std::string_view path, std::string const& parent, std::string_view prefix)
    {
        auto [folder, name] = splitPath(path);
        return folder == parent && isMadeFolderName(name, prefix) ? name : std::string();
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

    /// A body, its record, or a record writer's sibling (".<record>.quenbury-" and sixteen letters and digits).
    bool isBodyFolderEntry(std::string_view name)
    {
        if (name.starts_with('.')) {
            auto suffix = name.rfind(".quenbury-");
            if (suffix == std::string_view::npos || name.size() - suffix != 26)
                return false;
            name = name.substr(1, suffix - 1);
            if (!name.ends_with(".progress"))
                return false;
        }
        if (name.ends_with(".progress"))
            name.remove_suffix(9);
        return isBodyFileName(name);
    }

    bool holdsOnlyBodies(int folder)
    {
        return std::ranges::all_of(namesIn(folder), [folder](std::string const& name) {
            struct stat status { };
            return isBodyFolderEntry(name) && ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISREG(status.st_mode);
        });
    }

    std::expected<FileDescriptor, Error> openMadeFolder(
        int parent, std::string const& path, std::string const& name, bool create)
    {
        bool made = create && ::mkdirat(parent, name.c_str(), 0700) == 0;
        if (create && !made && errno != EEXIST)
            return std::unexpected(Error::fromErrno("mkdir", path, errno));

        // NOTE: a name swapped meanwhile for a link or another folder is refused, never followed.
        auto fd = openFolderAt(parent, name, path);
        if (!fd)
            return fd;
        auto status = statusOf(fd->get(), path);
        if (!status)
            return errorOf(status);
        if (status->st_uid != ::geteuid())
            return std::unexpected(Error::refused(path, "owned by another user"));
        // NOTE: a folder found under our name may be someone else's, renamed there; only what the service itself leaves
        // is taken. A folder made just now may lack owner rights an odd umask took (never more than 0700).
        mode_t mode = status->st_mode & 07777;
        bool ours = mode == 0700 || (made && (mode & ~mode_t(0700)) == 0 && ::fchmod(fd->get(), 0700) == 0);
        if (!ours)
            return std::unexpected(Error::refused(path, "not a private folder"));
        if (!holdsOnlyBodies(fd->get()))
            return std::unexpected(Error::refused(path, "holds files other than bodies"));
        return fd;
    }

    /// A new folder `prefix`XXXXXX in `parent`: a name that no other user can have taken first.
    std::expected<BodyFolder, Error> createFresh(int parent, std::string const& parentPath, std::string_view prefix)
    {
        std::string name;
        for (int attempt = 0;; ++attempt) {
            name = std::string(prefix) + randomLettersAndDigits(6);
            if (::mkdirat(parent, name.c_str(), 0700) == 0)
                break;
            if (errno != EEXIST || attempt == 100)
                return std::unexpected(Error::fromErrno("mkdir", joinPath(parentPath, name), errno));
        }
        auto folder = BodyFolder::openIn(parent, parentPath, name, false);
        if (!folder)
            ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
        return folder;
    }

    std::expected<BodyFolder, Error> openBeside(int parent, std::string const& parentPath)
    {
        auto folder = BodyFolder::openIn(parent, parentPath, besideFolderName, true);
        if (folder || !folder.error().is(ErrorDomain::POSIX, EPERM))
            return folder;
        // NOTE: the planted entry is left alone; ours beside it cannot be taken first, and one a killed run made is
        // found again (the first by name that openIn accepts).
        auto names = namesIn(parent);
        std::erase_if(names, [](std::string const& name) { return !isMadeFolderName(name, freshBesideFolderPrefix); });
        std::ranges::sort(names);
        for (auto const& name : names) {
            if (auto made = BodyFolder::openIn(parent, parentPath, name, false))
                return made;
        }
        return createFresh(parent, parentPath, freshBesideFolderPrefix);
    }

    std::expected<BodyFolder, Error> carryOut(BodyFolderPlan const& plan, BodyFolderLocations const& locations)
    {
        if (auto const* beside = std::get_if<plan::Beside>(&plan))
            return openBeside(beside->destinationFolder, locations.destinationFolder);
        if (auto const* recorded = std::get_if<plan::RecordedBeside>(&plan))
            return BodyFolder::openIn(recorded->destinationFolder, locations.destinationFolder, recorded->name, false);
        FileDescriptor temporary(::open(locations.temporary.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!temporary)
            return std::unexpected(Error::fromErrno("open", locations.temporary, errno));
        if (auto const* recorded = std::get_if<plan::RecordedTemporary>(&plan))
            return BodyFolder::openIn(temporary.get(), locations.temporary, recorded->name, false);
        return createFresh(temporary.get(), locations.temporary, freshTemporaryFolderPrefix);
    }

}

std::expected<BodyFolder, Error> BodyFolder::openIn(
    int parent, std::string const& parentPath, std::string const& name, bool create)
{
    std::string path = joinPath(parentPath, name);
    // NOTE: a run that ends removes the folder when it is empty (see removeIfEmpty); one that opened it just before
    // finds it unlinked under its shared lock, and makes it again.
    for (int attempt = 0;; ++attempt) {
        auto fd = openMadeFolder(parent, path, name, create);
        if (!fd)
            return errorOf(fd);
        // Where a file system cannot lock folders, no run removes one either.
        struct stat status { };
        if (attempt < 8 && ::flock(fd->get(), LOCK_SH) == 0 && ::fstat(fd->get(), &status) == 0 && status.st_nlink == 0
            && create)
            continue;
        FileDescriptor parentCopy(::fcntl(parent, F_DUPFD_CLOEXEC, 0));
        if (!parentCopy)
            return std::unexpected(Error::fromErrno("open", path, errno));
        return BodyFolder(path, std::move(parentCopy), std::move(*fd));
    }
}

std::expected<BodyFolder, Error> BodyFolder::open(std::string const& path, bool create)
{
    auto [parentPath, name] = splitPath(path);
    if (parentPath.empty() || name.empty())
        return std::unexpected(Error::refused(path, "not an absolute path"));
    FileDescriptor parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent)
        return std::unexpected(Error::fromErrno("open", parentPath, errno));
    return openIn(parent.get(), parentPath, name, create);
}

BodyFolder::BodyFolder(std::string path, FileDescriptor parent, FileDescriptor fd)
    : m_path(std::move(path))
    , m_parent(std::move(parent))
    , m_fd(std::move(fd))
{
}

bool BodyFolder::removeIfEmpty() const
{
    auto status = statusOf(m_fd.get(), m_path);
    auto name = splitPath(m_path).name;
    return status && ::flock(m_fd.get(), LOCK_EX | LOCK_NB) == 0
        && identityAt(m_parent.get(), name) == FileIdentity(*status)
        && ::unlinkat(m_parent.get(), name.c_str(), AT_REMOVEDIR) == 0;
}

void BodyFolder::removeLeftovers(std::string const& body, std::string const& kept) const
{
    std::string const prefix = body + "-";
    auto weekAgo = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() - std::chrono::hours(24 * 7));
    for (auto const& name : namesIn(m_fd.get())) {
        std::string_view sibling = name;
        bool record = sibling.ends_with(".progress");
        if (record)
            sibling.remove_suffix(9);
        // A live run holds its sibling locked, and its record stays with it.
        if (sibling.starts_with(prefix) && sibling.size() == prefix.size() + 10 && isBodyFileName(sibling)
            && (record ? !identityAt(m_fd.get(), std::string(sibling)) : removeAbandoned(m_fd.get(), name)))
            ::unlinkat(m_fd.get(), (std::string(sibling) + ".progress").c_str(), 0);
        // A body, its record, and what a writer of a record left when it was killed.
        if ((name.starts_with("body-") || name.starts_with(".body-")) && name != kept)
            removeAbandoned(m_fd.get(), name, weekAgo);
    }
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

std::vector<FileDescriptor> openBodyFolderParents(
    std::string const& destination, std::string const& configuredTemporary)
{
    std::vector<FileDescriptor> folders;
    if (auto held = holdContainingFolder(destination))
        folders.push_back(std::move(*held));
    auto temporary = bodyFolderLocations(destination, configuredTemporary).temporary;
    if (FileDescriptor folder(::open(temporary.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); folder)
        folders.push_back(std::move(folder));
    return folders;
}

std::expected<ChosenBodyFolder, Error> openBodyFolder(
    std::optional<ResumeData> const& resume, std::string const& destination, std::string const& configuredTemporary)
{
    auto locations = bodyFolderLocations(destination, configuredTemporary);
    // The destination's folder is resolved once, and held for the check, the move and the confinement.
    auto held = holdContainingFolder(destination);
    auto destinationFolder = held ? std::optional(held->get()) : std::nullopt;
    auto plan = chooseBodyFolder(resume, locations, destinationFolder);
    auto folder = carryOut(plan, locations);
    // A recorded folder that is gone (a cleaner emptied it) or taken gives way to the plan without it.
    if (auto fresh = chooseBodyFolder(std::nullopt, locations, destinationFolder); !folder && fresh != plan) {
        plan = fresh;
        folder = carryOut(plan, locations);
    }
    if (!folder)
        return errorOf(folder);
    auto name = bodyFileNameForDestination(destination);
    if (!name)
        return errorOf(name);
    holdFolder(folder->path(), folder->descriptor());
    bool beside = std::holds_alternative<plan::Beside>(plan) || std::holds_alternative<plan::RecordedBeside>(plan);
    return ChosenBodyFolder { std::move(*folder), beside, std::move(*name) };
}

}
