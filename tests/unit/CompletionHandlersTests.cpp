#include "Quenbury/CompletionHandlers.h"
#include "TestSupport.h"

namespace {

std::string const abcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
std::string const wrongDigest = std::string(64, '0');

/// A run's files: the service's body, the destination and the resume state file.
struct Scene {
    test::TemporaryDirectory root;
    std::string body = root / "service/body";
    std::string destination = root / "store/pkg 1%.pkg";
    std::string resumeState = root / "tmp/resume_pkg.plist";

    Scene()
    {
        test::writeFile(body, "abc");
        std::filesystem::create_directories(root / "store");
        test::writeFile(resumeState, "resume");
    }
    std::optional<platform::URL> location() const { return platform::URL::fileURL(body); }
    std::string destinationURL() const { return platform::URL::fileURL(destination).absoluteString; }
    std::vector<std::string> movedLines() const
    {
        return {
            " file Downloaded location Optional(" + location()->absoluteString + "), move location " + destinationURL(),
            "Download successful. File saved to: " + destinationURL(),
        };
    }
    int complete(DownloadKind kind, std::string const& checksum, std::vector<std::string>& lines,
        std::optional<platform::URL> where, std::optional<platform::Error> error = std::nullopt) const
    {
        int status = -1;
        lines = test::loggedBy([&] { status = completeDownload(kind, resumeState, destination, checksum, where, error); });
        return status;
    }
};

std::vector<std::string> operator+(std::vector<std::string> a, std::vector<std::string> const& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> checksumLines(std::string const& given, bool matched)
{
    return { "downloaded file checksum ->" + abcDigest + "\nGiven checksum ->" + given,
        matched ? "SHA256 checksum validated succesfully NSComparisonResult" : "SHA256 checksum validation failed NSComparisonResult" };
}

}

TEST(CompletionHandlers, FailedTransferSavesResumeDataAndEndsWithOne)
{
    for (auto kind : { DownloadKind::Fresh, DownloadKind::Resumed }) {
        Scene scene;
        platform::Error error = platform::Error::url(-1004, "http://127.0.0.1:1/x", "");
        std::vector<std::string> lines;
        // An error with a location still takes the failure path.
        EXPECT_EQ(scene.complete(kind, abcDigest, lines, scene.location(), error), 1);
        std::string failed = "Download failed with error: " + error.description() + (kind == DownloadKind::Resumed ? " " : "");
        EXPECT_EQ(lines, (std::vector<std::string> { failed, "Not saving resume data" }));
        EXPECT_TRUE(std::filesystem::exists(scene.body));
        EXPECT_FALSE(std::filesystem::exists(scene.destination));
        EXPECT_EQ(test::readFile(scene.resumeState), "resume");
    }
}

TEST(CompletionHandlers, NoBodyAndFailedMoves)
{
    Scene scene;
    std::vector<std::string> lines;
    EXPECT_EQ(scene.complete(DownloadKind::Fresh, abcDigest, lines, std::nullopt), 1);
    EXPECT_EQ(lines, std::vector<std::string> { "Error moving the file nil" });

    // The store directory is missing.
    std::filesystem::remove(scene.root / "store");
    EXPECT_EQ(scene.complete(DownloadKind::Fresh, abcDigest, lines, scene.location()), 1);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], scene.movedLines()[0]);
    EXPECT_TRUE(lines[1].starts_with("Error moving the file: Error Domain=NSPOSIXErrorDomain Code=2 ")) << lines[1];

    // The old file cannot be removed: it stays.
    std::filesystem::create_directories(scene.root / "store");
    test::writeFile(scene.destination, "old");
    test::FaultyFileManager files;
    files.failing.insert({ "removeItem", scene.destination });
    EXPECT_EQ(scene.complete(DownloadKind::Resumed, abcDigest, lines, scene.location()), 1);
    EXPECT_EQ(lines, (std::vector<std::string> { scene.movedLines()[0], "Error moving the file: " + test::deniedDescription("unlink", scene.destination) }));
    EXPECT_EQ(test::readFile(scene.destination), "old");

    // The old file is removed, then the move fails.
    files.failing = { { "moveItem", scene.destination } };
    EXPECT_EQ(scene.complete(DownloadKind::Resumed, abcDigest, lines, scene.location()), 1);
    EXPECT_EQ(lines, (std::vector<std::string> { scene.movedLines()[0], "removing Old File", "Error moving the file: " + test::deniedDescription("rename", scene.destination) }));
    EXPECT_FALSE(std::filesystem::exists(scene.destination));
    EXPECT_EQ(test::readFile(scene.resumeState), "resume");
}

