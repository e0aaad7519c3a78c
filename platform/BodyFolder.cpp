// SPDX-License-Identifier: Apache-2.0
#include "platform/BodyFolder.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

std::expected<BodyFolder, Error> BodyFolder::open(std::string const& path, bool create)
{
    // NOTE: a run that ends removes the folder when it is empty (see
    // removeEmpty); one that opened it just before finds it unlinked under its
    // shared lock, and makes it again.
    for (int attempt = 0;; ++attempt) {
        auto folder = openOnce(path, create);
        if (!folder || attempt == 8)
            return folder;
        // Where a file system cannot lock folders, no run removes one either.
        struct stat status { };
        if (::flock(folder->descriptor(), LOCK_SH) != 0 || ::fstat(folder->descriptor(), &status) != 0
            || status.st_nlink > 0 || !create)
            return folder;
    }
}

bool BodyFolder::removeEmpty(std::string const& path, int descriptor)
{
    // Only when no other run holds the folder: the exclusive lock is then ours.
    return ::flock(descriptor, LOCK_EX | LOCK_NB) == 0 && ::rmdir(path.c_str()) == 0;
}

std::expected<BodyFolder, Error> BodyFolder::openOnce(std::string const& path, bool create)
{
    if (create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return std::unexpected(Error::fromErrno("mkdir", path, errno));

    struct stat status { };
    if (::lstat(path.c_str(), &status) != 0)
        return std::unexpected(Error::fromErrno("lstat", path, errno));
    if (S_ISLNK(status.st_mode))
        return std::unexpected(Error::refused(path, "a symbolic link"));
    if (!S_ISDIR(status.st_mode))
        return std::unexpected(Error::refused(path, "not a directory"));

    // NOTE: O_NOFOLLOW makes the checks below apply to what we opened, even if
    // the name was swapped for a link after the lstat.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return std::unexpected(Error::fromErrno("open", path, errno));
    if (::fstat(fd.get(), &status) != 0)
        return std::unexpected(Error::fromErrno("fstat", path, errno));
    if (!S_ISDIR(status.st_mode))
        return std::unexpected(Error::refused(path, "not a directory"));
    if (status.st_uid != ::geteuid())
        return std::unexpected(Error::refused(path, "owned by another user"));
    if ((status.st_mode & 07777) != 0700 && ::fchmod(fd.get(), 0700) != 0)
        return std::unexpected(Error::fromErrno("fchmod", path, errno));
    return BodyFolder(path, std::move(fd));
}

std::expected<BodyFolder, Error> BodyFolder::createFresh(std::string const& parent)
{
    std::string path = (parent == "/" ? "" : parent) + "/quenbury-XXXXXX";
    if (!::mkdtemp(path.data()))
        return std::unexpected(Error::fromErrno("mkdtemp", path, errno));
    auto folder = open(path, false);
    if (!folder)
        ::rmdir(path.c_str());
    return folder;
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
    uid_t self = ::geteuid();
    while (dirent* entry = ::readdir(directory)) {
        std::string_view name = entry->d_name;
        if (!name.starts_with("body-"))
            continue;
        struct stat status { };
        if (::fstatat(m_fd.get(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (!S_ISREG(status.st_mode) || status.st_uid != self || status.st_mtime >= cutoff)
            continue;
        FileDescriptor fd(::openat(m_fd.get(), entry->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        struct stat opened { };
        // Only a file that no live run writes, and that is still the one we looked at.
        if (fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(fd.get(), &opened) == 0
            && FileIdentity(opened) == FileIdentity(status))
            ::unlinkat(m_fd.get(), entry->d_name, 0);
    }
    ::closedir(directory);
}

}
