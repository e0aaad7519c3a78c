// SPDX-License-Identifier: Apache-2.0
// The body on disk: the digest it hands to verification, its removal when a run ends, and the folder it grows in.
#include "TestSupport.h"
#include "platform/BodyFile.h"
#include "platform/BodyFolder.h"
#include "platform/BodyFolderChoice.h"
#include "platform/DigestHandOff.h"
#include "platform/DownloadSession.h"
#include "platform/FileManager.h"
#include "platform/HashingWriter.h"
#include "platform/Process.h"

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
template<typename Writer> bool appendThroughPipe(Writer& writer, std::string_view data, size_t piece = 65536)
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

}

// The digest verification takes from the body must be that of the bytes on disk: after pieces of uneven sizes, once
// another writer has changed the file, and after a move across volumes. A cut and a continuation are end-to-end rows.
TEST(BodyFile, TheRememberedDigestIsThatOfTheFileAsItIs)
{
    std::string const data = patterned(3 * 1024 * 1024 + 12345);
    test::TemporaryDirectory root;
    auto folder = platform::BodyFolder::open(root / "bodies", true);
    ASSERT_TRUE(folder);
    auto body = platform::BodyFile::openLocked(*folder, "body-x");
    ASSERT_TRUE(body && body->truncate(0));
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
    test::TemporaryDirectory root;
    auto folder = platform::BodyFolder::open(root / "bodies", true);
    ASSERT_TRUE(folder);
    auto body = platform::BodyFile::openLocked(*folder, "body-x");
    ASSERT_TRUE(body && body->truncate(0));
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
TEST(HashingWriter, APieceComesFromThePipeAndNoMore)
{
    std::string const data = patterned(1024 * 1024 + 7);
    test::TemporaryDirectory root;
    for (int flags : { 0, O_APPEND }) {
        platform::FileDescriptor file(::open((root / "f").c_str(), O_RDWR | O_CREAT | O_TRUNC | flags, 0600));
        platform::HashingWriter writer(file.get(), root / "f");
        ASSERT_TRUE(appendThroughPipe(writer, data, 300000)) << flags;
        Pipe shortOne;
        ASSERT_EQ(::write(shortOne.in.get(), "tail", 4), 4);
        auto moved = writer.appendFrom(shortOne.out.get(), 10);
        ASSERT_TRUE(moved);
        EXPECT_EQ(*moved, 4u);
        EXPECT_EQ(writer.length(), data.size() + 4);
        auto digest = writer.finishDigest();
        ASSERT_TRUE(digest);
        EXPECT_EQ(platform::hexString(*digest), digestOf(data + "tail"));
        EXPECT_EQ(test::readFile(root / "f"), data + "tail");
    }
}

// What a run that ends tidies: a leftover body only while it is ours, and the body folder, but never another run's.
TEST(Process, TheLeftoverBodyIsRemovedOnlyWhileItIsOurs)
{
    test::TemporaryDirectory here;
    platform::FileDescriptor folderOfBodies(::open(here.path.c_str(), O_RDONLY | O_DIRECTORY));
    test::writeFile(here / "body", "ours");
    auto ours = platform::identityAt(folderOfBodies.get(), "body");
    test::writeFile(here / "theirs", "theirs"); // Another run's body now has the name.
    std::filesystem::rename(here / "theirs", here / "body");
    platform::setExitTidy([&] { platform::unlinkIfStill(folderOfBodies.get(), "body", *ours); });
    platform::tidyNow();
    EXPECT_EQ(test::readFile(here / "body"), "theirs");
    ours = platform::identityAt(folderOfBodies.get(), "body");
    platform::setExitTidy([&] { platform::unlinkIfStill(folderOfBodies.get(), "body", *ours); });
    platform::tidyNow();
    EXPECT_FALSE(std::filesystem::exists(here / "body"));
    // The body folder goes with its last body, and not while another run holds it.
    auto folder = platform::BodyFolder::open(here / "folder", true);
    auto other = platform::BodyFolder::open(here / "folder", true);
    ASSERT_TRUE(folder && other);
    test::writeFile(here / "folder/body", "kept for resuming");
    EXPECT_FALSE(folder->removeIfEmpty());
    EXPECT_TRUE(std::filesystem::exists(here / "folder/body"));
    std::filesystem::remove(here / "folder/body");
    EXPECT_FALSE(folder->removeIfEmpty());
    EXPECT_TRUE(std::filesystem::exists(here / "folder"));
    other = std::unexpected(platform::Error {});
    EXPECT_TRUE(folder->removeIfEmpty());
    EXPECT_FALSE(std::filesystem::exists(here / "folder"));
    // The next run makes it again.
    auto again = platform::BodyFolder::open(here / "folder", true);
    EXPECT_TRUE(again && std::filesystem::exists(here / "folder"));
    // A task whose handler returns leaves nothing for a later exit: its empty body folder goes when it ends.
    bool called = false;
    {
        platform::URLSession session(platform::URLSessionConfiguration::defaultConfiguration());
        session
            .downloadTask(*platform::URL::fromString("ftp://h/p"), here / "a.pkg",
                [&](auto, auto, auto error) { called = error.has_value(); })
            ->resume();
    }
    EXPECT_TRUE(called);
    EXPECT_FALSE(std::filesystem::exists(here / ".quenbury-partial"));
}

// A recorded folder is taken only when the service would choose it itself in this run; crafted resume data never
// points a body elsewhere, and nothing is planned beside a destination whose folder was not opened. Where a fresh body
// goes, with or without its destination's folder, is end-to-end rows.
TEST(BodyFolderChoice, ChoosesOnlyFoldersOfItsOwn)
{
    namespace plan = platform::plan;
    platform::BodyFolderLocations const here { "/Library/A/store/sub", "/var/tmp" };
    auto recorded = [](std::string folder) {
        return platform::ResumeData { "http://h/p", "body-x", 1, "\"t\"", "", std::nullopt, std::move(folder) };
    };
    std::optional<int> const opened = 7, missing;
    for (auto const& [name, resume, folder, expected] :
        std::vector<std::tuple<char const*, std::optional<platform::ResumeData>, std::optional<int>,
            platform::BodyFolderPlan>> { { "fresh", std::nullopt, opened, plan::Beside { 7 } },
            { "fresh, the destination's folder missing", std::nullopt, missing, plan::FreshTemporary {} },
            { "beside this destination", recorded("/Library/A/store/sub/.quenbury-partial"), opened,
                plan::Beside { 7 } },
            { "beside, the destination's folder gone", recorded("/Library/A/store/sub/.quenbury-partial"), missing,
                plan::FreshTemporary {} },
            { "made beside this destination", recorded("/Library/A/store/sub/.quenbury-partial-AbC123"), opened,
                plan::RecordedBeside { 7, ".quenbury-partial-AbC123" } },
            { "made beside, the destination's folder gone", recorded("/Library/A/store/sub/.quenbury-partial-AbC123"),
                missing, plan::FreshTemporary {} },
            { "made beside another destination", recorded("/Library/A/store/.quenbury-partial-AbC123"), opened,
                plan::Beside { 7 } },
            { "made in the temporary folder", recorded("/var/tmp/quenbury-AbC123"), missing,
                plan::RecordedTemporary { "quenbury-AbC123" } },
            { "older data, no folder recorded", recorded(""), opened, plan::Beside { 7 } },
            { "beside another destination", recorded("/Library/A/store/.quenbury-partial"), opened,
                plan::Beside { 7 } },
            { "elsewhere", recorded("/etc"), missing, plan::FreshTemporary {} },
            { "not a made name", recorded("/var/tmp/quenbury-AbC12"), opened, plan::Beside { 7 } },
            { "beneath a made folder", recorded("/var/tmp/quenbury-AbC123/x"), opened, plan::Beside { 7 } },
            { "another temporary folder", recorded("/tmp/quenbury-AbC123"), opened, plan::Beside { 7 } } })
        EXPECT_EQ(platform::chooseBodyFolder(resume, here, folder), expected) << name;
    // Where that choice cannot be made (no destination's folder, no temporary folder), no folder is handed out.
    test::TemporaryDirectory nowhere;
    EXPECT_FALSE(platform::openBodyFolder(std::nullopt, "", nowhere / "missing"));
}
