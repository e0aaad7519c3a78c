// SPDX-License-Identifier: Apache-2.0
#include "platform/FileManager.h"

#include "platform/DigestHandOff.h"
#include "platform/FileCopy.h"
#include "platform/HeldFolders.h"
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

    /// What temporary siblings of a file called `name` begin with.
    std::string siblingPrefix(std::string const& name)
    {
        return "." + name + std::string(siblingMark);
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

    /// A fresh temporary sibling of `name` in `directory`, for reading and
    /// writing, never through a link, and locked while it is written (see
    /// removeAbandonedSiblings); `path` names the file in errors.
    std::expected<std::pair<FileDescriptor, std::string>, Error> openTemporarySibling(
        int directory, std::string const& name, std::string const& path, mode_t mode)
    {
        static thread_local std::mt19937_64 generator { std::random_device {}() };
        for (int attempt = 0; attempt < 8; ++attempt) {
            char suffix[20];
            std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(generator()));
            std::string temporary = siblingPrefix(name) + suffix;
            FileDescriptor fd(
                ::openat(directory, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
            if (fd && ::flock(fd.get(), LOCK_EX) != 0) {
                ::unlinkat(directory, temporary.c_str(), 0);
                return failure("flock", path);
            }
            if (fd)
                return std::pair { std::move(fd), temporary };
            if (errno != EEXIST)
                return failure("open", path);
        }
        return failure("open", path, EEXIST);
    }

    enum class Durability { Synced, Unsynced };

    /// Closes `fd` (synced first when asked), then renames `temporary` over
    /// `name` in `directory` (and syncs the folder when asked); removes
    /// `temporary` on failure. `path` names the file in errors.
    std::expected<void, Error> commitTemporary(FileDescriptor fd, int directory, std::string const& temporary,
        std::string const& name, std::string const& path, Durability durability)
    {
        auto abandon = [&](std::string_view operation, int saved) {
            ::unlinkat(directory, temporary.c_str(), 0);
            return failure(operation, path, saved);
        };
        if (durability == Durability::Synced && ::fsync(fd.get()) != 0)
            return abandon("fsync", errno);
        if (int closeFailed = fd.close())
            return abandon("close", closeFailed);
        // NOTE: the rename replaces the old file in one step; removing it first
        // would leave neither old nor new to a kill, a power loss or a failure in between.
        if (::renameat(directory, temporary.c_str(), directory, name.c_str()) != 0)
            return abandon("rename", errno);
        if (durability == Durability::Synced)
            ::fsync(directory); // The rename itself reaches the disk; a failure here changes nothing already done.
        return {};
    }

    std::expected<void, Error> copyAcrossFileSystems(int sourceFolder, std::string const& sourceName,
        std::string const& source, int folder, std::string const& name, std::string const& destination)
    {
        FileDescriptor in(::openat(sourceFolder, sourceName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!in)
            return failure("open", source);
        struct stat info { };
        if (::fstat(in.get(), &info) != 0)
            return failure("copy", source);
        if (!S_ISREG(info.st_mode))
            return failure("copy", source, EINVAL);
        // NOTE: held locked while copying, so that a later run tells a live copy
        // from one a kill abandoned (see removeAbandonedSiblings).
        auto out = openTemporarySibling(folder, name, destination, info.st_mode & 07777);
        if (!out)
            return std::unexpected(out.error());
        auto& [fd, temporary] = *out;
        auto digest = copyHashingWhatLands(in.get(), fd.get(), destination);
        if (!digest) {
            ::unlinkat(folder, temporary.c_str(), 0);
            return std::unexpected(digest.error());
        }
        // NOTE: the copy's own bytes were hashed as they landed; verifying the
        // new file need not read it again. Not synced, like a rename: a file torn
        // by a power loss fails the next run's verification.
        handOverDigest(fd.get(), *digest);
        if (auto committed = commitTemporary(std::move(fd), folder, temporary, name, destination, Durability::Unsynced);
            !committed)
            return committed;
        if (::unlinkat(sourceFolder, sourceName.c_str(), 0) != 0)
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

std::expected<bool, Error> FileManager::replaceItem(std::string const& destination, std::string const& source)
{
    auto into = openContainingFolder(destination);
    if (!into)
        return std::unexpected(into.error());
    auto from = openContainingFolder(source);
    if (!from)
        return std::unexpected(from.error());
    auto& [folder, name] = *into;
    auto& [sourceFolder, sourceName] = *from;
    removeAbandonedSiblings(folder.get(), name);
    struct stat old { };
    bool replacing = ::fstatat(folder.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    // NOTE: one rename puts the new file in the old one's place; removing the
    // old first would lose it to a move that then fails.
    if (::renameat(sourceFolder.get(), sourceName.c_str(), folder.get(), name.c_str()) == 0)
        return replacing;
    if (errno != EXDEV)
        return failure("rename", destination);
    if (auto copied = copyAcrossFileSystems(sourceFolder.get(), sourceName, source, folder.get(), name, destination);
        !copied)
        return std::unexpected(copied.error());
    return replacing;
}

std::expected<void, Error> FileManager::createFile(
    int directory, std::string const& name, std::string const& path, Bytes const& contents)
{
    removeAbandonedSiblings(directory, name);
    // A concurrent save keeps its sibling locked while it writes.
    auto opened = openTemporarySibling(directory, name, path, ownerOnlyFile);
    if (!opened)
        return std::unexpected(opened.error());
    auto& [fd, temporary] = *opened;
    if (auto written = writeAll(fd.get(), contents); !written) {
        ::unlinkat(directory, temporary.c_str(), 0);
        return failure("write", path, written.error());
    }
    return commitTemporary(std::move(fd), directory, temporary, name, path, Durability::Synced);
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
