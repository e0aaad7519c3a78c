// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/Sha256.h"

#include <condition_variable>
#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace platform {

/// Writes a file at explicit positions through a large buffer. Each full
/// buffer is hashed and written by a thread of the writer's own while the
/// next one fills, so that the SHA-256 of the whole file is ready when the
/// last byte lands. The file never grows into the blocks its volume keeps for
/// root: such a write fails as on a full volume. The descriptor stays the caller's.
class HashingWriter {
public:
    HashingWriter(int fd, std::string path);
    /// Waits for the buffer being written.
    ~HashingWriter();
    HashingWriter(HashingWriter const&) = delete;
    HashingWriter& operator=(HashingWriter const&) = delete;

    /// Waits until no buffer is being written.
    void waitIdle();
    /// Drops buffered bytes and writes on from `length`, the digest started
    /// again from the bytes the file keeps up to there (read back once).
    void restartAt(std::uint64_t length);
    /// Buffers `data`; hands the buffer over whenever it is full.
    [[nodiscard]] std::expected<void, Error> append(std::span<std::uint8_t const> data);
    /// Writes out what is buffered and waits for it; reports a write that failed earlier.
    [[nodiscard]] std::expected<void, Error> flush();
    /// Bytes so far: those written up to the write position plus the buffered ones.
    std::uint64_t length() const { return m_position + m_buffer.size(); }
    /// The digest of the whole file, when every byte of it went through this
    /// writer (or was read back for it) and all are written; it ends the
    /// digest. Call after a successful `flush`.
    [[nodiscard]] std::optional<Sha256Digest> finishDigest();

private:
    void loop();
    /// Hashes and writes the job; runs on the writer's thread.
    void process();
    /// A write that failed since the last check; `length()` then counts only the bytes written.
    [[nodiscard]] std::expected<void, Error> earlierFailure();
    [[nodiscard]] std::expected<void, Error> handOff();

    int m_fd;
    std::string m_path;
    // The receiving side.
    std::uint64_t m_position = 0;
    std::vector<std::uint8_t> m_buffer;
    // Shared with the thread; the receiving side touches them only while idle.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_busy = false;
    bool m_stopping = false;
    std::vector<std::uint8_t> m_job;
    std::uint64_t m_jobOffset = 0;
    std::optional<Error> m_failure;
    std::uint64_t m_failedAt = 0;
    std::optional<Sha256> m_hash;
    std::uint64_t m_hashedLength = 0;
    // Last, so that it starts once everything above is in place.
    std::thread m_thread;
};

}
