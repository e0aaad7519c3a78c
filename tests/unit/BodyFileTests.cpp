#include "TestSupport.h"
#include "platform/BodyFile.h"
#include "platform/DigestHandOff.h"
#include "platform/BodyFolder.h"
#include "platform/Sha256.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string digestOf(std::string_view data)
{
    platform::Sha256 hash;
    EXPECT_TRUE(hash.update({ reinterpret_cast<std::uint8_t const*>(data.data()), data.size() }));
    return platform::hexString(*hash.finish());
}

std::string pattern(size_t size, int seed)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131 + static_cast<size_t>(seed)) % 251);
    return data;
}

/// Appends `data` in pieces of uneven sizes, as a transfer delivers them.
void appendInPieces(platform::BodyFile& body, std::string_view data)
{
    for (size_t at = 0, piece = 1; at < data.size(); at += piece, piece = piece * 7 % 300007 + 1) {
        auto part = data.substr(at, piece);
        ASSERT_TRUE(body.append({ reinterpret_cast<std::uint8_t const*>(part.data()), part.size() }));
    }
}

}

// Every way a body comes together must leave on disk exactly the bytes given,
// and the digest verification sees must be the digest of those bytes.
TEST(BodyFile, ContentsAndDigestAfterEachWayOfWriting)
{
    struct Row {
        char const* name;
        std::function<std::string(platform::BodyFile&)> write;
    };
    std::string const first = pattern(3 * 1024 * 1024 + 12345, 1);
    std::string const second = pattern(2 * 1024 * 1024 + 7, 2);
    std::vector<Row> rows {
        { "fresh", [&](auto& body) { EXPECT_TRUE(body.truncate(0)); appendInPieces(body, first); return first; } },
        { "empty", [&](auto& body) { EXPECT_TRUE(body.truncate(0)); return std::string(); } },
        { "continued after a cut", [&](auto& body) {
             EXPECT_TRUE(body.truncate(0));
             appendInPieces(body, first);
             EXPECT_TRUE(body.flush());
             // The next run keeps the first 1.5 MiB and receives the rest.
             EXPECT_TRUE(body.truncate(1536 * 1024));
             appendInPieces(body, std::string_view(first).substr(1536 * 1024));
             return first; } },
        { "started over mid-way", [&](auto& body) {
             EXPECT_TRUE(body.truncate(0));
             appendInPieces(body, first);
             EXPECT_TRUE(body.truncate(0));
             appendInPieces(body, second);
             return second; } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        test::TemporaryDirectory root;
        auto folder = platform::BodyFolder::open(root.path());
        ASSERT_TRUE(folder);
        auto body = platform::BodyFile::openLocked(*folder, "body-x");
        ASSERT_TRUE(body);
        std::string expected = row.write(*body);
        ASSERT_TRUE(body->flush());
        EXPECT_EQ(body->length(), expected.size());
        body->handOverDigest();
        EXPECT_EQ(test::readFile(body->path()), expected);
        auto digest = platform::digestOfFile(body->path());
        ASSERT_TRUE(digest);
        EXPECT_EQ(platform::hexString(*digest), digestOf(expected));
    }
}

TEST(BodyFile, ARememberedDigestIsNotUsedForAChangedFile)
{
    test::TemporaryDirectory root;
    auto folder = platform::BodyFolder::open(root.path());
    ASSERT_TRUE(folder);
    auto body = platform::BodyFile::openLocked(*folder, "body-y");
    ASSERT_TRUE(body);
    std::string data = pattern(1024 * 1024 + 1, 3);
    ASSERT_TRUE(body->truncate(0));
    appendInPieces(*body, data);
    ASSERT_TRUE(body->flush());
    body->handOverDigest();

    // Grown by another writer: the digest is that of what is there now.
    int fd = ::open(body->path().c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "!", 1), 1);
    ::close(fd);
    EXPECT_EQ(platform::hexString(*platform::digestOfFile(body->path())), digestOf(data + "!"));

    // A copy is another file with the same bytes.
    test::writeFile(root / "copy", data);
    EXPECT_EQ(platform::hexString(*platform::digestOfFile(root / "copy")), digestOf(data));
}
