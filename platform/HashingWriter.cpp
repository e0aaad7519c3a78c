// SPDX-License-Identifier: Apache-2.0
#include "platform/HashingWriter.h"

#include "platform/Posix.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

    // NOTE: the caller's thread (libcurl's, which also decrypts) copies into
    // the buffer and writes it; the reading thread only reads back and
    // hashes. For 1 GiB, medians of 12 rotated rounds, over HTTPS and HTTP:
    // 1.81 s and 1.00 s so; 1.89 s and 1.17 s writing each received piece
    // (16 KiB) as it came; 1.99 s and 1.04 s with a ring of buffers that one
    // thread hashed and another wrote. Writes of 64 KiB cost the page cache
    // least and most steadily on a machine whose memory the host takes back:
    // 1.64 s and 0.97 s against 2.25 s and 1.79 s with 256 KiB (whose best
    // runs were as fast) and 1.69 s and 1.02 s with 32 KiB; 1 MiB was worse
    // still (2.95 s and 2.19 s in another run).
    constexpr size_t bufferCapacity = 64 * 1024;

}

HashingWriter::HashingWriter(int fd, std::string path)
    : m_fd(fd)
    , m_path(std::move(path))
    , m_hasher(fd)
{
    m_buffer.reserve(bufferCapacity);
}

void HashingWriter::waitIdle()
{
    m_hasher.waitIdle();
}

void HashingWriter::restartAt(std::uint64_t length)
{
    m_buffer.clear();
    m_failure.reset();
    m_position = length;
    m_hasher.restartAt(length);
}

std::expected<void, Error> HashingWriter::writeBuffer()
{
    auto written = writeOut(m_buffer);
    m_buffer.clear();
    return written;
}

std::expected<void, Error> HashingWriter::writeOut(std::span<std::uint8_t const> left)
{
    if (m_failure)
        return std::unexpected(*m_failure);
    if (left.empty())
        return {};
    int failure = fitsBesideRootsReserve(m_fd, m_position + left.size()) ? 0 : ENOSPC;
    while (!failure && !left.empty()) {
        ssize_t written = retryOnInterrupt(
            [&] { return ::pwrite(m_fd, left.data(), left.size(), static_cast<off_t>(m_position)); });
        if (written <= 0)
            failure = written < 0 ? errno : EIO;
        else {
            m_position += static_cast<std::uint64_t>(written);
            left = left.subspan(static_cast<size_t>(written));
        }
    }
    m_hasher.landed(m_position);
    if (failure) // What landed stays counted; the rest is dropped.
        m_failure = Error::fromErrno("write", m_path, failure);
    return m_failure ? std::unexpected(*m_failure) : std::expected<void, Error> {};
}

std::expected<void, Error> HashingWriter::append(std::span<std::uint8_t const> data)
{
    if (m_failure)
        return std::unexpected(*m_failure);
    while (!data.empty()) {
        // NOTE: a whole piece with nothing buffered goes out from where it
        // lies: the receiver's pieces are that size, and are then copied once less.
        if (m_buffer.empty() && data.size() >= bufferCapacity) {
            if (auto written = writeOut(data.first(bufferCapacity)); !written)
                return written;
            data = data.subspan(bufferCapacity);
            continue;
        }
        size_t taken = std::min(bufferCapacity - m_buffer.size(), data.size());
        m_buffer.insert(m_buffer.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(taken));
        data = data.subspan(taken);
        if (m_buffer.size() == bufferCapacity) {
            if (auto written = writeBuffer(); !written)
                return written;
        }
    }
    return {};
}

std::expected<void, Error> HashingWriter::flush()
{
    return writeBuffer();
}

std::optional<Sha256Digest> HashingWriter::finishDigest()
{
    if (m_failure || !m_buffer.empty())
        return std::nullopt;
    return m_hasher.finish(m_position);
}

}
