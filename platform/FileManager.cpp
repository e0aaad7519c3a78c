// SPDX-License-Identifier: Apache-2.0
#include "platform/FileManager.h"

#include "platform/AtomicFile.h"
#include "platform/DigestHandOff.h"
#include "platform/FileCopy.h"
#include "platform/HeldFolders.h"
#include "platform/TrustedPath.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

    std::unexpected<Error> failure(std::string_view operation, std::string const& path, int errnoValue = errno)
    {
        return std::unexpected(Error::fromErrno(operation, path, errnoValue));
    }

    std::expected<FileIdentity, Error> copyAcrossFileSystems(int sourceFolder, std::string const& sourceName,
        std::string const& source, int folder, std::string const& name, std::string const& destination)
    {
        FileDescriptor in(::openat(sourceFolder, sourceName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!in)
            return failure("open", source);
        auto info = statusOf(in.get(), source);
        if (!info)
            return errorOf(info);
        if (!S_ISREG(info->st_mode))
            return failure("copy", source, EINVAL);
        auto out = AtomicFile::create(folder, name, destination, info->st_mode & 07777);
        if (!out)
            return errorOf(out);
        auto digest
            = copyHashingWhatLands(in.get(), static_cast<std::uint64_t>(info->st_size), out->descriptor(), destination);
        if (!digest)
            return errorOf(digest);
        // NOTE: the copy's own bytes were hashed as they landed; verifying the new file need not read it again. Not
        // synced, like a rename: a file torn by a power loss fails the next run's verification.
        rememberDigestOf(out->descriptor(), *digest);
        auto copied = statusOf(out->descriptor(), destination);
        if (!copied)
            return errorOf(copied);
        if (auto committed = out->commit(AtomicFile::Durability::Unsynced); !committed)
            return errorOf(committed);
        if (::unlinkat(sourceFolder, sourceName.c_str(), 0) != 0)
            return failure("unlink", source);
        return FileIdentity(*copied);
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
    auto held = openTrustedContainingFolder(path, ownArea);
    if (!held)
        return errorOf(held);
    if (::unlinkat(held->folder.get(), held->name.c_str(), 0) != 0)
        return failure("unlink", path);
    return {};
}

std::expected<void, Error> FileManager::removeItem(std::string const& path, FileIdentity placed)
{
    auto held = openContainingFolder(path);
    if (!held)
        return errorOf(held);
    if (identityAt(held->folder.get(), held->name) == placed
        && ::unlinkat(held->folder.get(), held->name.c_str(), 0) != 0)
        return failure("unlink", path);
    return {};
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
        return failure("rename", destination, ENOENT);
    // NOTE: one rename puts the new file in the old one's place; removing the old first would lose it to a move that
    // then fails.
    if (::renameat(sourceFolder.get(), sourceName.c_str(), folder.get(), name.c_str()) == 0)
        return Placed { replacing, *moved };
    if (errno != EXDEV)
        return failure("rename", destination);
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
    if (auto written = file->write(contents); !written)
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
