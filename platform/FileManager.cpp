// SPDX-License-Identifier: Apache-2.0
#include "platform/FileManager.h"

#include "platform/DigestHandOff.h"
#include "platform/FileCopy.h"
#include "platform/Posix.h"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <stdio.h>
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

    /// A name beside `path` that no other writer uses, for writing before a rename.
    // NOTE: what the tool creates is never writable by group or others, whatever
    // the umask: a folder others may write would be refused as untrusted later.
    constexpr mode_t directoryMode = 0755;
    constexpr mode_t fileMode = 0644;

    std::string temporarySibling(std::string const& path)
    {
        static thread_local std::mt19937_64 generator { std::random_device {}() };
        auto slash = path.find_last_of('/');
        std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        char suffix[20];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(generator()));
        return directory + "." + name + ".quenbury-" + suffix;
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

std::expected<FileAttributes, Error> FileManager::attributesOfItem(std::string const& path)
{
    struct stat info { };
    if (::lstat(path.c_str(), &info) != 0)
        return failure("lstat", path);
    FileAttributes attributes;
    if (S_ISREG(info.st_mode))
        attributes.type = FileType::Regular;
    else if (S_ISDIR(info.st_mode))
        attributes.type = FileType::Directory;
    else if (S_ISLNK(info.st_mode))
        attributes.type = FileType::SymbolicLink;
    attributes.owner = info.st_uid;
    attributes.permissions = info.st_mode & 07777;
    attributes.size = info.st_size;
    return attributes;
}

std::expected<void, Error> FileManager::createDirectory(std::string const& path, bool withIntermediateDirectories)
{
    if (path.empty())
        return failure("mkdir", path, ENOENT);
    if (withIntermediateDirectories) {
        for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            std::string prefix = path.substr(0, slash);
            if (prefix.empty() || prefix.back() == '/')
                continue;
            if (::mkdir(prefix.c_str(), directoryMode) != 0 && errno != EEXIST)
                return failure("mkdir", prefix);
        }
    }
    if (::mkdir(path.c_str(), directoryMode) != 0) {
        int saved = errno;
        struct stat info { };
        if (!(withIntermediateDirectories && saved == EEXIST && ::stat(path.c_str(), &info) == 0
                && S_ISDIR(info.st_mode)))
            return failure("mkdir", path, saved);
    }
    return {};
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
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0)
        return {};
    if (errno != EXDEV)
        return failure("rename", destination);
    return copyAcrossFileSystems(source, destination);
}

std::expected<void, Error> FileManager::createFile(std::string const& path, Bytes const& contents)
{
    auto opened = openTemporarySibling(path, fileMode);
    if (!opened)
        return std::unexpected(opened.error());
    auto& [fd, temporary] = *opened;
    if (auto written = writeAll(fd.get(), contents); !written) {
        ::unlink(temporary.c_str());
        return failure("write", temporary, written.error());
    }
    return commitTemporary(std::move(fd), temporary, path, true, Durability::Synced);
}

std::expected<void, Error> FileManager::tightenDirectory(std::string const& path)
{
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return failure("open", path);
    struct stat status { };
    if (::fstat(fd.get(), &status) != 0)
        return failure("fstat", path);
    if (status.st_uid != ::geteuid())
        return std::unexpected(Error::refused(path, "owned by another user"));
    if (::fchmod(fd.get(), (status.st_mode & 07777) & ~mode_t(S_IWGRP | S_IWOTH)) != 0)
        return failure("fchmod", path);
    return {};
}

std::expected<Bytes, Error> FileManager::contentsOfFile(std::string const& path)
{
    auto fd = openRegularFileForReading(path);
    if (!fd)
        return std::unexpected(fd.error());
    Bytes contents;
    std::uint8_t buffer[1 << 16];
    for (;;) {
        ssize_t got = retryOnInterrupt([&] { return ::read(fd->get(), buffer, sizeof buffer); });
        if (got < 0)
            return failure("read", path);
        if (got == 0)
            break;
        contents.insert(contents.end(), buffer, buffer + got);
    }
    return contents;
}

}
