// SPDX-License-Identifier: Apache-2.0
#include "platform/BodyFolder.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform {

std::string BodyFolder::temporaryDirectory(std::string const& configured)
{
    std::string parent = configured;
    if (parent.empty()) {
        char const* tmpdir = std::getenv("TMPDIR");
        // A relative $TMPDIR would depend on the working directory of whoever started us.
        parent = (tmpdir && tmpdir[0] == '/') ? tmpdir : "/var/tmp";
    }
    while (parent.size() > 1 && parent.back() == '/')
        parent.pop_back();
    return parent;
}

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
    FileDescriptor fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status { };
    if (!fd) {
        int saved = errno;
        if ((saved == ELOOP || saved == ENOTDIR) && ::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
            return std::unexpected(
                Error::refused(path, S_ISLNK(status.st_mode) ? "a symbolic link" : "not a directory"));
        return std::unexpected(Error::fromErrno("open", path, saved));
    }
    if (::fstat(fd.get(), &status) != 0)
        return std::unexpected(Error::fromErrno("fstat", path, errno));
    if (status.st_uid != ::geteuid())
        return std::unexpected(Error::refused(path, "owned by another user"));
    // NOTE: what others could write into is not ours to trust; one they may
    // only read (a loose umask, an administrator's mkdir) is narrowed, before
    // the process confines itself.
    if (status.st_mode & (S_IWGRP | S_IWOTH))
        return std::unexpected(Error::refused(path, "writable by other users"));
    if ((status.st_mode & 07777) != 0700 && ::fchmod(fd.get(), 0700) != 0)
        return std::unexpected(Error::fromErrno("fchmod", path, errno));
    return BodyFolder(path, std::move(fd));
}

bool BodyFolder::isMadeName(std::string_view name, std::string_view prefix)
{
    if (!name.starts_with(prefix) || name.size() != prefix.size() + 6)
        return false;
    return std::ranges::all_of(name.substr(prefix.size()),
        [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

std::expected<BodyFolder, Error> BodyFolder::createFresh(
    int parent, std::string const& parentPath, std::string_view prefix)
{
    static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device device;
    std::mt19937_64 generator(device());
    std::string name;
    for (int attempt = 0;; ++attempt) {
        name = std::string(prefix);
        auto value = generator();
        for (int i = 0; i < 6; ++i, value /= 62)
            name += alphabet[value % 62];
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
    FileDescriptor listing(::openat(parent, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* entries = listing ? ::fdopendir(listing.get()) : nullptr;
    if (!entries)
        return std::unexpected(Error::fromErrno("open", parentPath, errno));
    (void)listing.release(); // closedir closes it.
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(entries)) {
        if (isMadeName(entry->d_name, prefix))
            names.emplace_back(entry->d_name);
    }
    ::closedir(entries);
    std::ranges::sort(names);
    for (auto const& name : names) {
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
    FileDescriptor listing(::dup(m_fd.get()));
    DIR* directory = listing ? ::fdopendir(listing.get()) : nullptr;
    if (!directory)
        return;
    (void)listing.release(); // closedir closes it.
    // fdopendir shares the offset of m_fd's duplicate: start from the top.
    ::rewinddir(directory);
    auto cutoff = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) - age.count();
    while (dirent* entry = ::readdir(directory)) {
        std::string_view name = entry->d_name;
        // A body, its record, and what a writer of a record left when it was killed.
        if (!name.starts_with("body-") && !name.starts_with(".body-"))
            continue;
        struct stat status { };
        if (::fstatat(m_fd.get(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !isOwnRegularFile(status)
            || status.st_mtime >= cutoff)
            continue;
        FileDescriptor fd(::openat(m_fd.get(), entry->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        auto opened = fd ? statusOf(fd.get(), m_path) : std::unexpected(Error {});
        // Only a file that no live run writes, and that is still the one we looked at.
        if (opened && FileIdentity(*opened) == FileIdentity(status) && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
            unlinkIfStill(m_fd.get(), entry->d_name, FileIdentity(status));
    }
    ::closedir(directory);
}

}
