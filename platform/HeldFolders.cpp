// SPDX-License-Identifier: Apache-2.0
#include "platform/HeldFolders.h"

#include "platform/Path.h"
#include "platform/TrustedPath.h"

#include <mutex>

namespace platform {

namespace {

    struct Held {
        std::mutex mutex;
        std::map<std::string, FileDescriptor> folders;
    };

    Held& held = *new Held; // Never destroyed: used while the process ends.

}

void holdFolder(std::string path, int descriptor)
{
    FileDescriptor copy(::fcntl(descriptor, F_DUPFD_CLOEXEC, 0));
    if (!copy)
        return; // Then found by name again, through the same checks.
    std::lock_guard lock(held.mutex);
    held.folders.try_emplace(std::move(path), std::move(copy));
}

std::vector<int> heldFolders()
{
    std::lock_guard lock(held.mutex);
    std::vector<int> descriptors;
    for (auto const& [path, fd] : held.folders)
        descriptors.push_back(fd.get());
    return descriptors;
}

std::expected<FolderAndName, Error> openContainingFolder(std::string const& path)
{
    auto [folderPath, name] = splitPath(path);
    if (folderPath.empty() || name.empty())
        return std::unexpected(Error::refused(path, "not an absolute file path"));
    std::unique_lock lock(held.mutex);
    if (auto found = held.folders.find(folderPath); found != held.folders.end()) {
        FileDescriptor copy(::fcntl(found->second.get(), F_DUPFD_CLOEXEC, 0));
        if (!copy)
            return std::unexpected(Error::fromErrno("open", folderPath, errno));
        return FolderAndName { std::move(copy), std::move(name) };
    }
    lock.unlock();
    auto folder = openFolderFollowingOwnLinks(folderPath);
    if (!folder)
        return errorOf(folder);
    return FolderAndName { std::move(*folder), std::move(name) };
}

std::expected<FileDescriptor, Error> holdContainingFolder(std::string const& path)
{
    auto opened = openContainingFolder(path);
    if (!opened)
        return errorOf(opened);
    holdFolder(splitPath(path).folder, opened->folder.get());
    return std::move(opened->folder);
}

}