TEST(CompletionHandlers, VerifiedDownloads)
{
    struct Row {
        DownloadKind kind;
        bool oldFile;
        bool resumeStateKept;
    };
    for (auto const& row : std::vector<Row> { { DownloadKind::Fresh, false, true }, { DownloadKind::Fresh, true, true }, { DownloadKind::Resumed, true, false } }) {
        Scene scene;
        if (row.oldFile)
            test::writeFile(scene.destination, "old");
        std::vector<std::string> lines;
        EXPECT_EQ(scene.complete(row.kind, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", lines, scene.location()), 0);
        auto moved = scene.movedLines();
        if (row.oldFile)
            moved.insert(moved.begin() + 1, "removing Old File");
        EXPECT_EQ(lines, moved + checksumLines("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", true));
        EXPECT_EQ(test::readFile(scene.destination), "abc");
        EXPECT_FALSE(std::filesystem::exists(scene.body));
        EXPECT_EQ(std::filesystem::exists(scene.resumeState), row.resumeStateKept);
    }
}

TEST(CompletionHandlers, MismatchAlwaysEndsWithOneAndRemovesTheFile)
{
    struct Row {
        char const* name;
        DownloadKind kind;
        std::set<std::pair<std::string, std::string>> failing; // "<dest>" and "<state>" stand for the paths.
        std::vector<std::string> cleanUpLines;
        bool destinationLeft;
        bool resumeStateLeft;
    };
    for (auto const& row : std::vector<Row> {
             { "fresh", DownloadKind::Fresh, {}, {}, false, true },
             { "fresh, removal fails", DownloadKind::Fresh, { { "removeItem", "<dest>" } }, { "File cannot be deleted <dest-error>" }, true, true },
             { "resumed", DownloadKind::Resumed, {}, {}, false, false },
             { "resumed, state removal fails", DownloadKind::Resumed, { { "removeItem", "<state>" } }, { "Resume plist cannot be deleted <state-error>" }, false, true },
             { "resumed, file removal fails", DownloadKind::Resumed, { { "removeItem", "<dest>" } }, { "Resume plist cannot be deleted <dest-error>" }, true, false },
         }) {
        SCOPED_TRACE(row.name);
        Scene scene;
        test::FaultyFileManager files;
        auto resolve = [&](std::string text) {
            for (auto [mark, value] : std::vector<std::pair<std::string, std::string>> {
                     { "<dest-error>", test::deniedDescription("unlink", scene.destination) },
                     { "<state-error>", test::deniedDescription("unlink", scene.resumeState) },
                     { "<dest>", scene.destination },
                     { "<state>", scene.resumeState } }) {
                if (auto at = text.find(mark); at != std::string::npos)
                    text.replace(at, mark.size(), value);
            }
            return text;
        };
        for (auto const& [operation, path] : row.failing)
            files.failing.insert({ operation, resolve(path) });
        std::vector<std::string> expectedCleanUp;
        for (auto const& line : row.cleanUpLines)
            expectedCleanUp.push_back(resolve(line));
        std::vector<std::string> lines;
        EXPECT_EQ(scene.complete(row.kind, wrongDigest, lines, scene.location()), 1);
        EXPECT_EQ(lines, scene.movedLines() + checksumLines(wrongDigest, false) + expectedCleanUp);
        EXPECT_EQ(std::filesystem::exists(scene.destination), row.destinationLeft);
        EXPECT_EQ(std::filesystem::exists(scene.resumeState), row.resumeStateLeft);
    }
}

TEST(CompletionHandlers, MatchWhoseStateRemovalFailsKeepsZero)
{
    Scene scene;
    test::FaultyFileManager files;
    files.failing.insert({ "removeItem", scene.resumeState });
    std::vector<std::string> lines;
    EXPECT_EQ(scene.complete(DownloadKind::Resumed, abcDigest, lines, scene.location()), 0);
    EXPECT_EQ(lines.back(), "Resume plist cannot be deleted " + test::deniedDescription("unlink", scene.resumeState));
    EXPECT_EQ(test::readFile(scene.destination), "abc");
}
