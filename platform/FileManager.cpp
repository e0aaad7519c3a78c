// SPDX-License-Identifier: Apache-2.0
#include "platform/FileManager.h"

#include "platform/AtomicFile.h"
#include "platform/DigestHandOff.h"
#include "platform/HeldFolders.h"
#include "platform/LandedBytesHasher.h"
#include "platform/TrustedPath.h"

#include <algorithm>
#include <sys/sendfile.h>
#include <unistd.h>

namespace platform {

namespace {

    constexpr size_t copyPiece = 8 << 20;

    enum class CopyMethod { CopyFileRange, SendFile, ReadWrite };

    /// One piece, by the next method where the file systems refuse one: bytes copied, 0 at the end, -1 with errno.
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
        return copyThroughBuffer(in, out, buffer);
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

    std::expected<FileIdentity, Error> copyAcrossFileSystems(int sourceFolder, std::string const& sourceName,
        std::string const& source, int folder, std::string const& name, std::string const& destination)
    {
        FileDescriptor in(::openat(sourceFolder, sourceName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!in)
            return std::unexpected(Error::fromErrno("open", source, errno));
        auto info = statusOf(in.get(), source);
        if (!info)
            return errorOf(info);
        if (!S_ISREG(info->st_mode))
            return std::unexpected(Error::fromErrno("copy", source, EINVAL));
        auto out = AtomicFile::create(folder, name, destination, info->st_mode & 07777);
        if (!out)
            return errorOf(out);
        auto digest
            = copyHashingWhatLands(in.get(), static_cast<std::uint64_t>(info->st_size), out->descriptor(), destination);
        if (!digest)
            return errorOf(digest);
        rememberDigestOf(out->descriptor(), *digest);
        auto copied = statusOf(out->descriptor(), destination);
        if (!copied)
            return errorOf(copied);
        if (auto committed = out->commit(AtomicFile::Durability::Unsynced); !committed)
            return errorOf(committed);
        if (::unlinkat(sourceFolder, sourceName.c_str(), 0) != 0)
            return std::unexpected(Error::fromErrno("unlink", source, errno));
        return FileIdentity(*copied);
    }

    std::expected<void, Error> unlinkIn(
        std::expected<FolderAndName, Error> const& held, std::string const& path, std::optional<FileIdentity> placed)
    {
        if (!held)
            return errorOf(held);
        if ((!placed || identityAt(held->folder.get(), held->name) == placed)
            && ::unlinkat(held->folder.get(), held->name.c_str(), 0) != 0)
            return std::unexpected(Error::fromErrno("unlink", path, errno));
        return {};
    }

}

FileManager& FileManager::defaultManager()
{
    static FileManager real;
    return real;
}

bool FileManager::fileExists(std::string const& path)
{
    struct stat info { };
    return ::stat(path.c_str(), &info) == 0;
}

std::expected<void, Error> FileManager::removeItem(std::string const& path, std::string_view ownArea)
{
    return unlinkIn(openTrustedContainingFolder(path, ownArea), path, std::nullopt);
}

std::expected<void, Error> FileManager::removeItem(std::string const& path, FileIdentity placed)
{
    return unlinkIn(openContainingFolder(path), path, placed);
}

std::expected<FileManager::Placed, Error> FileManager::replaceItem(
    std::string const& destination, std::string const& source)
{
    auto into = openContainingFolder(destination);
    if (!into)
        return errorOf(into);
    auto from = openContainingFolder(source);
    if (!from)
        return errorOf(from);
    auto& [folder, name] = *into;
    auto& [sourceFolder, sourceName] = *from;
    AtomicFile::removeAbandonedSiblings(folder.get(), name);
    bool replacing = identityAt(folder.get(), name).has_value();
    auto moved = identityAt(sourceFolder.get(), sourceName);
    if (!moved)
        return std::unexpected(Error::fromErrno("rename", destination, ENOENT));
    if (::renameat(sourceFolder.get(), sourceName.c_str(), folder.get(), name.c_str()) == 0)
        return Placed { replacing, *moved };
    if (errno != EXDEV)
        return std::unexpected(Error::fromErrno("rename", destination, errno));
    auto copied = copyAcrossFileSystems(sourceFolder.get(), sourceName, source, folder.get(), name, destination);
    if (!copied)
        return errorOf(copied);
    return Placed { replacing, *copied };
}

std::expected<void, Error> FileManager::createFile(
    int folder, std::string const& name, std::string const& path, Bytes const& contents)
{
    // NOTE: owner-only: resume data holds the URL, and URLs carry secrets.
    auto file = AtomicFile::create(folder, name, path, 0600);
    if (!file)
        return errorOf(file);
    if (auto written = writeAll(file->descriptor(), contents, path); !written)
        return written;
    return file->commit(AtomicFile::Durability::Synced);
}

std::expected<Bytes, Error> FileManager::contentsOfFile(std::string const& path)
{
    auto fd = openRegularFileForReading(path);
    if (!fd)
        return errorOf(fd);
    return readAll(fd->get(), path);
}

}
