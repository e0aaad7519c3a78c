// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/ResumeDownloadPlistName.h"
#include "Quenbury/SaveResumeData.h"
#include "TestSupport.h"

#include <atomic>
#include <thread>

TEST(ResumeDownloadPlistName, WorkedExamples)
{
    std::vector<std::pair<std::string, std::string>> const rows {
        { "/Library/Ostrel_Agent/store/Upgrade.14.pkg", "Library/Ostrel_Agent/store/resume_Upgrade_14_pkg.plist" },
        { "/Library/Ostrel_Agent/store/sub.dir/image.dmg",
            "Library/Ostrel_Agent/store/sub.dir/resume_image_dmg.plist" },
        { "/Library/Ostrel_Agent/store/", "Library/Ostrel_Agent/resume_store.plist" },
        { "//var//data/pkgs/", "var/data/resume_pkgs.plist" },
        { "/store/.hidden", "store/resume__hidden.plist" },
        { "/x", "/resume_x.plist" },
        { "package.pkg", "/resume_package_pkg.plist" },
        { "/a/../b.pkg", "a/../resume_b_pkg.plist" },
        { "/d/..", "d/resume___.plist" },
        { "/d/a_pkg", "d/resume_a_pkg.plist" },
        { "/p%d/100%.pkg", "p%d/resume_100%_pkg.plist" },
        { "", "" },
        { "/", "" },
        { "///", "" },
    };
    for (auto const& [destination, name] : rows) {
        std::expected<std::string, ResumeDownloadError> made;
        auto lines = test::loggedBy([&] { made = resumeDownloadPlistName(destination); });
        std::vector<std::string> expected { "Inside resume plist file name generator", "Resume plist :" + name };
        if (name.empty()) {
            ASSERT_FALSE(made) << destination;
            EXPECT_EQ(made.error().kind, ResumeDownloadError::Kind::fileNameError);
            EXPECT_EQ(made.error().message, "Error in file path seperator");
            expected.pop_back();
        } else {
            EXPECT_EQ(made, name);
        }
        EXPECT_EQ(lines, expected) << destination;
    }
}

TEST(SaveResumeData, DecisionTable)
{
    platform::Bytes const blob { 'b', 'p', 0, 0xff };
    auto failure = [](long code, std::optional<platform::Bytes> data, std::string domain = "NSURLErrorDomain") {
        platform::Error error;
        error.domain = std::move(domain);
        error.code = code;
        if (data)
            error.userInfo.emplace(platform::UserInfoKey::DownloadTaskResumeData, *data);
        return error;
    };
    auto textInsteadOfBytes = failure(-1005, std::nullopt);
    textInsteadOfBytes.userInfo.emplace(platform::UserInfoKey::DownloadTaskResumeData, std::string("not bytes"));
    test::TemporaryDirectory root;
    std::string const directory = root / "private/tmp/Library/Ostrel_Agent/store",
                      file = directory + "/resume_a_100%_pkg.plist";
    std::string const lost = "Connection lost, saving resume data", creating = "Creating directory " + directory,
                      in = "Directory is " + directory, removing = "Removing resume data already present at: " + file,
                      written = "Resume data written";
    struct Row {
        platform::Error error;
        bool existingFile;
        std::string
            failing; // An operation that fails on the folder (mkdir) or the file; its description ends the lines.
        std::vector<std::string> lines;
        bool abandoned = false; // A temporary sibling left by a run killed while it saved.
    };
    for (auto const& row : std::vector<Row> {
             { failure(-1004, blob), true, "", { "Not saving resume data" } },
             { failure(-1003, blob), false, "", { "Not saving resume data" } },
             { failure(-999, blob), false, "", { "Download interrupted, saving resume data", creating, in, written } },
             { failure(-1005, std::nullopt), true, "", { lost, "No resume data generated" } },
             { textInsteadOfBytes, false, "", { lost, "No resume data generated" } },
             { failure(-1005, blob), false, "", { lost, creating, in, written } },
             { failure(-1001, blob, "NSPOSIXErrorDomain"), true, "", { lost, in, removing, written } },
             { failure(-1005, platform::Bytes {}), false, "", { lost, creating, in, written } },
             { failure(-1005, blob), false, "mkdir", { lost, creating } },
             { failure(-1005, blob), true, "", { lost, in, removing, written }, true },
             { failure(-1005, blob), true, "rename", { lost, in, removing } },
             { failure(-1005, blob), false, "open", { lost, creating, in } },
         }) {
        SCOPED_TRACE(std::to_string(row.error.code) + " " + row.failing);
        std::filesystem::remove_all(root / "private");
        if (row.existingFile)
            test::writeFile(file, "old");
        if (row.abandoned)
            test::writeFile(directory + "/.resume_a_100%_pkg.plist.quenbury-0123456789abcdef", "half");
        test::FaultyFileManager files;
        std::string target = row.failing == "mkdir" ? directory : file;
        files.failing.insert({ row.failing, target });
        bool result = false;
        auto lines = test::loggedBy([&] { result = saveResumeData(row.error, file); });
        auto expected = row.lines;
        if (!row.failing.empty())
            expected.push_back("Data write failed with error:"
                + platform::Error::fromErrno(row.failing, target, EACCES).description());
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(result, expected.back() == written);
        auto const* data = row.error.bytes(platform::UserInfoKey::DownloadTaskResumeData);
        EXPECT_EQ(test::readFile(file),
            result                 ? std::string(data->begin(), data->end())
                : row.existingFile ? "old"
                                   : "");
        // Owner-only whatever the umask: the state holds the URL, and URLs carry secrets.
        using std::filesystem::perms;
        if (result) {
            EXPECT_EQ(std::filesystem::status(file).permissions(), perms::owner_read | perms::owner_write);
            EXPECT_EQ(
                std::filesystem::status(directory).permissions(), row.existingFile ? perms(0755) : perms::owner_all);
        }
        // Nothing but the state file is left beside it.
        if (std::filesystem::exists(directory)) {
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), {}),
                std::filesystem::exists(file) ? 1 : 0);
        }
    }
}

// A user who swaps a link in for a resume-area folder while root saves must
// never make root create or write outside the area's own tree.
TEST(SaveResumeData, LinkSwappedInWhileSaving)
{
    test::TemporaryDirectory root;
    std::string const folder = root / "private/tmp/Library", outside = root / "outside";
    std::filesystem::create_directories(outside);
    platform::Error error;
    error.code = platform::URLErrorCode::NetworkConnectionLost;
    error.userInfo.emplace(platform::UserInfoKey::DownloadTaskResumeData, platform::Bytes { 'b' });
    std::atomic<bool> done = false;
    std::thread swapper([&] {
        while (!done) {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
            std::filesystem::create_directory_symlink(outside, folder, ignored);
            std::this_thread::yield();
            std::filesystem::remove(folder, ignored);
        }
    });
    std::string const state = folder + "/Ostrel_Agent/store/resume_a_pkg.plist";
    bool savedOnceQuiet = false;
    test::loggedBy([&] {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
             std::chrono::steady_clock::now() < end;)
            (void)saveResumeData(error, state);
        done = true;
        swapper.join();
        savedOnceQuiet = saveResumeData(error, state);
    });
    EXPECT_TRUE(std::filesystem::is_empty(outside));
    EXPECT_TRUE(savedOnceQuiet);
}
