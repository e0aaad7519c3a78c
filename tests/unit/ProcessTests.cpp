// SPDX-License-Identifier: Apache-2.0
// What a run that ends tidies: its leftover body and body folder, and never another run's.
#include "TestSupport.h"
#include "platform/BodyFolder.h"
#include "platform/DownloadSession.h"
#include "platform/Posix.h"
#include "platform/Process.h"

#include <fcntl.h>

// What a run that ends tidies: a leftover body only while it is ours, and the body folder, but never another run's.
TEST(Process, TheLeftoverBodyIsRemovedOnlyWhileItIsOurs)
{
    test::TemporaryDirectory here;
    platform::FileDescriptor folderOfBodies(::open(here.path.c_str(), O_RDONLY | O_DIRECTORY));
    test::writeFile(here / "body", "ours");
    auto ours = platform::identityAt(folderOfBodies.get(), "body");
    test::writeFile(here / "theirs", "theirs"); // Another run's body now has the name.
    std::filesystem::rename(here / "theirs", here / "body");
    platform::setExitTidy([&] { platform::unlinkIfStill(folderOfBodies.get(), "body", *ours); });
    platform::tidyNow();
    EXPECT_EQ(test::readFile(here / "body"), "theirs");
    ours = platform::identityAt(folderOfBodies.get(), "body");
    platform::setExitTidy([&] { platform::unlinkIfStill(folderOfBodies.get(), "body", *ours); });
    platform::tidyNow();
    EXPECT_FALSE(std::filesystem::exists(here / "body"));
    // The body folder goes with its last body, and not while another run holds it.
    auto folder = platform::BodyFolder::open(here / "folder", true);
    auto other = platform::BodyFolder::open(here / "folder", true);
    ASSERT_TRUE(folder && other);
    test::writeFile(here / "folder/body", "kept for resuming");
    EXPECT_FALSE(folder->removeIfEmpty());
    EXPECT_TRUE(std::filesystem::exists(here / "folder/body"));
    std::filesystem::remove(here / "folder/body");
    EXPECT_FALSE(folder->removeIfEmpty());
    EXPECT_TRUE(std::filesystem::exists(here / "folder"));
    other = std::unexpected(platform::Error {});
    EXPECT_TRUE(folder->removeIfEmpty());
    EXPECT_FALSE(std::filesystem::exists(here / "folder"));
    // The next run makes it again.
    auto again = platform::BodyFolder::open(here / "folder", true);
    EXPECT_TRUE(again && std::filesystem::exists(here / "folder"));
    // A task whose handler returns leaves nothing for a later exit: its empty body folder goes when it ends.
    bool called = false;
    {
        platform::URLSession session(platform::URLSessionConfiguration::defaultConfiguration());
        session
            .downloadTask(*platform::URL::fromString("ftp://h/p"), here / "a.pkg",
                [&](auto, auto, auto error) { called = error.has_value(); })
            ->resume();
    }
    EXPECT_TRUE(called);
    EXPECT_FALSE(std::filesystem::exists(here / ".quenbury-partial"));
}
