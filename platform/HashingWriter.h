// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/LandedBytesHasher.h"
#include "platform/Sha256.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform {

/// Writes a file at explicit positions through a buffer that the caller's
/// thread fills and writes out when it is full. A LandedBytesHasher reads
/// back each piece as soon as it lands and hashes it, so that the SHA-256 of
/// the whole file is ready when the last byte lands. The file
/// never grows into the blocks its volume keeps for root: such a write fails
/// as on a full volume. The descriptor stays the caller's.
class HashingWriter {
public:
    HashingWriter(int fd, std::string path);
    ~HashingWriter() = default;
    HashingWriter(HashingWriter const&) = delete;
    HashingWriter& operator=(HashingWriter const&) = delete;

    /// Waits until every byte written is read back and hashed.
    void waitIdle();
    /// Drops buffered bytes and writes on from `length`, the digest started
    /// again from the bytes the file keeps up to there (read back once).
    void restartAt(std::uint64_t length);
    /// Buffers `data`; writes the buffer out whenever it is full.
    [[nodiscard]] std::expected<void, Error> append(std::span<std::uint8_t const> data);
    /// Writes out what is buffered; reports a write that failed, now or earlier.
    [[nodiscard]] std::expected<void, Error> flush();
    /// Bytes so far: those written plus the buffered ones.
    std::uint64_t length() const { return m_position + m_buffer.size(); }
    /// The digest of the whole file, when every byte of it went through this
    /// writer (or was read back for it) and all are written; it ends the
    /// digest. Call after a successful `flush`.
    [[nodiscard]] std::optional<Sha256Digest> finishDigest();

private:
    /// Writes the buffer out at the write position; a failure stays until the next restart.
    [[nodiscard]] std::expected<void, Error> writeBuffer();
    /// Writes `bytes` at the write position, as writeBuffer does.
    [[nodiscard]] std::expected<void, Error> writeOut(std::span<std::uint8_t const> bytes);

    int m_fd;
    std::string m_path;
    std::uint64_t m_position = 0;
    std::vector<std::uint8_t> m_buffer;
    std::optional<Error> m_failure;
    LandedBytesHasher m_hasher;
};

}
