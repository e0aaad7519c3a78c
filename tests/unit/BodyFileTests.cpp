// SPDX-License-Identifier: Apache-2.0
#include "TestSupport.h"
#include "platform/BodyFile.h"
#include "platform/BodyFolder.h"
#include "platform/DigestHandOff.h"
#include "platform/FileManager.h"
#include "platform/Process.h"

namespace {

std::string digestOf(std::string_view data)
{
    platform::Sha256 hash;
    EXPECT_TRUE(hash.update({ reinterpret_cast<std::uint8_t const*>(data.data()), data.size() }));
    return platform::hexString(*hash.finish());
}

std::string fileDigest(std::string const& path)
{
    return platform::hexString(*platform::digestOfFile(path));
}

}

// The digest verification takes from the body must be that of the bytes on
// disk: after pieces of uneven sizes, a cut and a continuation, after a move
// across volumes, and once another writer has changed the file.
TEST(BodyFile, TheRememberedDigestIsThatOfTheFileAsItIs)
{
    std::string data(3 * 1024 * 1024 + 12345, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 % 251);
    test::TemporaryDirectory root;
    auto folder = platform::BodyFolder::open(root.path);
    ASSERT_TRUE(folder);
    auto body = platform::BodyFile::openLocked(*folder, "body-x");
    ASSERT_TRUE(body && body->truncate(0));
    for (size_t at : { 0uz, 1536uz * 1024 }) {
        // The second pass keeps the first 1.5 MiB, as a resumed run does, and receives the rest.
        ASSERT_TRUE(body->truncate(at));
        for (size_t piece = 1; at < data.size(); at += piece, piece = piece * 7 % 300007 + 1)
            ASSERT_TRUE(body->append(
                { reinterpret_cast<std::uint8_t const*>(data.data() + at), std::min(piece, data.size() - at) }));
        ASSERT_TRUE(body->flush());
    }
    EXPECT_EQ(body->length(), data.size());
    body->handOverDigest();
    EXPECT_EQ(test::readFile(body->path()), data);
    EXPECT_EQ(fileDigest(body->path()), digestOf(data));
    std::ofstream(body->path(), std::ios::app) << "!";
    EXPECT_EQ(fileDigest(body->path()), digestOf(data + "!"));
    test::writeFile(root / "copy", data); // Another file with the same bytes.
    EXPECT_EQ(fileDigest(root / "copy"), digestOf(data));
    // From another volume the move copies, and hands over the digest of the bytes it copied.
    std::string const elsewhere = "/dev/shm/quenbury-move-" + std::to_string(::getpid());
    test::writeFile(elsewhere, data + "?");
    ASSERT_TRUE(platform::FileManager::defaultManager().moveItem(elsewhere, root / "moved"));
    EXPECT_EQ(fileDigest(root / "moved"), digestOf(data + "?"));
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
}

TEST(Process, TheLeftoverBodyIsRemovedOnlyWhileItIsOurs)
{
    test::TemporaryDirectory here;
    test::writeFile(here / "body", "ours");
    platform::setPendingTemporaryFile(here / "body");
    test::writeFile(here / "theirs", "theirs"); // Another run's body now has the name.
    std::filesystem::rename(here / "theirs", here / "body");
    platform::removePendingTemporaryFile();
    EXPECT_EQ(test::readFile(here / "body"), "theirs");
    platform::setPendingTemporaryFile(here / "body");
    platform::removePendingTemporaryFile();
    EXPECT_FALSE(std::filesystem::exists(here / "body"));
}
