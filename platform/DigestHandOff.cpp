// SPDX-License-Identifier: Apache-2.0
#include "platform/DigestHandOff.h"

#include "platform/TrustedPath.h"

#include <mutex>
#include <tuple>
#include <unistd.h>

namespace platform {

namespace {

    /// What identifies a file's contents in one run: a write changes the modification time, a copy makes another inode.
    using ContentsIdentity = std::tuple<FileIdentity, off_t, time_t, long>;
    ContentsIdentity contentsIdentity(struct stat const& status)
    {
        return { FileIdentity(status), status.st_size, status.st_mtim.tv_sec, status.st_mtim.tv_nsec };
    }

    struct HandedOver {
        std::mutex mutex;
        std::optional<std::pair<ContentsIdentity, Sha256Digest>> entry;
    };

    /// The file open at `fd` read from its offset to its end, in 1 MiB pieces so that memory stays flat.
    std::expected<Sha256Digest, Error> sha256OfFile(int fd, std::string const& path)
    {
        (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        auto hasher = Sha256::create();
        if (!hasher)
            return errorOf(hasher);
        std::vector<std::uint8_t> buffer(1 << 20);
        for (;;) {
            ssize_t got = retryOnInterrupt([&] { return ::read(fd, buffer.data(), buffer.size()); });
            if (got < 0)
                return std::unexpected(Error::fromErrno("read", path, errno));
            if (got == 0 || !hasher->update({ buffer.data(), static_cast<size_t>(got) }))
                return hasher->finish(); // After a failed piece, the digest's own error.
        }
    }

    HandedOver& handedOver = *new HandedOver; // Never destroyed: read while the process ends.

}

void rememberDigestOf(int fd, Sha256Digest const& digest)
{
    auto status = statusOf(fd, {});
    if (!status || !S_ISREG(status->st_mode))
        return;
    std::lock_guard lock(handedOver.mutex);
    handedOver.entry.emplace(contentsIdentity(*status), digest);
}

std::expected<Sha256Digest, Error> digestOfFile(std::string const& path, std::optional<FileIdentity> placed)
{
    auto opened = openFileNobodyElseWrites(path);
    if (!opened)
        return errorOf(opened);
    auto status = statusOf(opened->get(), path);
    if (!status)
        return errorOf(status);
    // NOTE: a file another run put there since is theirs to verify, not ours.
    if (placed && FileIdentity(*status) != *placed)
        return std::unexpected(Error::refused(path, "no longer the file placed"));
    std::unique_lock lock(handedOver.mutex);
    if (auto const& entry = handedOver.entry; entry && entry->first == contentsIdentity(*status))
        return entry->second;
    lock.unlock();
    return sha256OfFile(opened->get(), path);
}

}
