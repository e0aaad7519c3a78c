#include "Quenbury/SaveResumeData.h"
#include "TestSupport.h"

#include <unistd.h>

namespace {

platform::Error failure(long code, std::optional<platform::Bytes> resumeData, std::string domain = "NSURLErrorDomain")
{
    platform::Error error;
    error.domain = std::move(domain);
    error.code = code;
    if (resumeData)
        error.userInfo.emplace(platform::UserInfoKey::DownloadTaskResumeData, *resumeData);
    return error;
}

platform::Bytes const blob { 'b', 'p', 'l', 'i', 's', 't', 0, 0xff };

}

TEST(SaveResumeData, DecisionTable)
{
    struct Row {
        char const* name;
        platform::Error error;
        bool existingFile;
        bool result;
        std::vector<std::string> lines; // "<dir>" and "<file>" stand for the paths.
    };
    platform::Error textInsteadOfBytes = failure(-1005, std::nullopt);
    textInsteadOfBytes.userInfo.emplace(platform::UserInfoKey::DownloadTaskResumeData, std::string("not bytes"));
    std::vector<Row> rows {
        { "other code with resume data", failure(-1004, blob), true, false, { "Not saving resume data" } },
        { "cannot find host", failure(-1003, blob), false, false, { "Not saving resume data" } },
        { "interrupted", failure(-999, blob), false, true,
            { "Download interrupted, saving resume data", "Creating directory <dir>", "Directory is <dir>", "Resume data written" } },
        { "lost without data", failure(-1005, std::nullopt), true, false, { "Connection lost, saving resume data", "No resume data generated" } },
        { "data of the wrong type", textInsteadOfBytes, false, false, { "Connection lost, saving resume data", "No resume data generated" } },
        { "lost, first save", failure(-1005, blob), false, true,
            { "Connection lost, saving resume data", "Creating directory <dir>", "Directory is <dir>", "Resume data written" } },
        { "timed out, other domain, replacing", failure(-1001, blob, "NSPOSIXErrorDomain"), true, true,
            { "Connection lost, saving resume data", "Directory is <dir>", "Removing resume data already present at: <file>", "Resume data written" } },
        { "empty blob", failure(-1005, platform::Bytes {}), false, true,
            { "Connection lost, saving resume data", "Creating directory <dir>", "Directory is <dir>", "Resume data written" } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        test::TemporaryDirectory root;
        std::string directory = root / "private/tmp/Library/Ostrel_Agent/store";
        std::string file = directory + "/resume_a_100%_pkg.plist";
        if (row.existingFile)
            test::writeFile(file, "old");
        bool result = !row.result;
        auto lines = test::loggedBy([&] { result = saveResumeData(row.error, file); });
        EXPECT_EQ(result, row.result);
        std::vector<std::string> expected;
        for (auto line : row.lines) {
            if (auto at = line.find("<dir>"); at != std::string::npos)
                line.replace(at, 5, directory);
            if (auto at = line.find("<file>"); at != std::string::npos)
                line.replace(at, 6, file);
            expected.push_back(line);
        }
        EXPECT_EQ(lines, expected);
        auto const* data = row.error.bytes(platform::UserInfoKey::DownloadTaskResumeData);
        if (row.result)
            EXPECT_EQ(test::readFile(file), std::string(data->begin(), data->end()));
        else if (row.existingFile)
            EXPECT_EQ(test::readFile(file), "old");
        else
            EXPECT_FALSE(std::filesystem::exists(file));
        // Nothing but the state file is left beside it.
        if (std::filesystem::exists(directory)) {
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), {}), std::filesystem::exists(file) ? 1 : 0);
        }
    }
}

TEST(SaveResumeData, FailuresAreLoggedAndReturnFalse)
{
    struct Row {
        char const* operation;
        bool existingFile;
        char const* before; // The last line before the failure line.
    };
    for (auto const& row : std::vector<Row> {
             { "createDirectory", false, "Creating directory <dir>" },
             { "removeItem", true, "Removing resume data already present at: <file>" },
             { "createFile", false, "Directory is <dir>" },
         }) {
        SCOPED_TRACE(row.operation);
        test::TemporaryDirectory root;
        std::string directory = root / "tmp/a/b";
        std::string file = directory + "/resume_x.plist";
        if (row.existingFile)
            test::writeFile(file, "old");
        test::FaultyFileManager files;
        std::string target = std::string(row.operation) == "createDirectory" ? directory : file;
        files.failing.insert({ row.operation, target });
        bool result = true;
        auto lines = test::loggedBy([&] { result = saveResumeData(failure(-1005, blob), file); });
        EXPECT_FALSE(result);
        ASSERT_GE(lines.size(), 2u);
        std::string before = row.before;
        if (auto at = before.find("<dir>"); at != std::string::npos)
            before.replace(at, 5, directory);
        if (auto at = before.find("<file>"); at != std::string::npos)
            before.replace(at, 6, file);
        EXPECT_EQ(lines[lines.size() - 2], before);
        std::string op = std::string(row.operation) == "createDirectory" ? "mkdir" : std::string(row.operation) == "removeItem" ? "unlink" : "open";
        EXPECT_EQ(lines.back(), "Data write failed with error:" + test::deniedDescription(op, target));
        EXPECT_EQ(test::readFile(file), row.existingFile ? "old" : "");
    }
}

TEST(SaveResumeData, RefusesLinkedOrForeignFolders)
{
    test::TemporaryDirectory root;
    std::filesystem::create_directories(root / "elsewhere");
    std::filesystem::create_directories(root / "tmp");
    std::filesystem::create_directory_symlink(root / "elsewhere", root / "tmp/Library");
    auto lines = test::loggedBy([&] { EXPECT_FALSE(saveResumeData(failure(-1005, blob), root / "tmp/Library/store/resume_x.plist")); });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[1].starts_with("Data write failed with error:Error Domain=NSPOSIXErrorDomain Code=1 ")) << lines[1];
    EXPECT_NE(lines[1].find(root / "tmp/Library"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(root / "elsewhere"));

    if (::geteuid() == 0) {
        std::filesystem::create_directories(root / "foreign/store");
        ASSERT_EQ(::chown((root / "foreign").c_str(), 65534, 65534), 0);
        lines = test::loggedBy([&] { EXPECT_FALSE(saveResumeData(failure(-1001, blob), root / "foreign/store/resume_x.plist")); });
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_TRUE(lines[1].starts_with("Data write failed with error:Error Domain=NSPOSIXErrorDomain Code=1 ")) << lines[1];
        EXPECT_TRUE(std::filesystem::is_empty(root / "foreign/store"));
    }
}

TEST(SaveResumeData, ReplacesALinkAtTheFileWithoutFollowingIt)
{
    test::TemporaryDirectory root;
    test::writeFile(root / "victim", "precious");
    std::filesystem::create_directories(root / "area");
    std::filesystem::create_symlink(root / "victim", root / "area/resume_x.plist");
    testing::internal::CaptureStderr();
    EXPECT_TRUE(saveResumeData(failure(-1005, blob), root / "area/resume_x.plist"));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(test::readFile(root / "victim"), "precious");
    EXPECT_FALSE(std::filesystem::is_symlink(root / "area/resume_x.plist"));
    EXPECT_EQ(test::readFile(root / "area/resume_x.plist"), std::string(blob.begin(), blob.end()));
}
