#include "Quenbury/Sha256Checksum.h"
#include "TestSupport.h"

namespace {

// SHA-256 of "abc" and of the empty input (FIPS 180-4 examples).
std::string const abcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
std::string const emptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string upper(std::string text)
{
    for (auto& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}

TEST(Sha256Checksum, ComparisonOutcomes)
{
    test::TemporaryDirectory folder;
    test::writeFile(folder / "abc", "abc");
    std::string mixed = abcDigest;
    mixed[0] = 'B';
    mixed[7] = 'F';
    struct Row {
        std::string expected;
        bool matches;
    };
    for (auto const& row : std::vector<Row> {
             { abcDigest, true },
             { upper(abcDigest), true },
             { mixed, true },
             { abcDigest + "\n", false },
             { " " + abcDigest, false },
             { abcDigest + " ", false },
             { abcDigest.substr(0, 32), false },
             { "", false },
             { "100%d%n%s", false },
             { emptyDigest, false },
         }) {
        SCOPED_TRACE(row.expected);
        bool result = !row.matches;
        testing::internal::CaptureStdout();
        auto lines = test::loggedBy([&] { result = sha256Checksum(folder / "abc", row.expected); });
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(result, row.matches);
        EXPECT_EQ(lines, (std::vector<std::string> {
                             "downloaded file checksum ->" + abcDigest + "\nGiven checksum ->" + row.expected,
                             row.matches ? "SHA256 checksum validated succesfully NSComparisonResult" : "SHA256 checksum validation failed NSComparisonResult",
                         }));
    }
    EXPECT_EQ(test::readFile(folder / "abc"), "abc");
}

TEST(Sha256Checksum, EmptyAndLargeFiles)
{
    test::TemporaryDirectory folder;
    test::writeFile(folder / "empty", "");
    testing::internal::CaptureStderr();
    EXPECT_TRUE(sha256Checksum(folder / "empty", emptyDigest));
    // Larger than one read, and not a multiple of it.
    test::writeFile(folder / "large", std::string((1 << 20) * 2 + 7, 'a'));
    EXPECT_FALSE(sha256Checksum(folder / "large", emptyDigest));
    auto lines = test::logMessages(testing::internal::GetCapturedStderr());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[2].starts_with("downloaded file checksum ->" + std::string("9894227c2ddb4333"))) << lines[2];
}

TEST(Sha256Checksum, UnreadableFileWritesOnlyToStandardOutput)
{
    test::TemporaryDirectory folder;
    for (std::string path : { folder / "missing", folder.path() }) {
        SCOPED_TRACE(path);
        testing::internal::CaptureStdout();
        bool result = true;
        auto lines = test::loggedBy([&] { result = sha256Checksum(path, abcDigest); });
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(result);
        EXPECT_TRUE(lines.empty());
        EXPECT_TRUE(out.starts_with("Error reading the file or calculating SHA-256: Error Domain=NSPOSIXErrorDomain Code=")) << out;
        EXPECT_TRUE(out.ends_with("}\n")) << out;
    }
}
