// SPDX-License-Identifier: Apache-2.0
#include "platform/TrustedPath.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

    /// True when `prefix` lies strictly below `area` and is a folder name of its
    /// own (not "." or ".."), so that tightening it cannot reach above the area.
    bool isBelow(std::string const& prefix, std::string_view area)
    {
        if (area.empty() || prefix.size() <= area.size() + 1 || !prefix.starts_with(area) || prefix[area.size()] != '/')
            return false;
        for (size_t start = area.size() + 1; start <= prefix.size();) {
            size_t end = prefix.find('/', start);
            std::string_view piece
                = std::string_view(prefix).substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (piece == "." || piece == "..")
                return false;
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
        return true;
    }

}

std::expected<FileDescriptor, Error> openTrustedFolder(
    std::string const& directory, std::string_view ownArea, bool create)
{
    if (!directory.starts_with('/'))
        return std::unexpected(Error::refused(directory, "not an absolute path"));
    uid_t self = ::geteuid();
    FileDescriptor folder(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        return std::unexpected(Error::fromErrno("open", "/", errno));
    std::string prefix;
    for (size_t start = 1; start < directory.size();) {
        size_t end = std::min(directory.find('/', start), directory.size());
        std::string name = directory.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".")
            continue;
        prefix += "/" + name;
        if (name == "..")
            return std::unexpected(Error::refused(prefix, "not a plain folder name"));
        auto openChild = [&] {
            return FileDescriptor(
                ::openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        };
        FileDescriptor child = openChild();
        if (!child && errno == ENOENT && create) {
            if (::mkdirat(folder.get(), name.c_str(), 0700) != 0 && errno != EEXIST)
                return std::unexpected(Error::fromErrno("mkdir", prefix, errno));
            child = openChild();
        }
        if (!child) {
            int saved = errno;
            struct stat link { };
            if ((saved == ELOOP || saved == ENOTDIR)
                && ::fstatat(folder.get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0)
                return std::unexpected(
                    Error::refused(prefix, S_ISLNK(link.st_mode) ? "a symbolic link" : "not a directory"));
            return std::unexpected(Error::fromErrno("open", prefix, saved));
        }
        struct stat status { };
        if (::fstat(child.get(), &status) != 0)
            return std::unexpected(Error::fromErrno("fstat", prefix, errno));
        if (status.st_uid != self && status.st_uid != 0)
            return std::unexpected(Error::refused(prefix, "owned by another user"));
        mode_t mode = status.st_mode & 07777;
        if (status.st_uid == self && (mode & (S_ISUID | S_ISGID | 077)) && isBelow(prefix, ownArea)) {
            // A folder of our own, left open by an earlier version, a loose
            // umask or the agent: what lies below holds URLs, and URLs carry secrets.
            mode &= S_ISVTX | S_IRWXU;
            if (::fchmod(child.get(), mode) != 0)
                return std::unexpected(Error::fromErrno("fchmod", prefix, errno));
        }
        if ((mode & (S_IWGRP | S_IWOTH)) && !(mode & S_ISVTX))
            return std::unexpected(Error::refused(prefix, "writable by other users"));
        folder = std::move(child);
    }
    return folder;
}

std::expected<void, Error> checkOwnedRegularFile(std::string const& path, std::string_view ownArea)
{
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return std::unexpected(Error::refused(path, "not an absolute path"));
    auto folder = openTrustedFolder(path.substr(0, slash == 0 ? 1 : slash), ownArea, false);
    if (!folder)
        return std::unexpected(folder.error());
    struct stat status { };
    if (::fstatat(folder->get(), path.c_str() + slash + 1, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return std::unexpected(Error::fromErrno("stat", path, errno));
    if (!S_ISREG(status.st_mode))
        return std::unexpected(Error::refused(path, "not a regular file"));
    if (status.st_uid != ::geteuid())
        return std::unexpected(Error::refused(path, "owned by another user"));
    return {};
}

}
