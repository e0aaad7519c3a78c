// SPDX-License-Identifier: Apache-2.0
// The resume state's file name for a destination, and saving the state where the end-to-end rows cannot reach:
// failures of the file system, resume data of odd shapes, and a link swapped in while root saves.
#include "Quenbury/ResumeDownloadPlistName.h"
#include "Quenbury/SaveResumeData.h"
#include "TestSupport.h"

#include <atomic>
#include <thread>

namespace {

/// A lost connection's error that carries `data` as its resume data.
platform::Error lostWith(platform::UserInfoValue data)
{
    platform::Error error;
    error.code = platform::URLErrorCode::NetworkConnectionLost;
    error.userInfo.emplace(platform::UserInfoKey::DownloadTaskResumeData, std::move(data));
    return error;
}

}

// The names of ordinary destinations are in every end-to-end row; these are the odd ones ("" for refused).
TEST(ResumeDownloadPlistName, OddDestinations)
{
    std::vector<std::pair<std::string, std::string>> const rows {
        { "/Library/A/store/sub.dir/image.dmg", "Library/A/store/sub.dir/resume_image_dmg.plist" },
        { "/Library/Ostrel_Agent/store/", "Library/Ostrel_Agent/resume_store.plist" },
        { "//var//data/pkgs/", "var/data/resume_pkgs.plist" },
        { "/store/.hidden", "store/resume__hidden.plist" },
        { "/x", "/resume_x.plist" },
        { "package.pkg", "/resume_package_pkg.plist" },
        { "/a/../b.pkg", "a/../resume_b_pkg.plist" },
        { "/d/..", "d/resume___.plist" },
        { "", "" },
        { "/", "" },
        { "///", "" },
    };
    for (auto const& [destination, name] : rows) {
        std::expected<std::string, ResumeDownloadError> made;
        auto lines = test::loggedBy([&] { made = resumeDownloadPlistName(destination); });
        EXPECT_EQ(made.value_or(""), name) << destination;
        EXPECT_TRUE(made || made.error().kind == ResumeDownloadError::Kind::fileNameError);
        EXPECT_EQ(made ? "" : made.error().message, name.empty() ? "Error in file path seperator" : "");
        EXPECT_EQ(lines.size(), name.empty() ? 1u : 2u) << destination;
    }
}

// The codes that save, the folder made and the state replaced are end-to-end rows; these are the failures of the
// file system behind them, which leave nothing but the state that stood before.
TEST(SaveResumeData, FailuresAndOddData)
{
    platform::Bytes const blob { 'b', 'p', 0, 0xff };
    test::TemporaryDirectory root;
    std::string const directory = root / "private/tmp/Library/Ostrel_Agent/store",
                      file = directory + "/resume_a_100%_pkg.plist";
    std::string const lost = "Connection lost, saving resume data", creating = "Creating directory " + directory,
                      in = "Directory is " + directory, removing = "Removing resume data already present at: " + file,
                      written = "Resume data written";
    struct Row {
        char const* name;
        platform::Error error;
        bool existingFile;
        std::string failing; // On the folder (mkdir) or the file; its description ends the lines.
        std::vector<std::string> lines;
    };
    for (auto const& row : std::vector<Row> {
             { "text in place of bytes is no data", lostWith(std::string("not bytes")), false, "",
                 { lost, "No resume data generated" } },
             { "empty data is saved", lostWith(platform::Bytes {}), false, "", { lost, creating, in, written } },
             { "a folder that cannot be made", lostWith(blob), false, "mkdir", { lost, creating } },
             { "a failed replacement keeps the old state", lostWith(blob), true, "rename", { lost, in, removing } },
         }) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(root / "private");
        if (row.existingFile)
            test::writeFile(file, "old");
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
        EXPECT_EQ(std::filesystem::exists(file), result || row.existingFile);
        EXPECT_EQ(test::readFile(file), row.existingFile ? "old" : "");
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
    auto const error = lostWith(platform::Bytes { 'b' });
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
