#pragma once

#include "platform/BodyFolder.h"
#include "platform/Error.h"

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform {

/// A body being received: a regular file in the private folder, held under an
/// exclusive lock for as long as this object lives, written through a large
/// buffer at an explicit position. Full buffers are hashed and written by a
/// thread of the body's own while the next one fills, so that the digest is
/// ready when the last byte lands.
class BodyFile {
public:
    /// Opens (creating when missing) `name` in `folder`, locked. Fails with
    /// EWOULDBLOCK when a live run holds the lock.
    [[nodiscard]] static std::expected<BodyFile, Error> openLocked(BodyFolder const& folder, std::string const& name);
    /// A new file named `prefix` plus a unique suffix, locked.
    [[nodiscard]] static std::expected<BodyFile, Error> createUnique(BodyFolder const& folder, std::string const& prefix);

    BodyFile(BodyFile&&) noexcept;
    BodyFile& operator=(BodyFile&&) noexcept;
    ~BodyFile();

    std::string const& name() const { return m_name; }
    std::string const& path() const { return m_path; }

    /// The file's size on disk, buffered bytes not counted.
    [[nodiscard]] std::expected<std::uint64_t, Error> sizeOnDisk() const;
    /// Drops buffered bytes, cuts the file to `length` and writes on from there.
    [[nodiscard]] std::expected<void, Error> truncate(std::uint64_t length);
    /// Buffers `data`; writes the buffer out whenever it is full.
    [[nodiscard]] std::expected<void, Error> append(std::span<std::uint8_t const> data);
    /// Writes out what is buffered and waits for it; reports a write that failed earlier.
    [[nodiscard]] std::expected<void, Error> flush();
    /// Remembers the SHA-256 of the whole file, when every byte of it went
    /// through this object (or was read back for it), for `sha256OfFile`.
    /// Call after a successful `flush`.
    void rememberDigest();
    /// Bytes of the body so far: those on disk up to the write position plus the buffered ones.
    std::uint64_t length() const { return m_position + m_buffer.size(); }
    /// Unlinks the file, if it is still the one we hold.
    void remove();

private:
    struct Writer;

    BodyFile(int folder, int fd, std::string name, std::string path);
    /// The writer, started when needed, once it has finished its buffer.
    Writer& idleWriter();
    /// A write that failed since the last check; `length()` then counts only the bytes written.
    [[nodiscard]] std::expected<void, Error> earlierFailure();
    /// Hands the full buffer to the writer once it has finished the previous one.
    [[nodiscard]] std::expected<void, Error> handOff();
    void close();
    static std::expected<BodyFile, Error> lockOpened(BodyFolder const& folder, int fd, std::string const& name);

    int m_folder = -1;
    int m_fd = -1;
    std::string m_name;
    std::string m_path;
    std::uint64_t m_position = 0;
    std::vector<std::uint8_t> m_buffer;
    std::unique_ptr<Writer> m_writer;
};

}
