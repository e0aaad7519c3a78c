#include "TestSupport.h"
#include "platform/BodyFile.h"
#include "platform/BodyFolder.h"
#include "platform/Sha256.h"

namespace {

std::string digestOf(std::string_view data)
{
    platform::Sha256 hash;
    EXPECT_TRUE(hash.update({ reinterpret_cast<std::uint8_t const*>(data.data()), data.size() }));
    return platform::hexString(*hash.finish());
}

std::string fileDigest(std::string const& path) { return platform::hexString(*platform::sha256OfFile(path)); }

}

// The digest verification takes from the body must be that of the bytes on
// disk: after pieces of uneven sizes, a cut and a continuation, and once
// another writer has changed the file.
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
            ASSERT_TRUE(body->append({ reinterpret_cast<std::uint8_t const*>(data.data() + at), std::min(piece, data.size() - at) }));
        ASSERT_TRUE(body->flush());
    }
    EXPECT_EQ(body->length(), data.size());
    body->rememberDigest();
    EXPECT_EQ(test::readFile(body->path()), data);
    EXPECT_EQ(fileDigest(body->path()), digestOf(data));
    std::ofstream(body->path(), std::ios::app) << "!";
    EXPECT_EQ(fileDigest(body->path()), digestOf(data + "!"));
    test::writeFile(root / "copy", data); // Another file with the same bytes.
    EXPECT_EQ(fileDigest(root / "copy"), digestOf(data));
}
