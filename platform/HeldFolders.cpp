// SPDX-License-Identifier: Apache-2.0
#include "platform/HeldFolders.h"

#include "platform/Path.h"
#include "platform/TrustedPath.h"

#include <algorithm>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace platform {

namespace {

    struct Held {
        std::mutex mutex;
        std::vector<std::pair<std::string, FileDescriptor>> folders;
    };

    Held& held()
    {
        static auto* instance = new Held; // Never destroyed: used while the process ends.
        return *instance;
    }

}

void holdFolder(std::string path, int descriptor)
{
    FileDescriptor copy(::fcntl(descriptor, F_DUPFD_CLOEXEC, 0));
    if (!copy)
        return; // Then found by name again, through the same checks.
    auto& store = held();
    std::lock_guard lock(store.mutex);
    if (std::ranges::any_of(store.folders, [&](auto const& folder) { return folder.first == path; }))
        return;
    store.folders.emplace_back(std::move(path), std::move(copy));
}

std::vector<int> heldFolders()
{
    auto& store = held();
    std::lock_guard lock(store.mutex);
    std::vector<int> descriptors;
    for (auto const& [path, fd] : store.folders)
        descriptors.push_back(fd.get());
    return descriptors;
}

std::expected<FolderAndName, Error> openContainingFolder(std::string const& path)
{
    auto [folderPath, name] = splitPath(path);
    if (folderPath.empty() || name.empty())
        return std::unexpected(Error::refused(path, "not an absolute file path"));
    {
        auto& store = held();
        std::lock_guard lock(store.mutex);
        for (auto const& [heldPath, fd] : store.folders) {
            if (heldPath == folderPath) {
                FileDescriptor copy(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
                if (!copy)
                    return std::unexpected(Error::fromErrno("open", folderPath, errno));
                return FolderAndName { std::move(copy), std::move(name) };
            }
        }
    }
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
