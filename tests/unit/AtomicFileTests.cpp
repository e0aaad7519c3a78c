// SPDX-License-Identifier: Apache-2.0
// The atomic file: its sibling stays locked until it has taken the final name.
#include "TestSupport.h"
#include "platform/AtomicFile.h"

#include <atomic>
#include <fcntl.h>
#include <thread>

TEST(AtomicFile, ASiblingBeingCommittedIsNeverTakenForAnAbandonedOne)
{
    // Another writer's clean-up runs all the while: it removes only siblings that no live writer holds locked, so
    // every commit renames its own sibling, as it still holds the lock through its close and the rename.
    test::TemporaryDirectory folder;
    platform::FileDescriptor opened(::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(opened);
    int fd = opened.get();
    std::atomic<bool> done = false;
    std::thread cleaner([&] {
        while (!done)
            platform::AtomicFile::removeAbandonedSiblings(fd, "state");
    });
    int failures = 0;
    std::string failure;
    for (int round = 0; round < 20000; ++round) {
        auto file = platform::AtomicFile::create(fd, "state", folder / "state", 0600);
        auto written = file ? platform::writeAll(file->descriptor(), std::span<std::uint8_t const>(), "state")
                            : std::unexpected(file.error());
        auto committed = written ? file->commit(platform::AtomicFile::Durability::Unsynced) : written;
        if (!committed && !failures++)
            failure = committed.error().description();
    }
    done = true;
    cleaner.join();
    EXPECT_EQ(failures, 0) << failure;
}
