// SPDX-License-Identifier: Apache-2.0
#include "platform/HashingWriter.h"

#include "platform/Posix.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

    constexpr size_t bufferCapacity = 1024 * 1024;

    /// A new digest, or none: the digest is then left to a full read.
    std::optional<Sha256> fresh()
    {
        auto hash = Sha256::create();
        return hash ? std::optional(std::move(*hash)) : std::nullopt;
    }

}

HashingWriter::HashingWriter(int fd, std::string path)
    : m_fd(fd)
    , m_path(std::move(path))
    , m_hash(fresh())
    , m_thread([this] { loop(); })
{
    m_buffer.reserve(bufferCapacity);
}

HashingWriter::~HashingWriter()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void HashingWriter::loop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_busy || m_stopping; });
        if (!m_busy)
            return;
        lock.unlock();
        process();
        lock.lock();
        m_busy = false;
        m_wake.notify_all();
    }
}

void HashingWriter::process()
{
    if (m_hash && m_jobOffset == m_hashedLength && m_hash->update(m_job))
        m_hashedLength += m_job.size();
    else
        m_hash.reset(); // The digest is then left to a full read.
    size_t done = 0;
    if (!fitsBesideRootsReserve(m_fd, m_jobOffset + m_job.size())) {
        m_failure = Error::fromErrno("write", m_path, ENOSPC);
        m_failedAt = m_jobOffset;
        return;
    }
    while (done < m_job.size()) {
        ssize_t written = retryOnInterrupt([&] {
            return ::pwrite(m_fd, m_job.data() + done, m_job.size() - done, static_cast<off_t>(m_jobOffset + done));
        });
        if (written <= 0) {
            m_failure = Error::fromErrno("write", m_path, written < 0 ? errno : EIO);
            m_failedAt = m_jobOffset + done;
            return;
        }
        done += static_cast<size_t>(written);
    }
}

void HashingWriter::waitIdle()
{
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [this] { return !m_busy; });
}

void HashingWriter::restartAt(std::uint64_t length)
{
    waitIdle();
    m_buffer.clear();
    m_failure.reset();
    m_position = length;
    m_hash = fresh();
    m_hashedLength = 0;
    std::vector<std::uint8_t> piece(static_cast<size_t>(std::min<std::uint64_t>(length, bufferCapacity)));
    while (m_hashedLength < length) {
        size_t wanted = static_cast<size_t>(std::min<std::uint64_t>(piece.size(), length - m_hashedLength));
        ssize_t got
            = retryOnInterrupt([&] { return ::pread(m_fd, piece.data(), wanted, static_cast<off_t>(m_hashedLength)); });
        if (got <= 0 || !m_hash->update({ piece.data(), static_cast<size_t>(got) })) {
            m_hash.reset();
            return;
        }
        m_hashedLength += static_cast<std::uint64_t>(got);
    }
}

std::expected<void, Error> HashingWriter::earlierFailure()
{
    waitIdle();
    if (!m_failure)
        return {};
    // Keep length() honest: what was written stays counted, the rest is dropped.
    m_position = m_failedAt;
    m_buffer.clear();
    return std::unexpected(*m_failure);
}

std::expected<void, Error> HashingWriter::handOff()
{
    if (auto failed = earlierFailure(); !failed)
        return failed;
    if (m_buffer.empty())
        return {};
    std::swap(m_buffer, m_job);
    m_jobOffset = m_position;
    m_position += m_job.size();
    m_buffer.clear();
    m_buffer.reserve(bufferCapacity);
    {
        std::lock_guard lock(m_mutex);
        m_busy = true;
    }
    m_wake.notify_all();
    return {};
}

std::expected<void, Error> HashingWriter::append(std::span<std::uint8_t const> data)
{
    while (!data.empty()) {
        size_t taken = std::min(bufferCapacity - m_buffer.size(), data.size());
        m_buffer.insert(m_buffer.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(taken));
        data = data.subspan(taken);
        if (m_buffer.size() == bufferCapacity) {
            if (auto handed = handOff(); !handed)
                return handed;
        }
    }
    return {};
}

std::expected<void, Error> HashingWriter::flush()
{
    if (auto handed = handOff(); !handed)
        return handed;
    return earlierFailure();
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
