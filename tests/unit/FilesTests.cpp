#include "TestSupport.h"
#include "platform/BodyFile.h"
#include "platform/BodyFolder.h"
#include "platform/Sha256.h"

namespace {

platform::FileManager& files() { return platform::FileManager::defaultManager(); }

std::string digestOf(std::string_view data)
{
    platform::Sha256 hash;
    EXPECT_TRUE(hash.update({ reinterpret_cast<std::uint8_t const*>(data.data()), data.size() }));
    return platform::hexString(*hash.finish());
}

std::string fileDigest(std::string const& path) { return platform::hexString(*platform::sha256OfFile(path)); }

std::string pattern(size_t size, int seed)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131 + static_cast<size_t>(seed)) % 251);
    return data;
}

/// Appends `data` in pieces of uneven sizes, as a transfer delivers them.
void append(platform::BodyFile& body, std::string_view data)
{
    for (size_t at = 0, piece = 1; at < data.size(); at += piece, piece = piece * 7 % 300007 + 1)
        ASSERT_TRUE(body.append({ reinterpret_cast<std::uint8_t const*>(data.data() + at), std::min(piece, data.size() - at) }));
}

}

TEST(FileManager, NothingIsReplacedOrLeftBehind)
{
    test::TemporaryDirectory here;
    test::writeFile(here / "a", "body");
    test::writeFile(here / "b", "old");
    EXPECT_EQ(files().moveItem(here / "a", here / "b").error().code, EEXIST);
    EXPECT_EQ(test::readFile(here / "b"), "old");
    ASSERT_TRUE(files().createFile(here / "b", { 'n', 'e', 'w' }));
    EXPECT_EQ(test::readFile(here / "b"), "new");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(here.path), {}), 2); // No temporary left.
}

// Every way a body comes together must leave on disk exactly the bytes given,
// and the digest verification sees must be the digest of those bytes.
TEST(BodyFile, ContentsAndDigestAfterEachWayOfWriting)
{
    std::string const first = pattern(3 * 1024 * 1024 + 12345, 1), second = pattern(2 * 1024 * 1024 + 7, 2);
    std::vector<std::pair<char const*, std::function<std::string(platform::BodyFile&)>>> const rows {
        { "fresh", [&](auto& body) { append(body, first); return first; } },
        { "empty", [&](auto&) { return std::string(); } },
        { "continued after a cut", [&](auto& body) {
             append(body, first);
             EXPECT_TRUE(body.flush());
             // The next run keeps the first 1.5 MiB and receives the rest.
             EXPECT_TRUE(body.truncate(1536 * 1024));
             append(body, std::string_view(first).substr(1536 * 1024));
             return first; } },
        { "started over mid-way", [&](auto& body) { append(body, first); EXPECT_TRUE(body.truncate(0)); append(body, second); return second; } },
    };
    for (auto const& [name, write] : rows) {
        SCOPED_TRACE(name);
        test::TemporaryDirectory root;
        auto folder = platform::BodyFolder::open(root.path);
        ASSERT_TRUE(folder);
        auto body = platform::BodyFile::openLocked(*folder, "body-x");
        ASSERT_TRUE(body && body->truncate(0));
        std::string expected = write(*body);
        ASSERT_TRUE(body->flush());
        EXPECT_EQ(body->length(), expected.size());
        body->rememberDigest();
        EXPECT_EQ(test::readFile(body->path()), expected);
        EXPECT_EQ(fileDigest(body->path()), digestOf(expected));
        // Grown by another writer: the digest is that of what is there now.
        std::ofstream(body->path(), std::ios::app) << "!";
        EXPECT_EQ(fileDigest(body->path()), digestOf(expected + "!"));
    }
    // A copy is another file with the same bytes.
    test::TemporaryDirectory root;
    test::writeFile(root / "copy", first);
    EXPECT_EQ(fileDigest(root / "copy"), digestOf(first));
}
