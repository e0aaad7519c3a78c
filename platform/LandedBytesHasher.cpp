// SPDX-License-Identifier: Apache-2.0
#include "platform/LandedBytesHasher.h"

#include "platform/Posix.h"

#include <algorithm>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace platform {

namespace {

    std::optional<Sha256> freshDigest()
    {
        auto hash = Sha256::create();
        return hash ? std::optional(std::move(*hash)) : std::nullopt;
    }

}

LandedBytesHasher::LandedBytesHasher(int fd)
    : m_fd(fd)
    , m_hash(freshDigest())
    , m_thread([this] { hashLoop(); })
{
}

LandedBytesHasher::~LandedBytesHasher()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_landed.notify_all();
    m_thread.join();
}

void LandedBytesHasher::hashLoop()
{
    // NOTE: a batch thread takes its fair share but never preempts the one that receives, nor a server on the same
    // cores, when it wakes (measured in bench/results/decisions.md); where the hint is refused, it runs as any other.
    sched_param batch {};
    (void)::pthread_setschedparam(::pthread_self(), SCHED_BATCH, &batch);
    std::vector<std::uint8_t> piece(128 * 1024);
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

void LandedBytesHasher::landed(std::uint64_t length)
{
    {
        std::lock_guard lock(m_mutex);
        m_landedLength = length;
    }
    m_landed.notify_one();
}

void LandedBytesHasher::restartAt(std::uint64_t length)
{
    waitIdle();
    m_hash = freshDigest();
    // Both at once: the thread must never see the old length with the new digest.
    std::lock_guard lock(m_mutex);
    m_hashedLength = 0;
    m_landedLength = length;
    m_landed.notify_one();
}

void LandedBytesHasher::waitIdle()
{
    std::unique_lock lock(m_mutex);
    m_caughtUp.wait(lock, [this] { return m_hashedLength == m_landedLength; });
}

std::optional<Sha256Digest> LandedBytesHasher::finish(std::uint64_t length)
{
    waitIdle();
    if (!m_hash || m_hashedLength != length)
        return std::nullopt;
    auto digest = m_hash->finish();
    m_hash.reset(); // A finished digest takes no more bytes.
    return digest ? std::optional(*digest) : std::nullopt;
}

}
