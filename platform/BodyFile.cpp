#include "platform/BodyFile.h"

#include "platform/Sha256.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

constexpr size_t bufferCapacity = 1024 * 1024;
constexpr int openFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC;

}

/// The second half of the pipeline: hashes and writes one buffer at a time.
/// The receiving thread touches the fields below only while `busy` is false.
struct BodyFile::Writer {
    Writer(int descriptor, std::string filePath)
        : fd(descriptor)
        , path(std::move(filePath))
        , thread([this] { loop(); })
    {
    }

    ~Writer()
    {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        thread.join();
    }

    void loop()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return busy || stopping; });
            if (!busy)
                return;
            lock.unlock();
            process();
            lock.lock();
            busy = false;
            wake.notify_all();
        }
    }

    void process()
    {
        if (hashing && jobOffset == hashedLength && hash->update(job))
            hashedLength += job.size();
        else
            hashing = false;
        size_t done = 0;
        while (done < job.size()) {
            ssize_t written = ::pwrite(fd, job.data() + done, job.size() - done, static_cast<off_t>(jobOffset + done));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                failure = Error::fromErrno("write", path, written < 0 ? errno : EIO);
                failedAt = jobOffset + done;
                return;
            }
            done += static_cast<size_t>(written);
        }
    }

    void waitIdle()
    {
        std::unique_lock lock(mutex);
        wake.wait(lock, [this] { return !busy; });
    }

    void start()
    {
        {
            std::lock_guard lock(mutex);
            busy = true;
        }
        wake.notify_all();
    }

    /// Starts the digest again for a file cut to `length`, reading back the
    /// bytes that stay. Called while idle.
    void restartDigest(std::uint64_t length)
    {
        hash = std::make_unique<Sha256>();
        hashing = true;
        hashedLength = 0;
        std::vector<std::uint8_t> piece(static_cast<size_t>(std::min<std::uint64_t>(length, bufferCapacity)));
        while (hashedLength < length) {
            size_t wanted = static_cast<size_t>(std::min<std::uint64_t>(piece.size(), length - hashedLength));
            ssize_t got = ::pread(fd, piece.data(), wanted, static_cast<off_t>(hashedLength));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0 || !hash->update({ piece.data(), static_cast<size_t>(got) })) {
                hashing = false; // The digest is then left to a full read.
                return;
            }
            hashedLength += static_cast<std::uint64_t>(got);
        }
    }

    int fd;
    std::string path;
    std::mutex mutex;
    std::condition_variable wake;
    bool busy = false;
    bool stopping = false;
    std::vector<std::uint8_t> job;
    std::uint64_t jobOffset = 0;
    std::optional<Error> failure;
    std::uint64_t failedAt = 0;
    std::unique_ptr<Sha256> hash = std::make_unique<Sha256>();
    bool hashing = true;
    std::uint64_t hashedLength = 0;
    // Last, so that it starts once everything above is in place.
    std::thread thread;
};

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
    , m_writer(std::move(other.m_writer))
{
}

BodyFile& BodyFile::operator=(BodyFile&& other) noexcept
{
    if (this != &other) {
        close();
        m_folder = other.m_folder;
        m_fd = std::exchange(other.m_fd, -1);
        m_name = std::move(other.m_name);
        m_path = std::move(other.m_path);
        m_position = other.m_position;
        m_buffer = std::move(other.m_buffer);
        m_writer = std::move(other.m_writer);
    }
    return *this;
}

BodyFile::~BodyFile()
{
    close();
}

void BodyFile::close()
{
    // The writer's last buffer lands before the descriptor goes.
    m_writer.reset();
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
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
    if (m_writer)
        m_writer->waitIdle();
    struct stat status {};
    if (::fstat(m_fd, &status) != 0)
        return std::unexpected(Error::fromErrno("fstat", m_path, errno));
    return static_cast<std::uint64_t>(status.st_size);
}

BodyFile::Writer& BodyFile::idleWriter()
{
    if (!m_writer)
        m_writer = std::make_unique<Writer>(m_fd, m_path);
    m_writer->waitIdle();
    return *m_writer;
}

std::expected<void, Error> BodyFile::earlierFailure()
{
    auto& writer = idleWriter();
    if (!writer.failure)
        return {};
    // Keep length() honest: what was written stays counted, the rest is dropped.
    m_position = writer.failedAt;
    m_buffer.clear();
    return std::unexpected(*writer.failure);
}

std::expected<void, Error> BodyFile::truncate(std::uint64_t length)
{
    auto& writer = idleWriter();
    m_buffer.clear();
    writer.failure.reset();
    if (::ftruncate(m_fd, static_cast<off_t>(length)) != 0)
        return std::unexpected(Error::fromErrno("ftruncate", m_path, errno));
    m_position = length;
    writer.restartDigest(length);
    return {};
}

std::expected<void, Error> BodyFile::handOff()
{
    if (auto failed = earlierFailure(); !failed)
        return failed;
    if (m_buffer.empty())
        return {};
    auto& writer = *m_writer;
    std::swap(m_buffer, writer.job);
    writer.jobOffset = m_position;
    m_position += writer.job.size();
    m_buffer.clear();
    m_buffer.reserve(bufferCapacity);
    writer.start();
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
            if (auto handed = handOff(); !handed)
                return handed;
        }
    }
    return {};
}

std::expected<void, Error> BodyFile::flush()
{
    if (auto handed = handOff(); !handed)
        return handed;
    return earlierFailure();
}

void BodyFile::rememberDigest()
{
    if (!m_writer)
        return;
    m_writer->waitIdle();
    auto size = sizeOnDisk();
    if (m_writer->failure || !m_buffer.empty() || !m_writer->hashing || m_writer->hashedLength != m_position || !size || *size != m_position)
        return;
    m_writer->hashing = false; // A finished digest takes no more bytes.
    if (auto digest = m_writer->hash->finish())
        rememberFileDigest(m_fd, *digest);
}

void BodyFile::remove()
{
    if (m_writer)
        m_writer->waitIdle();
    struct stat opened {}, named {};
    if (m_fd >= 0 && ::fstat(m_fd, &opened) == 0 && ::fstatat(m_folder, m_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0
        && opened.st_ino == named.st_ino && opened.st_dev == named.st_dev)
        ::unlinkat(m_folder, m_name.c_str(), 0);
}

}
