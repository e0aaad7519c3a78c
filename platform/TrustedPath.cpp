#include "platform/TrustedPath.h"

#include "platform/FileManager.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::expected<void, Error> checkTrustedFolder(std::string const& directory)
{
    auto& fileManager = FileManager::defaultManager();
    uid_t self = ::geteuid();
    for (size_t end = directory.find('/', 1);; end = directory.find('/', end + 1)) {
        std::string prefix = directory.substr(0, end);
        if (!prefix.empty() && prefix.back() != '/') {
            auto attributes = fileManager.attributesOfItem(prefix);
            if (!attributes) {
                if (attributes.error().code == ENOENT)
                    return {}; // The rest will be created by the tool itself.
                return std::unexpected(attributes.error());
            }
            if (attributes->type == FileType::SymbolicLink)
                return std::unexpected(Error::refused(prefix, "a symbolic link"));
            if (attributes->type != FileType::Directory)
                return std::unexpected(Error::refused(prefix, "not a directory"));
            if (attributes->owner != self && attributes->owner != 0)
                return std::unexpected(Error::refused(prefix, "owned by another user"));
            if ((attributes->permissions & (S_IWGRP | S_IWOTH)) && !(attributes->permissions & S_ISVTX))
                return std::unexpected(Error::refused(prefix, "writable by other users"));
        }
        if (end == std::string::npos)
            return {};
    }
}

std::expected<void, Error> checkOwnedRegularFile(std::string const& path)
{
    auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (auto folder = checkTrustedFolder(path.substr(0, slash)); !folder)
            return folder;
    }
    auto attributes = FileManager::defaultManager().attributesOfItem(path);
    if (!attributes)
        return std::unexpected(attributes.error());
    if (attributes->type != FileType::Regular)
        return std::unexpected(Error::refused(path, "not a regular file"));
    if (attributes->owner != ::geteuid())
        return std::unexpected(Error::refused(path, "owned by another user"));
    return {};
}

}
