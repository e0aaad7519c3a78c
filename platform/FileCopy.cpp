// SPDX-License-Identifier: Apache-2.0
#include "platform/FileCopy.h"

#include "platform/Posix.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

    constexpr size_t copyPiece = 8 << 20;
    constexpr size_t hashPiece = 1 << 20;

    /// Hashes the bytes of `fd` from offset 0 up to the length that the copier
    /// has announced, on a thread of its own.
    class LandedBytesHasher {
    public:
        explicit LandedBytesHasher(int fd)
            : m_fd(fd)
            , m_thread([this] { run(); })
        {
        }
        ~LandedBytesHasher() { stop(); }

        void landed(std::uint64_t length)
        {
            {
                std::lock_guard lock(m_mutex);
                m_landed = length;
            }
            m_wake.notify_one();
        }

        /// Waits for the last piece; the digest, or the errno of a failed read.
        std::expected<Sha256Digest, int> finish()
        {
            stop();
            if (m_failure)
                return std::unexpected(m_failure);
            auto digest = m_hash ? m_hash->finish() : std::unexpected(m_hash.error());
            if (!digest)
                return std::unexpected(EIO);
            return *digest;
        }

    private:
        void stop()
        {
            {
                std::lock_guard lock(m_mutex);
                m_done = true;
            }
            m_wake.notify_one();
            if (m_thread.joinable())
                m_thread.join();
        }

        void run()
        {
            std::vector<std::uint8_t> buffer(hashPiece);
            std::uint64_t hashed = 0;
            for (;;) {
                std::uint64_t target;
                {
                    std::unique_lock lock(m_mutex);
                    m_wake.wait(lock, [&] { return m_landed > hashed || m_done; });
                    if (m_landed == hashed)
                        return;
                    target = m_landed;
                }
                while (hashed < target) {
                    size_t wanted = static_cast<size_t>(std::min<std::uint64_t>(buffer.size(), target - hashed));
                    ssize_t got = retryOnInterrupt(
                        [&] { return ::pread(m_fd, buffer.data(), wanted, static_cast<off_t>(hashed)); });
                    if (got <= 0 || !m_hash || !m_hash->update({ buffer.data(), static_cast<size_t>(got) })) {
                        m_failure = got < 0 ? errno : EIO;
                        return;
                    }
                    hashed += static_cast<std::uint64_t>(got);
                }
            }
        }

        int m_fd;
        std::expected<Sha256, Error> m_hash = Sha256::create();
        int m_failure = 0;
        std::mutex m_mutex;
        std::condition_variable m_wake;
        std::uint64_t m_landed = 0;
        bool m_done = false;
        // Last, so that it starts once everything above is in place.
        std::thread m_thread;
    };

    enum class CopyMethod { CopyFileRange, SendFile, ReadWrite };

    /// One piece copied at the files' offsets; falls back to the next method
    /// where the pair of file systems refuses one. Bytes copied, 0 at the end,
    /// -1 with errno.
    ssize_t copyPieceWith(CopyMethod& method, int in, int out, std::vector<std::uint8_t>& buffer)
    {
        for (;;) {
            ssize_t copied = -1;
            switch (method) {
            case CopyMethod::CopyFileRange:
                copied = ::copy_file_range(in, nullptr, out, nullptr, copyPiece, 0);
                if (copied < 0 && (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS)) {
                    method = CopyMethod::SendFile;
                    continue;
                }
                return copied;
            case CopyMethod::SendFile:
                copied = ::sendfile(out, in, nullptr, copyPiece);
                if (copied < 0 && (errno == EINVAL || errno == ENOSYS)) {
                    method = CopyMethod::ReadWrite;
                    buffer.resize(copyPiece);
                    continue;
                }
                return copied;
            case CopyMethod::ReadWrite:
                copied = ::read(in, buffer.data(), buffer.size());
                if (copied > 0) {
                    if (auto written = writeAll(out, { buffer.data(), static_cast<size_t>(copied) }, {}); !written) {
                        errno = static_cast<int>(written.error().code);
                        return -1;
                    }
                }
                return copied;
            }
        }
    }

}

std::expected<Sha256Digest, Error> copyHashingWhatLands(int in, int out, std::string const& destination)
{
    LandedBytesHasher hasher(out);
    CopyMethod method = CopyMethod::CopyFileRange;
    std::vector<std::uint8_t> buffer;
    std::uint64_t copied = 0;
    struct stat source { };
    if (::fstat(in, &source) != 0)
        return std::unexpected(Error::fromErrno("read", destination, errno));
    std::uint64_t const size = static_cast<std::uint64_t>(source.st_size);
    for (;;) {
        // As the body's own writes: the copy never takes the blocks its volume keeps for root.
        std::uint64_t next = size > copied ? std::min<std::uint64_t>(copyPiece, size - copied) : 0;
        if (!fitsBesideRootsReserve(out, copied + next))
            return std::unexpected(Error::fromErrno("write", destination, ENOSPC));
        ssize_t piece = retryOnInterrupt([&] { return copyPieceWith(method, in, out, buffer); });
        if (piece < 0)
            return std::unexpected(Error::fromErrno("copy", destination, errno));
        if (piece == 0)
            break;
        copied += static_cast<std::uint64_t>(piece);
        hasher.landed(copied);
    }
    auto digest = hasher.finish();
    if (!digest)
        return std::unexpected(Error::fromErrno("read", destination, digest.error()));
    return *digest;
}

}
