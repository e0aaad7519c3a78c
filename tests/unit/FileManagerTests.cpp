#include "TestSupport.h"
#include "platform/FileManager.h"
#include "platform/Process.h"
#include "platform/DigestHandOff.h"
#include "platform/Sha256.h"

#include <fstream>

#include <sys/stat.h>

namespace {

platform::FileManager& files() { return platform::FileManager::defaultManager(); }

size_t entries(std::string const& folder) { return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), {})); }

}

TEST(FileManager, MoveNeverReplacesAndWorksAcrossFileSystems)
{
    test::TemporaryDirectory here;
    test::writeFile(here / "a", "body");
    test::writeFile(here / "b", "old");
    auto refused = files().moveItem(here / "a", here / "b");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, EEXIST);
    EXPECT_EQ(test::readFile(here / "b"), "old");

    ASSERT_TRUE(files().moveItem(here / "a", here / "c"));
    EXPECT_EQ(test::readFile(here / "c"), "body");

    struct stat shm {}, local {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(here.path().c_str(), &local) != 0 || shm.st_dev == local.st_dev)
        GTEST_SKIP() << "no second file system";
    std::string other = "/dev/shm/quenbury-move-" + std::to_string(::getpid());
    std::filesystem::create_directory(other);
    std::string big(19 << 20, 'x');
    big += "tail";
    test::writeFile(other + "/body", big);
    ASSERT_TRUE(files().moveItem(other + "/body", here / "moved"));
    EXPECT_EQ(test::readFile(here / "moved"), big);
    // Verification is handed the digest of the bytes copied, and only while the file is unchanged.
    auto digestOf = [](std::string const& data) {
        platform::Sha256 hash;
        EXPECT_TRUE(hash.update({ reinterpret_cast<std::uint8_t const*>(data.data()), data.size() }));
        return platform::hexString(*hash.finish());
    };
    EXPECT_EQ(platform::hexString(*platform::digestOfFile(here / "moved")), digestOf(big));
    std::ofstream(here / "moved", std::ios::app) << "!";
    EXPECT_EQ(platform::hexString(*platform::digestOfFile(here / "moved")), digestOf(big + "!"));
    EXPECT_FALSE(std::filesystem::exists(other + "/body"));
    test::writeFile(other + "/body", "again");
    EXPECT_FALSE(files().moveItem(other + "/body", here / "moved"));
    EXPECT_EQ(test::readFile(other + "/body"), "again");
    EXPECT_EQ(entries(here.path()), 3u); // b, c, moved: no temporary left.
    std::filesystem::remove_all(other);
}

TEST(FileManager, CreateFileIsWholeAndLeavesNoTemporary)
{
    test::TemporaryDirectory here;
    ASSERT_TRUE(files().createFile(here / "f", { 1, 2, 3 }));
    ASSERT_TRUE(files().createFile(here / "f", {}));
    EXPECT_EQ(test::readFile(here / "f"), "");
    EXPECT_EQ(entries(here.path()), 1u);
    auto missing = files().createFile(here / "no/f", { 1 });
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ENOENT);
}

TEST(FileManager, ExistenceAndRemoval)
{
    test::TemporaryDirectory here;
    std::filesystem::create_directories(here / "d/e");
    test::writeFile(here / "d/e/f", "x");
    std::filesystem::create_symlink(here / "nowhere", here / "dangling");
    std::filesystem::create_symlink(here / "d", here / "link");
    EXPECT_TRUE(files().fileExists(here / "d"));
    EXPECT_TRUE(files().fileExists(here / "link"));
    EXPECT_FALSE(files().fileExists(here / "dangling"));
    EXPECT_EQ(files().attributesOfItem(here / "link")->type, platform::FileType::SymbolicLink);

    // A link is removed, never what it points to; a folder only when empty.
    ASSERT_TRUE(files().removeItem(here / "link"));
    EXPECT_TRUE(std::filesystem::exists(here / "d/e/f"));
    EXPECT_FALSE(files().removeItem(here / "d/e"));
    ASSERT_TRUE(files().removeItem(here / "d/e/f"));
    ASSERT_TRUE(files().removeItem(here / "d/e"));
    EXPECT_FALSE(files().removeItem(here / "d/e"));

    ASSERT_TRUE(files().createDirectory(here / "x/y/z", true));
    EXPECT_TRUE(files().createDirectory(here / "x/y/z", true));
    EXPECT_FALSE(files().createDirectory(here / "p/q", false));
}

TEST(FileManager, WholeFileReads)
{
    test::TemporaryDirectory here;
    test::writeFile(here / "f", std::string(100000, 'q'));
    EXPECT_EQ(files().contentsOfFile(here / "f")->size(), 100000u);
    EXPECT_EQ(files().contentsOfFile(here.path()).error().code, EISDIR);
    EXPECT_EQ(files().contentsOfFile(here / "none").error().code, ENOENT);
    // A planted FIFO must not block the run.
    ASSERT_EQ(::mkfifo((here / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(files().contentsOfFile(here / "fifo"));
}

TEST(Process, LeftoverBodyIsRemovedOnlyWhileItIsOurs)
{
    test::TemporaryDirectory here;
    test::writeFile(here / "body", "ours");
    platform::setPendingTemporaryFile(here / "body");
    // Another run's body now has the name (a new file renamed over it).
    test::writeFile(here / "theirs", "theirs");
    std::filesystem::rename(here / "theirs", here / "body");
    platform::removePendingTemporaryFile();
    EXPECT_EQ(test::readFile(here / "body"), "theirs");
    platform::setPendingTemporaryFile(here / "body");
    platform::removePendingTemporaryFile();
    EXPECT_FALSE(std::filesystem::exists(here / "body"));
}
