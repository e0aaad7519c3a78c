#include "Quenbury/CompletionHandlers.h"
#include "Quenbury/Sha256Checksum.h"
#include "TestSupport.h"

namespace {

// SHA-256 of "abc" (FIPS 180-4).
std::string const abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
std::string const wrong(64, '0');

}

TEST(Sha256Checksum, ComparisonOutcomes)
{
    test::TemporaryDirectory folder;
    test::writeFile(folder / "abc", "abc");
    std::string const upper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", mixed = "B" + abc.substr(1);
    for (auto const& [given, matches] : std::vector<std::pair<std::string, bool>> {
             { abc, true }, { upper, true }, { mixed, true }, { abc + "\n", false }, { " " + abc, false }, { abc + " ", false },
             { abc.substr(0, 32), false }, { "", false }, { "100%d%n%s", false },
             { "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", false } }) {
        bool result = !matches;
        testing::internal::CaptureStdout();
        auto lines = test::loggedBy([&] { result = sha256Checksum(folder / "abc", given); });
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(result, matches) << given;
        EXPECT_EQ(lines, (std::vector<std::string> { "downloaded file checksum ->" + abc + "\nGiven checksum ->" + given,
                             matches ? "SHA256 checksum validated succesfully NSComparisonResult" : "SHA256 checksum validation failed NSComparisonResult" }));
    }
    // A file that cannot be read writes to standard output only.
    testing::internal::CaptureStdout();
    EXPECT_TRUE(test::loggedBy([&] { EXPECT_FALSE(sha256Checksum(folder.path, abc)); }).empty());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error reading the file or calculating SHA-256: " + platform::Error::fromErrno("read", folder.path, EISDIR).description() + "\n");
}

TEST(CompletionHandlers, DecisionTable)
{
    struct Row {
        char const* name;
        DownloadKind kind;
        std::string checksum;
        bool failed, hasBody, oldFile;
        std::pair<std::string, std::string> failing; // (operation, "dest" or "state")
        int status;
        std::vector<std::string> lines; // <moved> <saved> <match> <mismatch> stand for lines, <failure> for the failure's description.
        std::string destinationAfter; // "" for none
        bool stateLeft;
    };
    for (auto const& row : std::vector<Row> {
             { "failed fresh", DownloadKind::Fresh, abc, true, true, false, {}, 1, { "Download failed with error: <error>", "Not saving resume data" }, "", true },
             { "failed resumed", DownloadKind::Resumed, abc, true, true, false, {}, 1, { "Download failed with error: <error> ", "Not saving resume data" }, "", true },
             { "no body", DownloadKind::Fresh, abc, false, false, false, {}, 1, { "Error moving the file nil" }, "", true },
             { "old file stays", DownloadKind::Resumed, abc, false, true, true, { "unlink", "dest" }, 1, { "<moved>", "Error moving the file: <failure>" }, "old", true },
             { "move fails", DownloadKind::Resumed, abc, false, true, true, { "rename", "dest" }, 1, { "<moved>", "removing Old File", "Error moving the file: <failure>" }, "", true },
             { "fresh", DownloadKind::Fresh, abc, false, true, false, {}, 0, { "<moved>", "<saved>", "<match>" }, "abc", true },
             { "resumed over an old file", DownloadKind::Resumed, abc, false, true, true, {}, 0, { "<moved>", "removing Old File", "<saved>", "<match>" }, "abc", false },
             { "resumed, state stays", DownloadKind::Resumed, abc, false, true, false, { "unlink", "state" }, 0, { "<moved>", "<saved>", "<match>", "Resume plist cannot be deleted <failure>" }, "abc", true },
             { "fresh mismatch", DownloadKind::Fresh, wrong, false, true, false, {}, 1, { "<moved>", "<saved>", "<mismatch>" }, "", true },
             { "fresh mismatch stays", DownloadKind::Fresh, wrong, false, true, false, { "unlink", "dest" }, 1, { "<moved>", "<saved>", "<mismatch>", "File cannot be deleted <failure>" }, "abc", true },
             { "resumed mismatch", DownloadKind::Resumed, wrong, false, true, false, {}, 1, { "<moved>", "<saved>", "<mismatch>" }, "", false },
             { "resumed mismatch, state stays", DownloadKind::Resumed, wrong, false, true, false, { "unlink", "state" }, 1, { "<moved>", "<saved>", "<mismatch>", "Resume plist cannot be deleted <failure>" }, "", true },
             { "resumed mismatch stays", DownloadKind::Resumed, wrong, false, true, false, { "unlink", "dest" }, 1, { "<moved>", "<saved>", "<mismatch>", "Resume plist cannot be deleted <failure>" }, "abc", false },
         }) {
        SCOPED_TRACE(row.name);
        test::TemporaryDirectory root;
        std::string body = root / "service/body", destination = root / "store/pkg 1%.pkg", state = root / "tmp/resume_pkg.plist";
        test::writeFile(body, "abc");
        test::writeFile(state, "resume");
        test::writeFile(destination, "old");
        if (!row.oldFile)
            std::filesystem::remove(destination);
        test::FaultyFileManager files;
        std::string target = row.failing.second == "dest" ? destination : state;
        files.failing.insert({ row.failing.first, target });
        auto location = platform::URL::fileURL(body);
        auto error = platform::Error::url(-1004, "http://127.0.0.1:1/x", "");
        int status = -1;
        auto lines = test::loggedBy([&] {
            status = completeDownload(row.kind, state, destination, row.checksum, row.hasBody ? std::optional(location) : std::nullopt,
                row.failed ? std::optional(error) : std::nullopt);
        });
        std::string checked = "downloaded file checksum ->" + abc + "\nGiven checksum ->" + row.checksum;
        std::map<std::string, std::vector<std::string>> const marks {
            { "<moved>", { " file Downloaded location Optional(" + location.absoluteString + "), move location " + platform::URL::fileURL(destination).absoluteString } },
            { "<saved>", { "Download successful. File saved to: " + platform::URL::fileURL(destination).absoluteString } },
            { "<match>", { checked, "SHA256 checksum validated succesfully NSComparisonResult" } },
            { "<mismatch>", { checked, "SHA256 checksum validation failed NSComparisonResult" } },
        };
        std::vector<std::string> expected;
        for (auto line : row.lines) {
            if (auto at = line.find("<error>"); at != std::string::npos)
                line.replace(at, 7, error.description());
            if (auto at = line.find("<failure>"); at != std::string::npos)
                line.replace(at, 9, test::denied(row.failing.first, target));
            auto const& add = marks.contains(line) ? marks.at(line) : std::vector { line };
            expected.insert(expected.end(), add.begin(), add.end());
        }
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(std::filesystem::exists(destination) ? test::readFile(destination) : "", row.destinationAfter);
        EXPECT_EQ(std::filesystem::exists(state), row.stateLeft);
        EXPECT_EQ(std::filesystem::exists(body), row.failed || !row.hasBody || row.lines.back().starts_with("Error moving"));
    }
}
