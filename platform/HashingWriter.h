// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/LandedBytesHasher.h"
#include "platform/Sha256.h"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

namespace platform {

/// Writes a file at explicit positions, each piece moved from the pipe it
/// waits in. A LandedBytesHasher reads back each piece as soon as it lands
/// and hashes it, so that the SHA-256 of the whole file is ready when the last
/// byte lands. The file never grows into the blocks its volume keeps for
/// root: such a write fails as on a full volume. The descriptor stays the
/// caller's.
class HashingWriter {
public:
    HashingWriter(int fd, std::string path);
    ~HashingWriter() = default;
    HashingWriter(HashingWriter const&) = delete;
    HashingWriter& operator=(HashingWriter const&) = delete;

    /// Waits until every byte written is read back and hashed.
    void waitIdle();
    /// Writes on from `length`, the digest started again from the bytes the
    /// file keeps up to there (read back once); an earlier failure is forgotten.
    void restartAt(std::uint64_t length);
    /// Moves up to `count` bytes from `pipe` (which must not block) to the end
    /// of what is written; the bytes moved, fewer when the pipe held fewer.
    [[nodiscard]] std::expected<std::size_t, Error> appendFrom(int pipe, std::size_t count);
    /// Reports a write that failed, now or earlier.
    [[nodiscard]] std::expected<void, Error> flush() const;
    /// Bytes written so far.
    std::uint64_t length() const { return m_position; }
    /// The digest of the whole file, when every byte of it went through this
    /// writer (or was read back for it) and all are written; it ends the
    /// digest.
    [[nodiscard]] std::optional<Sha256Digest> finishDigest();

private:
    int m_fd;
    std::string m_path;
    std::uint64_t m_position = 0;
    std::optional<Error> m_failure;
    LandedBytesHasher m_hasher;
};

}
