// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Sha256.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform {

/// Hashes the file open at `fd` (still the caller's) on a batch thread as its bytes land, so the digest is ready with
/// the last byte and the writer is never preempted.
class LandedBytesHasher {
public:
    explicit LandedBytesHasher(int fd);
    ~LandedBytesHasher();

    void landed(std::uint64_t length);
    /// A new digest, of the bytes up to `length` that the file keeps (read back anew).
    void restartAt(std::uint64_t length);
    void waitIdle();
    /// The digest of the first `length` bytes, when exactly those were hashed; it ends the digest.
    [[nodiscard]] std::optional<Sha256Digest> finish(std::uint64_t length);

private:
    void hashLoop();

    int m_fd;
    std::mutex m_mutex;
    std::condition_variable m_landed;
    std::condition_variable m_caughtUp;
    std::uint64_t m_landedLength = 0;
    std::uint64_t m_hashedLength = 0;
    bool m_stopping = false;
    // The thread's; the caller touches it only while the thread has caught up.
    std::optional<Sha256> m_hash;
    // Last, so that it starts once everything above is in place.
    std::thread m_thread;
};

}
