// SPDX-License-Identifier: Apache-2.0
// Saving resume data where the end-to-end rows cannot reach: a link swapped in while root saves.
#include "Quenbury/SaveResumeData.h"
#include "TestSupport.h"

#include <atomic>
#include <thread>

// A user who swaps a link in for a resume-area folder while root saves must
// never make root create or write outside the area's own tree.
TEST(SaveResumeData, LinkSwappedInWhileSaving)
{
    test::TemporaryDirectory root;
    std::string const folder = root / "private/tmp/Library", outside = root / "outside";
    std::filesystem::create_directories(outside);
    auto error = platform::Error::url(platform::URLErrorCode::NetworkConnectionLost, "http://h/p", "lost");
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
    testing::internal::CaptureStderr(); // Thousands of saves' records say nothing here.
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1); std::chrono::steady_clock::now() < end;)
        (void)saveResumeData(error, state);
    done = true;
    swapper.join();
    bool const savedOnceQuiet = saveResumeData(error, state);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::filesystem::is_empty(outside));
    EXPECT_TRUE(savedOnceQuiet);
}
