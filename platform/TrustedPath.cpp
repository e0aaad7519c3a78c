#include "platform/TrustedPath.h"

#include "platform/FileManager.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::unexpected<Error> refused(std::string const& path, std::string_view reason)
{
    auto error = Error::fromErrno("refusing untrusted path", path, EPERM);
    error.userInfo.insert_or_assign(std::string(UserInfoKey::Operation), std::string(reason));
    return std::unexpected(error);
}

}

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
                return refused(prefix, "a symbolic link");
            if (attributes->type != FileType::Directory)
                return refused(prefix, "not a directory");
            if (attributes->owner != self && attributes->owner != 0)
                return refused(prefix, "owned by another user");
            if ((attributes->permissions & (S_IWGRP | S_IWOTH)) && !(attributes->permissions & S_ISVTX))
                return refused(prefix, "writable by other users");
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
        return refused(path, "not a regular file");
    if (attributes->owner != ::geteuid())
        return refused(path, "owned by another user");
    return {};
}

}
