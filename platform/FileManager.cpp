// SPDX-License-Identifier: Apache-2.0
#include "platform/FileManager.h"

#include "platform/DigestHandOff.h"
#include "platform/FileCopy.h"
#include "platform/Posix.h"
#include "platform/TrustedPath.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

    FileManager*& installedManager()
    {
        static FileManager* manager = nullptr;
        return manager;
    }

    std::unexpected<Error> failure(std::string_view operation, std::string const& path, int errnoValue = errno)
    {
        return std::unexpected(Error::fromErrno(operation, path, errnoValue));
    }

    // NOTE: resume data holds the URL, and URLs carry secrets.
    constexpr mode_t ownerOnlyFile = 0600;
    constexpr std::string_view siblingMark = ".quenbury-";

    /// The folder part of `path` (with its slash, or empty) and the name.
    std::pair<std::string, std::string> splitPath(std::string const& path)
    {
        auto slash = path.find_last_of('/');
        if (slash == std::string::npos)
            return { "", path };
        return { path.substr(0, slash + 1), path.substr(slash + 1) };
    }

    /// What temporary siblings of a file called `name` begin with.
    std::string siblingPrefix(std::string const& name)
    {
        return "." + name + std::string(siblingMark);
    }

    /// A name beside `path` that no other writer uses, for writing before a rename.
    std::string temporarySibling(std::string const& path)
    {
        static thread_local std::mt19937_64 generator { std::random_device {}() };
        auto [directory, name] = splitPath(path);
        char suffix[20];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(generator()));
        return directory + siblingPrefix(name) + suffix;
    }

    /// Removes our own regular files in the folder `directory` named as
    /// temporary siblings of `name` that a killed writer left behind; one that
    /// a live writer holds locked stays.
    void removeAbandonedSiblings(int directory, std::string const& name)
    {
        FileDescriptor listing(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        DIR* entries = listing ? ::fdopendir(listing.get()) : nullptr;
        if (!entries)
            return;
        (void)listing.release(); // Now closed by closedir.
        std::string const prefix = siblingPrefix(name);
        while (dirent* entry = ::readdir(entries)) {
            if (!std::string_view(entry->d_name).starts_with(prefix))
                continue;
            FileDescriptor fd(::openat(directory, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            struct stat opened {
            }, named {};
            if (fd && ::fstat(fd.get(), &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == ::geteuid()
                && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0
                && ::fstatat(directory, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0
                && FileIdentity(opened) == FileIdentity(named))
                ::unlinkat(directory, entry->d_name, 0);
        }
        ::closedir(entries);
    }

    /// Opens a fresh temporary sibling of `path` for reading and writing, never through a link.
    std::expected<std::pair<FileDescriptor, std::string>, Error> openTemporarySibling(
        std::string const& path, mode_t mode)
    {
        for (int attempt = 0; attempt < 8; ++attempt) {
            std::string temporary = temporarySibling(path);
            FileDescriptor fd(::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
            if (fd)
                return std::pair { std::move(fd), temporary };
            if (errno != EEXIST)
                return failure("open", temporary);
        }
        return failure("open", path, EEXIST);
    }

    enum class Durability { Synced, Unsynced };

    /// Closes `fd` (synced first when asked), then renames `temporary` to `path`;
    /// removes `temporary` on failure.
    std::expected<void, Error> commitTemporary(
        FileDescriptor fd, std::string const& temporary, std::string const& path, bool replace, Durability durability)
    {
        auto abandon = [&](std::string_view operation, std::string const& name, int saved) {
            ::unlink(temporary.c_str());
            return failure(operation, name, saved);
        };
        if (durability == Durability::Synced && ::fsync(fd.get()) != 0)
            return abandon("fsync", temporary, errno);
        if (int closeFailed = fd.close())
            return abandon("close", temporary, closeFailed);
        int renamed = replace ? ::rename(temporary.c_str(), path.c_str())
                              : ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
        if (renamed != 0)
            return abandon("rename", path, errno);
        return {};
    }

    std::expected<void, Error> copyAcrossFileSystems(std::string const& source, std::string const& destination)
    {
        FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!in)
            return failure("open", source);
        struct stat info { };
        if (::fstat(in.get(), &info) != 0)
            return failure("copy", source);
        if (!S_ISREG(info.st_mode))
            return failure("copy", source, EINVAL);
        auto out = openTemporarySibling(destination, info.st_mode & 07777);
        if (!out)
            return std::unexpected(out.error());
        auto& [fd, temporary] = *out;
        // NOTE: held while copying, so that a later run tells a live copy from
        // one a kill abandoned (see removeAbandonedSiblings).
        if (::flock(fd.get(), LOCK_EX) != 0) {
            ::unlink(temporary.c_str());
            return failure("flock", temporary);
        }
        auto digest = copyHashingWhatLands(in.get(), fd.get(), destination);
        if (!digest) {
            ::unlink(temporary.c_str());
            return std::unexpected(digest.error());
        }
        // NOTE: the copy's own bytes were hashed as they landed; verifying the
        // new file need not read it again. Not synced, like a rename: a file torn
        // by a power loss fails the next run's verification.
        handOverDigest(fd.get(), *digest);
        if (auto committed = commitTemporary(std::move(fd), temporary, destination, false, Durability::Unsynced);
            !committed)
            return committed;
        if (::unlink(source.c_str()) != 0)
            return failure("unlink", source);
        return {};
    }

}

FileManager& FileManager::defaultManager()
{
    static FileManager real;
    auto* installed = installedManager();
    return installed ? *installed : real;
}

void FileManager::setDefaultManager(FileManager* manager)
{
    installedManager() = manager;
}

bool FileManager::fileExists(std::string const& path)
{
    struct stat info { };
    return ::stat(path.c_str(), &info) == 0;
}

std::expected<FileDescriptor, Error> FileManager::openTrustedDirectory(
    std::string const& path, std::string_view ownArea, bool create)
{
    return openTrustedFolder(path, ownArea, create);
}

bool FileManager::fileExistsAt(int directory, std::string const& name)
{
    struct stat info { };
    return ::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

std::expected<void, Error> FileManager::removeItem(std::string const& path)
{
    if (::unlink(path.c_str()) == 0)
        return {};
    if (errno != EISDIR)
        return failure("unlink", path);
    if (::rmdir(path.c_str()) != 0)
        return failure("rmdir", path);
    return {};
}

std::expected<void, Error> FileManager::moveItem(std::string const& source, std::string const& destination)
{
    auto [folderPath, name] = splitPath(destination);
    if (FileDescriptor folder(
            ::open(folderPath.empty() ? "." : folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        folder)
        removeAbandonedSiblings(folder.get(), name);
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0)
        return {};
    if (errno != EXDEV)
        return failure("rename", destination);
    return copyAcrossFileSystems(source, destination);
}

std::expected<void, Error> FileManager::createFile(
    int directory, std::string const& name, std::string const& path, Bytes const& contents)
{
    removeAbandonedSiblings(directory, name);
    FileDescriptor fd;
    std::string temporary;
    for (int attempt = 0; attempt < 8 && !fd; ++attempt) {
        temporary = temporarySibling(name);
        fd = FileDescriptor(
            ::openat(directory, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, ownerOnlyFile));
        if (!fd && errno != EEXIST)
            break;
    }
    // A concurrent save keeps its sibling while it writes (see removeAbandonedSiblings).
    if (!fd || ::flock(fd.get(), LOCK_EX) != 0)
        return failure("open", path);
    auto abandon = [&](std::string_view operation, int saved) {
        ::unlinkat(directory, temporary.c_str(), 0);
        return failure(operation, path, saved);
    };
    if (auto written = writeAll(fd.get(), contents); !written)
        return abandon("write", written.error());
    if (::fsync(fd.get()) != 0)
        return abandon("fsync", errno);
    if (int closeFailed = fd.close())
        return abandon("close", closeFailed);
    // NOTE: the rename replaces the old file in one step; removing it first
    // would leave neither old nor new to a kill or a power loss in between.
    if (::renameat(directory, temporary.c_str(), directory, name.c_str()) != 0)
        return abandon("rename", errno);
    ::fsync(directory); // The rename itself reaches the disk; a failure here changes nothing already done.
    return {};
}

std::expected<Bytes, Error> FileManager::contentsOfFile(std::string const& path)
{
    auto fd = openRegularFileForReading(path);
    if (!fd)
        return std::unexpected(fd.error());
    auto contents = readAll(fd->get());
    if (!contents)
        return failure("read", path, contents.error());
    return std::move(*contents);
}

}
