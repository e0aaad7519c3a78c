// SPDX-License-Identifier: Apache-2.0
#include "platform/AtomicFile.h"

#include <sys/file.h>
#include <unistd.h>

namespace platform {

void AtomicFile::removeAbandonedSiblings(int folder, std::string const& name)
{
    std::string const prefix = siblingPrefix(name);
    for (auto const& sibling : namesIn(folder)) {
        if (sibling.starts_with(prefix))
            platform::removeAbandoned(folder, sibling);
    }
}

std::expected<AtomicFile, Error> AtomicFile::create(int folder, std::string name, std::string path, mode_t mode)
{
    removeAbandonedSiblings(folder, name);
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string temporary = siblingPrefix(name) + randomLettersAndDigits(16);
        FileDescriptor fd(
            ::openat(folder, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!fd && errno == EEXIST)
            continue;
        if (!fd)
            return std::unexpected(Error::fromErrno("open", path, errno));
        AtomicFile file(folder, std::move(fd), std::move(temporary), name, path);
        if (::flock(file.descriptor(), LOCK_EX) != 0)
            return file.abandon("flock", errno);
        // NOTE: until the lock, another writer's clean-up may take the new sibling for one a killed writer left and
        // remove it: the file held then has no name (and the name is not ours to touch), so another is made.
        struct stat status { };
        if (::fstat(file.descriptor(), &status) != 0)
            return file.abandon("fstat", errno);
        if (identityAt(folder, file.m_temporary) != FileIdentity(status)) {
            file.m_temporary.clear();
            continue;
        }
        return file;
    }
    return std::unexpected(Error::fromErrno("open", path, EEXIST));
}

AtomicFile::AtomicFile(int folder, FileDescriptor fd, std::string temporary, std::string name, std::string path)
    : m_folder(folder)
    , m_fd(std::move(fd))
    , m_temporary(std::move(temporary))
    , m_name(std::move(name))
    , m_path(std::move(path))
{
}

AtomicFile::~AtomicFile()
{
    // A moved-from file holds no descriptor; every way through commit or abandon that closes it clears the name.
    if (m_fd && !m_temporary.empty())
        ::unlinkat(m_folder, m_temporary.c_str(), 0);
}

std::unexpected<Error> AtomicFile::abandon(std::string_view operation, int errnoValue)
{
    ::unlinkat(m_folder, m_temporary.c_str(), 0);
    m_temporary.clear();
    return std::unexpected(Error::fromErrno(operation, m_path, errnoValue));
}

std::expected<void, Error> AtomicFile::commit(Durability durability)
{
    if (durability == Durability::Synced && ::fsync(m_fd.get()) != 0)
        return abandon("fsync", errno);
    // NOTE: the lock belongs to the open file description, so this second descriptor keeps the sibling locked through
    // the close and the rename, and no clean-up takes it for abandoned; the close still reports its own failure.
    FileDescriptor held(::fcntl(m_fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!held)
        return abandon("dup", errno);
    if (int closeFailed = m_fd.close())
        return abandon("close", closeFailed);
    // NOTE: one rename replaces the old file; removing it first would leave neither to a kill or a power loss.
    if (::renameat(m_folder, m_temporary.c_str(), m_folder, m_name.c_str()) != 0)
        return abandon("rename", errno);
    m_temporary.clear();
    held.reset(); // The file has its final name: the lock may go.
    if (durability == Durability::Synced)
        ::fsync(m_folder); // The rename itself reaches the disk; a failure here changes nothing already done.
    return {};
}

}
