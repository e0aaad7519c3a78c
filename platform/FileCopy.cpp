// SPDX-License-Identifier: Apache-2.0
#include "platform/FileCopy.h"

#include "platform/LandedBytesHasher.h"
#include "platform/Posix.h"

#include <algorithm>
#include <sys/sendfile.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

    constexpr size_t copyPiece = 8 << 20;

    enum class CopyMethod { CopyFileRange, SendFile, ReadWrite };

    /// One piece copied at the files' offsets, falling back to the next method where the file systems refuse one: bytes
    /// copied, 0 at the end, -1 with errno.
    ssize_t copyPieceWith(CopyMethod& method, int in, int out, std::vector<std::uint8_t>& buffer)
    {
        if (method == CopyMethod::CopyFileRange) {
            ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, copyPiece, 0);
            if (copied >= 0 || (errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP && errno != ENOSYS))
                return copied;
            method = CopyMethod::SendFile;
        }
        if (method == CopyMethod::SendFile) {
            ssize_t copied = ::sendfile(out, in, nullptr, copyPiece);
            if (copied >= 0 || (errno != EINVAL && errno != ENOSYS))
                return copied;
            method = CopyMethod::ReadWrite;
            buffer.resize(copyPiece);
        }
        ssize_t copied = ::read(in, buffer.data(), buffer.size());
        if (copied <= 0)
            return copied;
        auto written = writeAll(out, { buffer.data(), static_cast<size_t>(copied) }, {});
        if (!written)
            errno = static_cast<int>(written.error().code);
        return written ? copied : -1;
    }

}

std::expected<Sha256Digest, Error> copyHashingWhatLands(
    int in, std::uint64_t size, int out, std::string const& destination)
{
    LandedBytesHasher hasher(out);
    CopyMethod method = CopyMethod::CopyFileRange;
    std::vector<std::uint8_t> buffer;
    for (std::uint64_t copied = 0;;) {
        // As the body's own writes: the copy never takes the blocks its volume keeps for root.
        std::uint64_t next = size > copied ? std::min<std::uint64_t>(copyPiece, size - copied) : 0;
        if (!fitsBesideRootsReserve(out, copied + next))
            return std::unexpected(Error::fromErrno("write", destination, ENOSPC));
        ssize_t piece = retryOnInterrupt([&] { return copyPieceWith(method, in, out, buffer); });
        if (piece < 0)
            return std::unexpected(Error::fromErrno("copy", destination, errno));
        if (piece == 0) {
            if (auto digest = hasher.finish(copied))
                return *digest;
            return std::unexpected(Error::fromErrno("read", destination, EIO));
        }
        copied += static_cast<std::uint64_t>(piece);
        hasher.landed(copied);
    }
}

}
