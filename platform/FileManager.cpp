#include "platform/FileManager.h"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

bool writeAll(int fd, std::uint8_t const* data, size_t size)
{
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

/// Opens a fresh temporary sibling of `path`, never through a link.
std::expected<std::pair<int, std::string>, Error> openTemporarySibling(std::string const& path, mode_t mode)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string temporary = temporarySibling(path);
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0)
            return std::pair { fd, temporary };
        if (errno != EEXIST)
            return failure("open", temporary);
    }
    return failure("open", path, EEXIST);
}

/// Syncs and closes `fd`, then renames `temporary` to `path`; removes `temporary` on failure.
std::expected<void, Error> commitTemporary(int fd, std::string const& temporary, std::string const& path, bool replace)
{
    if (::fsync(fd) != 0) {
        int saved = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        return failure("fsync", temporary, saved);
    }
    if (::close(fd) != 0) {
        int saved = errno;
        ::unlink(temporary.c_str());
        return failure("close", temporary, saved);
    }
    int renamed = replace ? ::rename(temporary.c_str(), path.c_str())
                          : ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
    if (renamed != 0) {
        int saved = errno;
        ::unlink(temporary.c_str());
        return failure("rename", path, saved);
    }
    return {};
}

std::expected<void, Error> copyAcrossFileSystems(std::string const& source, std::string const& destination)
{
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0)
        return failure("open", source);
    struct stat info {};
    if (int statFailed = ::fstat(in, &info); statFailed != 0 || !S_ISREG(info.st_mode)) {
        int saved = statFailed != 0 ? errno : EINVAL;
        ::close(in);
        return failure("copy", source, saved);
    }
    auto out = openTemporarySibling(destination, info.st_mode & 07777);
    if (!out) {
        ::close(in);
        return std::unexpected(out.error());
    }
    auto [fd, temporary] = *out;
    // NOTE: copy_file_range refuses some pairs of file systems; plain reads
    // and writes then do the copy.
    bool plainCopy = false;
    std::vector<std::uint8_t> buffer;
    for (;;) {
        ssize_t copied;
        if (!plainCopy) {
            copied = ::copy_file_range(in, nullptr, fd, nullptr, 1 << 30, 0);
            if (copied < 0 && (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS)) {
                plainCopy = true;
                buffer.resize(1 << 20);
                continue;
            }
        } else {
            copied = ::read(in, buffer.data(), buffer.size());
            if (copied > 0 && !writeAll(fd, buffer.data(), static_cast<size_t>(copied)))
                copied = -1;
        }
        if (copied == 0)
            break;
        if (copied > 0 || errno == EINTR)
            continue;
        int saved = errno;
        ::close(in);
        ::close(fd);
        ::unlink(temporary.c_str());
        return failure("copy", destination, saved);
    }
    ::close(in);
    if (auto committed = commitTemporary(fd, temporary, destination, false); !committed)
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
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::expected<FileAttributes, Error> FileManager::attributesOfItem(std::string const& path)
{
    struct stat info {};
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
            if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST)
                return failure("mkdir", prefix);
        }
    }
    if (::mkdir(path.c_str(), 0777) != 0) {
        int saved = errno;
        struct stat info {};
        if (!(withIntermediateDirectories && saved == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)))
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
    auto opened = openTemporarySibling(path, 0666);
    if (!opened)
        return std::unexpected(opened.error());
    auto [fd, temporary] = *opened;
    if (!writeAll(fd, contents.data(), contents.size())) {
        int saved = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        return failure("write", temporary, saved);
    }
    return commitTemporary(fd, temporary, path, true);
}

std::expected<Bytes, Error> FileManager::contentsOfFile(std::string const& path)
{
    // NOTE: O_NONBLOCK so that a FIFO planted at the path cannot hang the run.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return failure("open", path);
    struct stat info {};
    if (int statFailed = ::fstat(fd, &info); statFailed != 0 || !S_ISREG(info.st_mode)) {
        int saved = statFailed != 0 ? errno : (S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
        ::close(fd);
        return failure("read", path, saved);
    }
    Bytes contents;
    contents.reserve(static_cast<size_t>(info.st_size));
    std::uint8_t buffer[1 << 16];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            int saved = errno;
            ::close(fd);
            return failure("read", path, saved);
        }
        if (got == 0)
            break;
        contents.insert(contents.end(), buffer, buffer + got);
    }
    ::close(fd);
    return contents;
}

}
