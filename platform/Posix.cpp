// SPDX-License-Identifier: Apache-2.0
#include "platform/Posix.h"

#include <dirent.h>
#include <random>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace platform {

bool fitsBesideRootsReserve(int fd, std::uint64_t end)
{
    struct stat file { };
    struct statvfs volume { };
    if (::fstat(fd, &file) != 0 || ::fstatvfs(fd, &volume) != 0 || end <= static_cast<std::uint64_t>(file.st_size))
        return true; // The write itself then reports what is wrong.
    return end - static_cast<std::uint64_t>(file.st_size)
        <= static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
}

int FileDescriptor::close()
{
    int fd = std::exchange(m_fd, -1);
    // NOTE: close is not retried on EINTR: on Linux the descriptor is gone either way.
    return fd >= 0 && ::close(fd) != 0 ? errno : 0;
}

void FileDescriptor::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

std::expected<struct stat, Error> statusOf(int fd, std::string_view path)
{
    struct stat status { };
    if (::fstat(fd, &status) != 0)
        return std::unexpected(Error::fromErrno("fstat", path, errno));
    return status;
}

bool isOwnRegularFile(struct stat const& status)
{
    return S_ISREG(status.st_mode) && status.st_uid == ::geteuid();
}

std::optional<FileIdentity> identityAt(int folder, std::string const& name)
{
    struct stat status { };
    if (name.empty() || ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return FileIdentity(status);
}

bool unlinkIfStill(int folder, std::string const& name, FileIdentity identity)
{
    return identityAt(folder, name) == identity && ::unlinkat(folder, name.c_str(), 0) == 0;
}

std::expected<FileDescriptor, Error> openFolderAt(int parent, std::string const& name, std::string_view path)
{
    FileDescriptor fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd)
        return fd;
    int saved = errno;
    struct stat status { };
    if ((saved == ELOOP || saved == ENOTDIR) && ::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
        return std::unexpected(Error::refused(path, S_ISLNK(status.st_mode) ? "a symbolic link" : "not a directory"));
    return std::unexpected(Error::fromErrno("open", path, saved));
}

std::string randomLettersAndDigits(std::size_t count)
{
    static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static thread_local std::mt19937_64 generator { std::random_device {}() };
    std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
    std::string text(count, ' ');
    for (char& c : text)
        c = alphabet[pick(generator)];
    return text;
}

bool removeAbandoned(int folder, std::string const& name, time_t changedBefore)
{
    FileDescriptor fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    auto status = fd ? statusOf(fd.get(), name) : std::unexpected(Error {});
    return status && isOwnRegularFile(*status) && status->st_mtime < changedBefore
        && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && unlinkIfStill(folder, name, FileIdentity(*status));
}

std::vector<std::string> namesIn(int folder)
{
    std::vector<std::string> names;
    // A description of its own, read from the start whatever another reader did.
    FileDescriptor listing(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* entries = listing ? ::fdopendir(listing.get()) : nullptr;
    if (!entries)
        return names;
    (void)listing.release(); // closedir closes it.
    while (dirent* entry = ::readdir(entries)) {
        if (std::string_view name = entry->d_name; name != "." && name != "..")
            names.emplace_back(name);
    }
    ::closedir(entries);
    return names;
}

std::expected<void, Error> writeAll(int fd, std::span<std::uint8_t const> data, std::string_view path)
{
    while (!data.empty()) {
        ssize_t written = retryOnInterrupt([&] { return ::write(fd, data.data(), data.size()); });
        if (written <= 0)
            return std::unexpected(Error::fromErrno("write", path, written < 0 ? errno : EIO));
        data = data.subspan(static_cast<size_t>(written));
    }
    return {};
}

ssize_t copyThroughBuffer(int in, int out, std::span<std::uint8_t> buffer)
{
    ssize_t got = retryOnInterrupt([&] { return ::read(in, buffer.data(), buffer.size()); });
    if (got <= 0)
        return got;
    auto written = writeAll(out, buffer.first(static_cast<size_t>(got)), {});
    if (!written)
        errno = static_cast<int>(written.error().code);
    return written ? got : -1;
}

std::expected<Bytes, Error> readAll(int fd, std::string_view path, size_t limit)
{
    Bytes contents;
    std::uint8_t buffer[1 << 16];
    for (;;) {
        ssize_t got = retryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
        if (got < 0)
            return std::unexpected(Error::fromErrno("read", path, errno));
        if (got == 0)
            return contents;
        if (static_cast<size_t>(got) > limit - contents.size())
            return std::unexpected(Error::fromErrno("read", path, EFBIG));
        contents.insert(contents.end(), buffer, buffer + got);
    }
}

std::expected<FileDescriptor, Error> openRegularFileAt(
    int folder, std::string const& name, std::string_view path, bool followLinks)
{
    auto notRegular = [&](struct stat const& status) {
        return std::unexpected(Error::fromErrno("read", path, S_ISDIR(status.st_mode) ? EISDIR : EINVAL));
    };
    struct stat named { };
    if (::fstatat(folder, name.c_str(), &named, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return std::unexpected(Error::fromErrno("open", path, errno));
    if (S_ISLNK(named.st_mode))
        return std::unexpected(Error::refused(path, "a symbolic link"));
    if (!S_ISREG(named.st_mode))
        return notRegular(named);
    // O_NONBLOCK: the name may have been swapped for a FIFO since the stat.
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW);
    FileDescriptor fd(retryOnInterrupt([&] { return ::openat(folder, name.c_str(), flags); }));
    if (!fd)
        return std::unexpected(Error::fromErrno("open", path, errno));
    auto opened = statusOf(fd.get(), path);
    if (!opened)
        return errorOf(opened);
    if (!S_ISREG(opened->st_mode))
        return notRegular(*opened);
    if (FileIdentity(*opened) != FileIdentity(named))
        return std::unexpected(Error::refused(path, "replaced while opened"));
    // Reads of a regular file never block; plain reads from here on.
    (void)::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

}
