// SPDX-License-Identifier: Apache-2.0
#include "platform/BodyFile.h"

#include "platform/DigestHandOff.h"

#include <algorithm>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

std::expected<std::string, Error> bodyFileNameForDestination(std::string_view destination)
{
    auto hash = Sha256::create();
    if (!hash)
        return errorOf(hash);
    if (!hash->update({ reinterpret_cast<std::uint8_t const*>(destination.data()), destination.size() }))
        return std::unexpected(Error::fromErrno("SHA-256", destination, EIO));
    auto digest = hash->finish();
    if (!digest)
        return errorOf(digest);
    return "body-" + hexString(*digest);
}

BodyFile::BodyFile(int folder, FileDescriptor fd, std::string name, std::string path)
    : m_folder(folder)
    , m_fd(std::move(fd))
    , m_name(std::move(name))
    , m_path(std::move(path))
    , m_hasher(std::make_unique<LandedBytesHasher>(m_fd.get()))
{
}

std::expected<BodyFile, Error> BodyFile::openAndLock(BodyFolder const& folder, std::string const& name, int flags)
{
    std::string path = folder.path() + "/" + name;
    FileDescriptor fd(
        ::openat(folder.descriptor(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags, 0600));
    if (!fd)
        return std::unexpected(Error::fromErrno("open", path, errno));
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return std::unexpected(Error::fromErrno("flock", path, errno));
    auto opened = statusOf(fd.get(), path);
    if (!opened)
        return errorOf(opened);
    if (!isOwnRegularFile(*opened))
        return std::unexpected(Error::fromErrno("open", path, S_ISREG(opened->st_mode) ? EPERM : EINVAL));
    return BodyFile(folder.descriptor(), std::move(fd), name, path);
}

std::expected<BodyFile, Error> BodyFile::openLocked(BodyFolder const& folder, std::string const& name)
{
    // NOTE: the run that held the lock before us may have moved or removed the file in the meantime; a lock on an inode
    // that is no longer under this name would let two runs write "the same" body. Retry until both agree.
    for (int attempt = 0; attempt < 8; ++attempt) {
        auto body = openAndLock(folder, name, 0);
        if (!body || body->nameIsOurs())
            return body;
    }
    return std::unexpected(Error::fromErrno("open", folder.path() + "/" + name, EAGAIN));
}

std::expected<BodyFile, Error> BodyFile::createUnique(BodyFolder const& folder, std::string const& prefix)
{
    // NOTE: until locked, a run clearing what killed runs left may take it for theirs: the name must still be ours.
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto body = openAndLock(folder, prefix + "-" + randomLettersAndDigits(10), O_EXCL);
        if (body ? body->nameIsOurs() : !body.error().is(ErrorDomain::POSIX, EEXIST))
            return body;
    }
    return std::unexpected(Error::fromErrno("open", folder.path() + "/" + prefix, EEXIST));
}

bool BodyFile::nameIsOurs() const
{
    auto opened = statusOf(m_fd.get(), m_path);
    return opened && identityAt(m_folder, m_name) == FileIdentity(*opened);
}

std::expected<std::uint64_t, Error> BodyFile::sizeOnDisk() const
{
    m_hasher->waitIdle();
    auto status = statusOf(m_fd.get(), m_path);
    if (!status)
        return errorOf(status);
    return static_cast<std::uint64_t>(status->st_size);
}

std::expected<void, Error> BodyFile::truncate(std::uint64_t length)
{
    // NOTE: cut only when the length differs: on ext4 (auto_da_alloc) a cut file's last close, at process exit, starts
    // write-back of the whole body (measured in bench/results/decisions.md).
    auto size = sizeOnDisk();
    if (!size)
        return errorOf(size);
    if (*size != length && ::ftruncate(m_fd.get(), static_cast<off_t>(length)) != 0)
        return std::unexpected(Error::fromErrno("ftruncate", m_path, errno));
    m_failure.reset();
    m_position = length;
    m_hasher->restartAt(length);
    return {};
}

std::expected<std::size_t, Error> BodyFile::appendFrom(int pipe, std::size_t count)
{
    if (m_failure)
        return std::unexpected(*m_failure);
    int failure = fitsBesideRootsReserve(m_fd.get(), m_position + count) ? 0 : ENOSPC;
    std::size_t moved = 0;
    std::array<std::uint8_t, 64 * 1024> buffer;
    // NOTE: splice moves the bytes from the pipe into the page cache with one copy in the kernel, none through here.
    while (!failure && moved < count) {
        loff_t at = static_cast<loff_t>(m_position);
        ssize_t got = retryOnInterrupt(
            [&] { return ::splice(pipe, nullptr, m_fd.get(), &at, count - moved, SPLICE_F_MOVE | SPLICE_F_NONBLOCK); });
        // Where the file cannot take a splice (a file system without it, a file opened to append): through a buffer,
        // written at the position, as the descriptor's offset serves nothing else.
        if (got < 0 && errno == EINVAL && ::lseek(m_fd.get(), static_cast<off_t>(m_position), SEEK_SET) >= 0)
            got = copyThroughBuffer(pipe, m_fd.get(), std::span(buffer).first(std::min(count - moved, buffer.size())));
        if (got < 0 && errno == EAGAIN)
            got = 0;
        if (got < 0)
            failure = errno;
        if (got <= 0)
            break; // Failed, or the pipe holds no more.
        m_position += static_cast<std::uint64_t>(got);
        moved += static_cast<std::size_t>(got);
    }
    m_hasher->landed(m_position);
    if (!failure)
        return moved;
    m_failure = Error::fromErrno("write", m_path, failure); // What landed stays counted; the rest is dropped.
    return std::unexpected(*m_failure);
}

std::expected<void, Error> BodyFile::flush() const
{
    if (m_failure)
        return std::unexpected(*m_failure);
    return {};
}

void BodyFile::handOverDigest()
{
    if (m_failure)
        return;
    auto digest = m_hasher->finish(m_position);
    auto size = sizeOnDisk();
    if (digest && size && *size == m_position)
        rememberDigestOf(m_fd.get(), *digest);
}

void BodyFile::remove()
{
    m_hasher->waitIdle();
    if (auto opened = statusOf(m_fd.get(), m_path))
        unlinkIfStill(m_folder, m_name, FileIdentity(*opened));
}

}
