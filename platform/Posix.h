// SPDX-License-Identifier: Apache-2.0
#pragma once

// The thin layer over POSIX that the rest of the platform shares: descriptors that close themselves, file identity,
// checked reads and writes, and opening a regular file without following what it must not.

#include "platform/Error.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <span>
#include <sys/stat.h>
#include <utility>

namespace platform {

template<typename Call> auto retryOnInterrupt(Call&& call)
{
    auto result = call();
    while (result == -1 && errno == EINTR)
        result = call();
    return result;
}

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd)
        : m_fd(fd)
    {
    }
    FileDescriptor(FileDescriptor&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {
    }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        reset(std::exchange(other.m_fd, -1)); // Safe on itself: the descriptor is taken before anything closes.
        return *this;
    }
    ~FileDescriptor() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    /// Closes now and reports the close's own failure (errno), which a write to some file systems only reveals there.
    [[nodiscard]] int close();
    void reset(int fd = -1);
    [[nodiscard]] int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd = -1;
};

struct FolderAndName {
    FileDescriptor folder;
    std::string name;
};

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;

    explicit FileIdentity(struct stat const& status)
        : device(status.st_dev)
        , inode(status.st_ino)
    {
    }
    bool operator==(FileIdentity const&) const = default;
};

/// False when writing the file open at `fd` up to `end` would grow it into the blocks that its volume keeps for root:
/// as root, a server could otherwise fill the volume to its last block. Such a write fails as on a full volume.
[[nodiscard]] bool fitsBesideRootsReserve(int fd, std::uint64_t end);

[[nodiscard]] std::expected<struct stat, Error> statusOf(int fd, std::string_view path);

[[nodiscard]] bool isOwnRegularFile(struct stat const& status);

/// Which file `name` in the folder open at `folder` is (a link itself, not followed); nothing when there is none.
[[nodiscard]] std::optional<FileIdentity> identityAt(int folder, std::string const& name);

/// Unlinks `name` in `folder` only while it is still the file `identity`: once our file has been moved or removed, the
/// name may be another run's.
bool unlinkIfStill(int folder, std::string const& name, FileIdentity identity);

/// The folder `name` in `parent`, never through a link: a link or a non-folder is refused as what it is, a missing one
/// fails with ENOENT. `path` names it in errors.
[[nodiscard]] std::expected<FileDescriptor, Error> openFolderAt(
    int parent, std::string const& name, std::string_view path);

[[nodiscard]] std::string randomLettersAndDigits(std::size_t count);

/// Removes `name` in `folder` when it is our own regular file, last changed before `changedBefore`, that no live writer
/// holds locked: what a killed writer left. True when it went.
bool removeAbandoned(int folder, std::string const& name, time_t changedBefore = std::numeric_limits<time_t>::max());

/// The names in the folder open at `folder` ("." and ".." aside); none when it cannot be listed.
[[nodiscard]] std::vector<std::string> namesIn(int folder);

[[nodiscard]] std::expected<void, Error> writeAll(int fd, std::span<std::uint8_t const> data, std::string_view path);
[[nodiscard]] inline std::expected<void, Error> writeAll(int fd, std::string_view text, std::string_view path)
{
    return writeAll(fd, { reinterpret_cast<std::uint8_t const*>(text.data()), text.size() }, path);
}

/// One read from `in` into `buffer`, written whole to `out`: the bytes copied, 0 at the end, -1 with errno.
[[nodiscard]] ssize_t copyThroughBuffer(int in, int out, std::span<std::uint8_t> buffer);

/// Reads from the file's offset to its end, at most `limit` bytes; a failure names `path`, EFBIG past the limit.
[[nodiscard]] std::expected<Bytes, Error> readAll(int fd, std::string_view path, size_t limit = SIZE_MAX);

/// Opens `name` in `folder` (AT_FDCWD: a path) for reading only when it is a regular file, following a link only with
/// `followLinks`. Other kinds are refused unopened, so a planted FIFO or device can neither block nor be touched
/// (EISDIR, else EINVAL, as a failed "read").
[[nodiscard]] std::expected<FileDescriptor, Error> openRegularFileAt(
    int folder, std::string const& name, std::string_view path, bool followLinks);
[[nodiscard]] inline std::expected<FileDescriptor, Error> openRegularFileForReading(std::string const& path)
{
    return openRegularFileAt(AT_FDCWD, path, path, true);
}

}
