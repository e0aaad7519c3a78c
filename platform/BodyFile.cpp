#include "platform/BodyFile.h"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

constexpr size_t bufferCapacity = 1024 * 1024;
constexpr int openFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC;

}

BodyFile::BodyFile(int folder, int fd, std::string name, std::string path)
    : m_folder(folder)
    , m_fd(fd)
    , m_name(std::move(name))
    , m_path(std::move(path))
{
    m_buffer.reserve(bufferCapacity);
}

BodyFile::BodyFile(BodyFile&& other) noexcept
    : m_folder(other.m_folder)
    , m_fd(std::exchange(other.m_fd, -1))
    , m_name(std::move(other.m_name))
    , m_path(std::move(other.m_path))
    , m_position(other.m_position)
    , m_buffer(std::move(other.m_buffer))
{
}

BodyFile& BodyFile::operator=(BodyFile&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_folder = other.m_folder;
        m_fd = std::exchange(other.m_fd, -1);
        m_name = std::move(other.m_name);
        m_path = std::move(other.m_path);
        m_position = other.m_position;
        m_buffer = std::move(other.m_buffer);
    }
    return *this;
}

BodyFile::~BodyFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::expected<BodyFile, Error> BodyFile::lockOpened(BodyFolder const& folder, int fd, std::string const& name)
{
    std::string path = folder.path() + "/" + name;
    BodyFile body(folder.descriptor(), fd, name, path);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return std::unexpected(Error::fromErrno("flock", path, errno));
    struct stat opened {};
    if (::fstat(fd, &opened) != 0)
        return std::unexpected(Error::fromErrno("fstat", path, errno));
    if (!S_ISREG(opened.st_mode))
        return std::unexpected(Error::fromErrno("open", path, EINVAL));
    if (opened.st_uid != ::geteuid())
        return std::unexpected(Error::fromErrno("open", path, EPERM));
    return body;
}

std::expected<BodyFile, Error> BodyFile::openLocked(BodyFolder const& folder, std::string const& name)
{
    // NOTE: the run that held the lock before us may have moved or removed the
    // file in the meantime; a lock on an inode that is no longer under this
    // name would let two runs write "the same" body. Retry until both agree.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::openat(folder.descriptor(), name.c_str(), openFlags | O_CREAT, 0600);
        if (fd < 0)
            return std::unexpected(Error::fromErrno("open", folder.path() + "/" + name, errno));
        auto body = lockOpened(folder, fd, name);
        if (!body)
            return body;
        struct stat opened {}, named {};
        if (::fstat(fd, &opened) == 0 && ::fstatat(folder.descriptor(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && opened.st_ino == named.st_ino && opened.st_dev == named.st_dev)
            return body;
    }
    return std::unexpected(Error::fromErrno("open", folder.path() + "/" + name, EAGAIN));
}

std::expected<BodyFile, Error> BodyFile::createUnique(BodyFolder const& folder, std::string const& prefix)
{
    static constexpr char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::random_device device;
    std::mt19937_64 generator(device());
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix + "-";
        auto value = generator();
        for (int i = 0; i < 10; ++i, value /= 36)
            name += alphabet[value % 36];
        int fd = ::openat(folder.descriptor(), name.c_str(), openFlags | O_CREAT | O_EXCL, 0600);
        if (fd >= 0)
            return lockOpened(folder, fd, name);
        if (errno != EEXIST)
            return std::unexpected(Error::fromErrno("open", folder.path() + "/" + name, errno));
    }
    return std::unexpected(Error::fromErrno("open", folder.path() + "/" + prefix, EEXIST));
}

std::expected<std::uint64_t, Error> BodyFile::sizeOnDisk() const
{
    struct stat status {};
    if (::fstat(m_fd, &status) != 0)
        return std::unexpected(Error::fromErrno("fstat", m_path, errno));
    return static_cast<std::uint64_t>(status.st_size);
}

std::expected<void, Error> BodyFile::truncate(std::uint64_t length)
{
    m_buffer.clear();
    if (::ftruncate(m_fd, static_cast<off_t>(length)) != 0)
        return std::unexpected(Error::fromErrno("ftruncate", m_path, errno));
    m_position = length;
    return {};
}

std::expected<void, Error> BodyFile::append(std::span<std::uint8_t const> data)
{
    while (!data.empty()) {
        size_t room = bufferCapacity - m_buffer.size();
        size_t taken = std::min(room, data.size());
        m_buffer.insert(m_buffer.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(taken));
        data = data.subspan(taken);
        if (m_buffer.size() == bufferCapacity) {
            if (auto flushed = flush(); !flushed)
                return flushed;
        }
    }
    return {};
}

std::expected<void, Error> BodyFile::flush()
{
    size_t done = 0;
    while (done < m_buffer.size()) {
        ssize_t written = ::pwrite(m_fd, m_buffer.data() + done, m_buffer.size() - done, static_cast<off_t>(m_position + done));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            int error = errno;
            // Keep length() honest: what was written stays counted, the rest is dropped.
            m_position += done;
            m_buffer.clear();
            return std::unexpected(Error::fromErrno("write", m_path, error));
        }
        if (written == 0) {
            m_position += done;
            m_buffer.clear();
            return std::unexpected(Error::fromErrno("write", m_path, EIO));
        }
        done += static_cast<size_t>(written);
    }
    m_position += done;
    m_buffer.clear();
    return {};
}

void BodyFile::remove()
{
    struct stat opened {}, named {};
    if (m_fd >= 0 && ::fstat(m_fd, &opened) == 0 && ::fstatat(m_folder, m_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0
        && opened.st_ino == named.st_ino && opened.st_dev == named.st_dev)
        ::unlinkat(m_folder, m_name.c_str(), 0);
}

}
