// SPDX-License-Identifier: Apache-2.0
// Saving the resume state where the end-to-end rows cannot reach: failures of the file system, and a link swapped in
// while root saves.
#include "Quenbury/SaveResumeData.h"
#include "TestSupport.h"

#include <atomic>
#include <thread>

namespace {

/// A lost connection's error that carries `data` as its resume data.
platform::Error lostWith(platform::Bytes data)
{
    platform::Error error;
    error.code = platform::URLErrorCode::NetworkConnectionLost;
    error.userInfo.emplace(platform::UserInfoKey::DownloadTaskResumeData, std::move(data));
    return error;
}

}

// The codes that save, the folder made and the state replaced are end-to-end rows; these are the failures of the
// file system behind them, which leave nothing but the state that stood before.
TEST(SaveResumeData, FailuresOfTheFileSystem)
{
    test::TemporaryDirectory root;
    std::string const directory = root / "private/tmp/Library/Ostrel_Agent/store",
                      file = directory + "/resume_a_100%_pkg.plist";
    auto const error = lostWith(platform::Bytes { 'b', 'p', 0, 0xff });
    std::string const lost = "Connection lost, saving resume data", creating = "Creating directory " + directory,
                      in = "Directory is " + directory, removing = "Removing resume data already present at: " + file;
    struct Row {
        char const* name;
        std::string failing; // On the folder (mkdir) or, with a state there before, the file (rename).
        std::vector<std::string> lines;
    };
    for (auto const& row : std::vector<Row> {
             { "a folder that cannot be made", "mkdir", { lost, creating } },
             { "a failed replacement keeps the old state", "rename", { lost, in, removing } },
         }) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(root / "private");
        bool const existingFile = row.failing == "rename";
        if (existingFile)
            test::writeFile(file, "old");
        test::FaultyFileManager files;
        std::string target = existingFile ? file : directory;
        files.failing.insert({ row.failing, target });
        bool result = true;
        auto lines = test::loggedBy([&] { result = saveResumeData(error, file); });
        auto expected = row.lines;
        expected.push_back(
            "Data write failed with error:" + platform::Error::fromErrno(row.failing, target, EACCES).description());
        EXPECT_EQ(lines, expected);
        EXPECT_FALSE(result);
        EXPECT_EQ(std::filesystem::exists(file), existingFile);
        EXPECT_EQ(test::readFile(file), existingFile ? "old" : "");
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
