// SPDX-License-Identifier: Apache-2.0
// The body file on disk: the digest it hands to verification, what a failed write keeps, and how a piece comes from
// the receiver's pipe.
#include "TestSupport.h"
#include "platform/BodyFile.h"
#include "platform/BodyFolder.h"
#include "platform/DigestHandOff.h"
#include "platform/FileManager.h"

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

std::string digestOf(std::string_view data)
{
    auto hash = platform::Sha256::create();
    EXPECT_TRUE(hash && hash->update({ reinterpret_cast<std::uint8_t const*>(data.data()), data.size() }));
    return platform::hexString(*hash->finish());
}

std::string fileDigest(std::string const& path)
{
    return platform::hexString(*platform::digestOfFile(path));
}

std::string patterned(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 % 251);
    return data;
}

/// A pipe as the receiver's: the root process's end never blocks.
struct Pipe {
    platform::FileDescriptor out, in;
    Pipe()
    {
        int ends[2];
        EXPECT_EQ(::pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
        out = platform::FileDescriptor(ends[0]);
        in = platform::FileDescriptor(ends[1]);
        ::fcntl(in.get(), F_SETPIPE_SZ, 1 << 20);
    }
};

/// Appends `data` through a pipe, as the receiver's pieces come: `piece` bytes at a time; false once a write failed.
bool appendThroughPipe(platform::BodyFile& writer, std::string_view data, size_t piece = 65536)
{
    Pipe pipe;
    for (size_t at = 0; at < data.size();) {
        ssize_t put = ::write(pipe.in.get(), data.data() + at, std::min(piece, data.size() - at));
        auto moved = put > 0 ? writer.appendFrom(pipe.out.get(), static_cast<size_t>(put)) : std::size_t { 0 };
        if (!moved || *moved != static_cast<size_t>(put))
            return false;
        at += *moved;
    }
    return true;
}

/// The digest verification takes for `path` once a byte of it has changed behind its back, the size and the
/// modification time kept: the one handed over, when there is one.
std::string digestAfterQuietChange(std::string const& path)
{
    struct stat before { };
    EXPECT_EQ(::stat(path.c_str(), &before), 0);
    std::string contents = test::readFile(path);
    contents[0] = static_cast<char>(contents[0] ^ 1);
    test::writeFile(path, contents);
    timespec const times[] = { before.st_atim, before.st_mtim };
    EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    return fileDigest(path);
}

/// Opens the file the descriptor this process holds for `path` describes to append: it can then take no splice.
void setAppendOn(std::string const& path)
{
    struct stat wanted { };
    ASSERT_EQ(::stat(path.c_str(), &wanted), 0);
    for (auto const& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = std::stoi(entry.path().filename());
        struct stat status { };
        if (::fstat(fd, &status) == 0 && status.st_dev == wanted.st_dev && status.st_ino == wanted.st_ino) {
            ASSERT_EQ(::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_APPEND), 0);
        }
    }
}

/// "body-x", emptied, in a fresh folder of bodies.
struct FreshBody {
    test::TemporaryDirectory root;
    std::expected<platform::BodyFolder, platform::Error> folder = platform::BodyFolder::open(root / "bodies", true);
    std::expected<platform::BodyFile, platform::Error> body
        = folder ? platform::BodyFile::openLocked(*folder, "body-x") : std::unexpected(folder.error());
    bool ready() { return body && body->truncate(0); }
};

}

// The digest verification takes from the body must be that of the bytes on disk: after pieces of uneven sizes, once
// another writer has changed the file, and after a move across volumes. A cut and a continuation are end-to-end rows.
TEST(BodyFile, TheRememberedDigestIsThatOfTheFileAsItIs)
{
    std::string const data = patterned(3 * 1024 * 1024 + 12345);
    FreshBody fresh;
    ASSERT_TRUE(fresh.ready());
    auto& [root, folder, body] = fresh;
    for (size_t at = 0, piece = 1; at < data.size(); at += piece, piece = piece * 7 % 300007 + 1)
        ASSERT_TRUE(appendThroughPipe(*body, std::string_view(data).substr(at, piece)));
    ASSERT_TRUE(body->flush());
    body->handOverDigest();
    EXPECT_EQ(fileDigest(body->path()), digestOf(data));
    std::ofstream(body->path(), std::ios::app) << "!";
    EXPECT_EQ(fileDigest(body->path()), digestOf(data + "!"));
    // From another volume the move copies, and hands over the digest of the bytes it copied.
    std::string const elsewhere = "/dev/shm/quenbury-move-" + std::to_string(::getpid());
    test::writeFile(elsewhere, data + "?");
    test::writeFile(root / ".moved.quenbury-0123456789abcdef", "a copy that a killed run left");
    ASSERT_TRUE(platform::FileManager::defaultManager().replaceItem(root / "moved", elsewhere));
    EXPECT_EQ(fileDigest(root / "moved"), digestOf(data + "?"));
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
    EXPECT_FALSE(std::filesystem::exists(root / ".moved.quenbury-0123456789abcdef"));
}

// A write that fails (here past the file-size limit) is reported, at the latest by the flush; the bytes that landed
// stay counted and nothing after them is written. A restart within them reads the kept bytes back, and the digest is
// handed over again.
TEST(BodyFile, AFailedWriteKeepsWhatLandedAndARestartGoesOn)
{
    std::string const data = patterned(2 * 1024 * 1024 + 1);
    constexpr size_t limit = 300000;
    FreshBody fresh;
    ASSERT_TRUE(fresh.ready());
    auto& [root, folder, body] = fresh;
    rlimit saved {}, limited {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    limited = { limit, saved.rlim_max };
    auto previous = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    EXPECT_FALSE(appendThroughPipe(*body, data));
    auto flushed = body->flush();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previous);
    ASSERT_FALSE(flushed);
    EXPECT_EQ(flushed.error().code, EFBIG);
    EXPECT_FALSE(body->flush());
    EXPECT_EQ(body->length(), limit);
    EXPECT_EQ(test::readFile(body->path()), data.substr(0, limit));
    ASSERT_TRUE(body->truncate(limit / 2));
    ASSERT_TRUE(appendThroughPipe(*body, std::string_view(data).substr(limit / 2)) && body->flush());
    body->handOverDigest();
    EXPECT_EQ(digestAfterQuietChange(body->path()), digestOf(data)); // Handed over, not read.
}

// A piece moves from the pipe into the file, by splice or, where the file cannot take one (opened to append), through
// a buffer; a pipe that holds fewer bytes than the piece announced gives what it has, and the digest stays that of the
// bytes written.
TEST(BodyFile, APieceComesFromThePipeAndNoMore)
{
    std::string const data = patterned(1024 * 1024 + 7);
    for (bool appending : { false, true }) {
        FreshBody fresh;
        ASSERT_TRUE(fresh.ready());
        auto& body = fresh.body;
        if (appending)
            setAppendOn(body->path());
        ASSERT_TRUE(appendThroughPipe(*body, data, 300000)) << appending;
        Pipe shortOne;
        ASSERT_EQ(::write(shortOne.in.get(), "tail", 4), 4);
        auto moved = body->appendFrom(shortOne.out.get(), 10);
        ASSERT_TRUE(moved);
        EXPECT_EQ(*moved, 4u);
        EXPECT_EQ(body->length(), data.size() + 4);
        ASSERT_TRUE(body->flush());
        body->handOverDigest();
        EXPECT_EQ(test::readFile(body->path()), data + "tail");
        EXPECT_EQ(digestAfterQuietChange(body->path()), digestOf(data + "tail")); // Handed over, not read.
    }
}
