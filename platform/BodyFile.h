// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/BodyFolder.h"
#include "platform/LandedBytesHasher.h"

namespace platform {

/// "body-" and the hex SHA-256 of the path `destination`: one body per destination, never per URL, so that two
/// packages chosen by a query never share a body.
[[nodiscard]] std::expected<std::string, Error> bodyFileNameForDestination(std::string_view destination);

/// A body being received: a regular file of ours in the private folder, held under an exclusive lock while this object
/// lives. Each piece is moved from the pipe it waits in and read back as it lands, so the digest of the whole file is
/// ready with the last byte. It never grows into the blocks its volume keeps for root (see fitsBesideRootsReserve).
class BodyFile {
public:
    /// Opens (creating when missing) `name` in `folder`, locked. Fails with EWOULDBLOCK when a live run holds the lock.
    [[nodiscard]] static std::expected<BodyFile, Error> openLocked(BodyFolder const& folder, std::string const& name);
    /// A new file named `prefix`, "-" and ten letters and digits, locked.
    [[nodiscard]] static std::expected<BodyFile, Error> createUnique(
        BodyFolder const& folder, std::string const& prefix);

    std::string const& name() const { return m_name; }
    std::string const& path() const { return m_path; }

    [[nodiscard]] std::expected<std::uint64_t, Error> sizeOnDisk() const;
    /// Cuts the file to `length` and writes on from there, the digest restarted from the bytes kept; an earlier failure
    /// is forgotten.
    [[nodiscard]] std::expected<void, Error> truncate(std::uint64_t length);
    /// Moves up to `count` bytes from the non-blocking `pipe` to the end; the bytes moved, fewer when it held fewer.
    [[nodiscard]] std::expected<std::size_t, Error> appendFrom(int pipe, std::size_t count);
    /// Reports a write that failed, now or earlier.
    [[nodiscard]] std::expected<void, Error> flush() const;
    std::uint64_t length() const { return m_position; }
    /// Hands the digest over to verification when every byte of the file was hashed and written; it ends the digest.
    void handOverDigest();
    /// Unlinks the file, if its name is still the file we hold.
    void remove();

private:
    BodyFile(int folder, FileDescriptor fd, std::string name, std::string path);
    /// With `flags` besides O_CREAT; anything but a regular file of ours is refused.
    [[nodiscard]] static std::expected<BodyFile, Error> openAndLock(
        BodyFolder const& folder, std::string const& name, int flags);
    bool nameIsOurs() const;

    int m_folder = -1;
    FileDescriptor m_fd;
    std::string m_name;
    std::string m_path;
    std::uint64_t m_position = 0;
    std::optional<Error> m_failure;
    // Its thread reads the descriptor: last, so that it stops first.
    std::unique_ptr<LandedBytesHasher> m_hasher;
};

}
