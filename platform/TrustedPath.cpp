// SPDX-License-Identifier: Apache-2.0
#include "platform/TrustedPath.h"

#include "platform/HeldFolders.h"
#include "platform/Path.h"

#include <algorithm>
#include <climits>
#include <unistd.h>

namespace platform {

namespace {

    /// True when `prefix` lies strictly below `area` and is a folder name of its own (not "." or ".."), so that
    /// tightening it cannot reach above the area.
    bool isBelow(std::string const& prefix, std::string_view area)
    {
        if (area.empty() || prefix.size() <= area.size() + 1 || !prefix.starts_with(area) || prefix[area.size()] != '/')
            return false;
        return std::ranges::none_of(pathComponents(prefix.substr(area.size() + 1)),
            [](std::string const& piece) { return piece == "." || piece == ".."; });
    }

    std::expected<FileDescriptor, Error> openRootOf(std::string const& path)
    {
        if (!path.starts_with('/'))
            return std::unexpected(Error::refused(path, "not an absolute path"));
        FileDescriptor root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!root)
            return std::unexpected(Error::fromErrno("open", "/", errno));
        return root;
    }

    enum class Missing { Fail, Create, Stop };

    std::expected<FileDescriptor, Error> walkTrusted(std::string const& path, std::string_view ownArea, Missing missing)
    {
        auto folder = openRootOf(path);
        if (!folder)
            return folder;
        std::string prefix;
        uid_t self = ::geteuid();
        for (auto const& name : pathComponents(path)) {
            if (name == ".")
                continue;
            prefix += "/" + name;
            if (name == "..")
                return std::unexpected(Error::refused(prefix, "not a plain folder name"));
            auto child = openFolderAt(folder->get(), name, prefix);
            bool absent = !child && child.error().is(ErrorDomain::POSIX, ENOENT);
            bool made = false;
            if (absent && missing == Missing::Stop)
                return folder;
            if (absent && missing == Missing::Create) {
                made = ::mkdirat(folder->get(), name.c_str(), 0700) == 0;
                if (!made && errno != EEXIST)
                    return std::unexpected(Error::fromErrno("mkdir", prefix, errno));
                child = openFolderAt(folder->get(), name, prefix);
            }
            if (!child)
                return errorOf(child);
            auto status = statusOf(child->get(), prefix);
            if (!status)
                return errorOf(status);
            if (status->st_uid != self && status->st_uid != 0)
                return std::unexpected(Error::refused(prefix, "owned by another user"));
            mode_t mode = status->st_mode & 07777;
            // NOTE: a folder made just now has the mode asked for (the umask only narrows); it is never changed, so
            // this walk works once no mode may change.
            if (!made && status->st_uid == self && (mode & (S_ISUID | S_ISGID | 077)) && isBelow(prefix, ownArea)) {
                // A folder of our own, left open by an earlier version, a loose umask or the agent: what lies below
                // holds URLs, and URLs carry secrets.
                mode &= S_ISVTX | S_IRWXU;
                if (::fchmod(child->get(), mode) != 0)
                    return std::unexpected(Error::fromErrno("fchmod", prefix, errno));
            }
            if ((mode & (S_IWGRP | S_IWOTH)) && !(mode & S_ISVTX))
                return std::unexpected(Error::refused(prefix, "writable by other users"));
            *folder = std::move(*child);
        }
        return folder;
    }

    /// Opens `path` in `held` as openRegularFileAt does, unless `refusal` of its and its folder's status says why not.
    template<typename Refusal>
    std::expected<FileDescriptor, Error> openRegularFileUnless(
        std::expected<FolderAndName, Error> const& held, std::string const& path, Refusal refusal)
    {
        if (!held)
            return errorOf(held);
        auto fd = openRegularFileAt(held->folder.get(), held->name, path, false);
        if (!fd)
            return fd;
        auto opened = statusOf(fd->get(), path);
        auto parent = statusOf(held->folder.get(), path);
        if (!opened || !parent)
            return opened ? errorOf(parent) : errorOf(opened);
        if (char const* reason = refusal(*opened, *parent))
            return std::unexpected(Error::refused(path, reason));
        return fd;
    }

}

