// SPDX-License-Identifier: Apache-2.0
#include "platform/HashingWriter.h"

#include "platform/Posix.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

    /// Where the file cannot take a splice (a file system without it, a file
    /// opened to append): one buffer read from the pipe and written at `at`.
    /// The bytes written, 0 when the pipe was empty, -1 with errno.
    ssize_t copyThroughBuffer(int pipe, int fd, std::uint64_t at, std::size_t count)
    {
        std::array<std::uint8_t, 64 * 1024> buffer;
        ssize_t got = retryOnInterrupt([&] { return ::read(pipe, buffer.data(), std::min(count, buffer.size())); });
        if (got <= 0)
            return got < 0 && errno != EAGAIN ? -1 : 0;
        for (ssize_t done = 0; done < got;) {
            ssize_t written = retryOnInterrupt([&] {
                return ::pwrite(
                    fd, buffer.data() + done, static_cast<size_t>(got - done), static_cast<off_t>(at) + done);
            });
            if (written <= 0) {
                errno = written < 0 ? errno : EIO;
                return -1;
            }
            done += written;
        }
        return got;
    }

}

HashingWriter::HashingWriter(int fd, std::string path)
    : m_fd(fd)
    , m_path(std::move(path))
    , m_hasher(fd)
{
}

void HashingWriter::waitIdle()
{
    m_hasher.waitIdle();
}

void HashingWriter::restartAt(std::uint64_t length)
{
    m_failure.reset();
    m_position = length;
    m_hasher.restartAt(length);
}

std::expected<std::size_t, Error> HashingWriter::appendFrom(int pipe, std::size_t count)
{
    if (m_failure)
        return std::unexpected(*m_failure);
    int failure = fitsBesideRootsReserve(m_fd, m_position + count) ? 0 : ENOSPC;
    std::size_t moved = 0;
    // NOTE: splice moves the bytes from the pipe into the page cache with one
    // copy in the kernel, and none through this process.
    while (!failure && moved < count) {
        loff_t at = static_cast<loff_t>(m_position);
        ssize_t got = retryOnInterrupt(
            [&] { return ::splice(pipe, nullptr, m_fd, &at, count - moved, SPLICE_F_MOVE | SPLICE_F_NONBLOCK); });
        if (got < 0 && errno == EINVAL)
            got = copyThroughBuffer(pipe, m_fd, m_position, count - moved);
        if (got < 0 && errno == EAGAIN)
            got = 0;
        if (got < 0)
            failure = errno;
        if (got <= 0)
            break; // Failed, or the pipe holds no more.
        m_position += static_cast<std::uint64_t>(got);
        moved += static_cast<std::size_t>(got);
    }
    m_hasher.landed(m_position);
    if (failure) // What landed stays counted; the rest is dropped.
        m_failure = Error::fromErrno("write", m_path, failure);
    if (m_failure)
        return std::unexpected(*m_failure);
    return moved;
}

std::expected<void, Error> HashingWriter::flush() const
{
    if (m_failure)
        return std::unexpected(*m_failure);
    return {};
}

std::optional<Sha256Digest> HashingWriter::finishDigest()
{
    if (m_failure)
        return std::nullopt;
    return m_hasher.finish(m_position);
}

}
