// SPDX-License-Identifier: Apache-2.0
#include "platform/HashingWriter.h"

#include "platform/Posix.h"

#include <algorithm>
#include <cerrno>
#include <pthread.h>
#include <sched.h>
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
    constexpr size_t readBackCapacity = 128 * 1024;

}

HashingWriter::HashingWriter(int fd, std::string path)
    : m_fd(fd)
    , m_path(std::move(path))
    , m_hash(std::in_place)
    , m_thread([this] { hashLoop(); })
{
    m_buffer.reserve(bufferCapacity);
}

HashingWriter::~HashingWriter()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_landed.notify_all();
    m_thread.join();
}

void HashingWriter::hashLoop()
{
    // NOTE: a batch thread takes its fair share but never preempts the one
    // that receives, nor a server on the same cores, when it wakes: 1 GiB over
    // HTTPS, medians of 8 and 10 rotated rounds, 1.82 s and 1.69 s so against
    // 2.11 s and 1.83 s, beside curl's 1.64 s and 1.59 s. A lower priority
    // went faster still, but left the hash up to 124 ms behind the last byte.
    // Where the hint is refused, the thread runs as any other.
    sched_param batch {};
    (void)::pthread_setschedparam(::pthread_self(), SCHED_BATCH, &batch);
    std::vector<std::uint8_t> piece(readBackCapacity);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_landed.wait(lock, [this] { return m_hashedLength < m_landedLength || m_stopping; });
        if (m_stopping)
            return;
        std::uint64_t at = m_hashedLength, end = m_landedLength;
        lock.unlock();
        while (at < end && m_hash) {
            size_t wanted = static_cast<size_t>(std::min<std::uint64_t>(piece.size(), end - at));
            ssize_t got = retryOnInterrupt([&] { return ::pread(m_fd, piece.data(), wanted, static_cast<off_t>(at)); });
            if (got <= 0 || !m_hash->update({ piece.data(), static_cast<size_t>(got) }))
                m_hash.reset(); // The digest is then left to a full read.
            else
                at += static_cast<std::uint64_t>(got);
        }
        lock.lock();
        m_hashedLength = end;
        m_caughtUp.notify_all();
    }
}

void HashingWriter::landed(std::uint64_t length)
{
    {
        std::lock_guard lock(m_mutex);
        m_landedLength = length;
    }
    m_landed.notify_one();
}

void HashingWriter::waitIdle()
{
    std::unique_lock lock(m_mutex);
    m_caughtUp.wait(lock, [this] { return m_hashedLength == m_landedLength; });
}

void HashingWriter::restartAt(std::uint64_t length)
{
    waitIdle();
    m_buffer.clear();
    m_failure.reset();
    m_position = length;
    m_hash.emplace();
    {
        // Both at once: the reading thread must never see the old length with the new digest.
        std::lock_guard lock(m_mutex);
        m_hashedLength = 0;
        m_landedLength = length;
    }
    m_landed.notify_one();
}

std::expected<void, Error> HashingWriter::writeBuffer()
{
    if (m_failure)
        return std::unexpected(*m_failure);
    if (m_buffer.empty())
        return {};
    std::span<std::uint8_t const> left(m_buffer);
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
    m_buffer.clear();
    landed(m_position);
    if (failure) // What landed stays counted; the rest is dropped.
        m_failure = Error::fromErrno("write", m_path, failure);
    return m_failure ? std::unexpected(*m_failure) : std::expected<void, Error> {};
}

std::expected<void, Error> HashingWriter::append(std::span<std::uint8_t const> data)
{
    if (m_failure)
        return std::unexpected(*m_failure);
    while (!data.empty()) {
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
    waitIdle();
    if (m_failure || !m_buffer.empty() || !m_hash || m_hashedLength != m_position)
        return std::nullopt;
    auto digest = m_hash->finish();
    m_hash.reset(); // A finished digest takes no more bytes.
    return digest ? std::optional(*digest) : std::nullopt;
}

}