std::expected<FileDescriptor, Error> openTrustedFolder(std::string const& path, std::string_view ownArea, bool create)
{
    return walkTrusted(path, ownArea, create ? Missing::Create : Missing::Fail);
}

std::expected<FileDescriptor, Error> openDeepestTrustedFolder(std::string const& path, std::string_view ownArea)
{
    return walkTrusted(path, ownArea, Missing::Stop);
}

std::expected<FileDescriptor, Error> openFolderFollowingOwnLinks(std::string const& path)
{
    auto folder = openRootOf(path);
    if (!folder)
        return folder;
    uid_t self = ::geteuid();
    auto names = pathComponents(path);
    std::ranges::reverse(names); // The next name last, where a link's target goes.
    for (int links = 0; !names.empty();) {
        std::string name = std::move(names.back());
        names.pop_back();
        if (name == ".")
            continue;
        FileDescriptor child(::openat(folder->get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (child) {
            *folder = std::move(child);
            continue;
        }
        int saved = errno;
        struct stat link { };
        if ((saved != ELOOP && saved != ENOTDIR)
            || ::fstatat(folder->get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode))
            return std::unexpected(Error::fromErrno("open", path, saved));
        // NOTE: only root (an administrator moving a folder to a bigger volume) or we can have made a link that root
        // owns; another user's link would let that user choose where root writes.
        if (link.st_uid != 0 && link.st_uid != self)
            return std::unexpected(Error::refused(path, "a symbolic link of another user"));
        // NOTE: nor may another user have put it there: a root-owned link can be moved or hard-linked into any folder
        // they may write, sticky or not.
        struct stat holder { };
        if (::fstat(folder->get(), &holder) != 0)
            return std::unexpected(Error::fromErrno("stat", path, errno));
        if ((holder.st_uid != 0 && holder.st_uid != self) || (holder.st_mode & (S_IWGRP | S_IWOTH)))
            return std::unexpected(Error::refused(path, "a symbolic link in a folder others may write"));
        char target[PATH_MAX];
        ssize_t length = ::readlinkat(folder->get(), name.c_str(), target, sizeof target);
        if (length < 0 || static_cast<size_t>(length) == sizeof target || ++links > 40) // The kernel's own limit.
            return std::unexpected(Error::fromErrno("open", path, length < 0 ? errno : ELOOP));
        std::string_view followed(target, static_cast<size_t>(length));
        auto more = pathComponents(followed);
        names.insert(names.end(), more.rbegin(), more.rend());
        if (followed.starts_with('/') && !(folder = openRootOf(std::string(followed))))
            return folder;
    }
    return folder;
}

std::expected<FolderAndName, Error> openTrustedContainingFolder(std::string const& path, std::string_view ownArea)
{
    auto [folderPath, name] = splitPath(path);
    if (folderPath.empty())
        return std::unexpected(Error::refused(path, "not an absolute path"));
    auto folder = openTrustedFolder(folderPath, ownArea, false);
    if (!folder)
        return errorOf(folder);
    return FolderAndName { std::move(*folder), std::move(name) };
}

std::expected<FileDescriptor, Error> openOwnRegularFileInTrustedFolder(
    std::string const& path, std::string_view ownArea)
{
    return openRegularFileUnless(
        openTrustedContainingFolder(path, ownArea), path, [](struct stat const& file, struct stat const&) {
            return isOwnRegularFile(file) ? nullptr : "owned by another user";
        });
}

std::expected<FileDescriptor, Error> openFileNobodyElseWrites(std::string const& path)
{
    return openRegularFileUnless(
        openContainingFolder(path), path, [](struct stat const& file, struct stat const& folder) -> char const* {
            // NOTE: a file another user may change, or a second name of someone else's file, is not a package we
            // placed, whatever its bytes now.
            if (file.st_nlink != 1)
                return "more than one link";
            if (file.st_mode & (S_IWGRP | S_IWOTH))
                return "writable by other users";
            // A volume that maps root to another owner: the folder's owner, where nobody else may write there.
            bool folderOwners = file.st_uid == folder.st_uid && !(folder.st_mode & (S_IWGRP | S_IWOTH));
            return file.st_uid != ::geteuid() && !folderOwners ? "owned by another user" : nullptr;
        });
}

}
