// SPDX-License-Identifier: Apache-2.0
// Which download locations name a file inside the store. The agent's layout, and three refusals with their
// records, are end-to-end rows.
#include "Quenbury/DownloadLocation.h"
#include "TestSupport.h"

TEST(DownloadLocation, RefusesWhatCannotNameAFileInTheStore)
{
    test::TemporaryDirectory store;
    std::filesystem::create_directories(store / "sub/dir");
    std::filesystem::create_directory_symlink(store / "sub", store / "link");
    test::writeFile(store / "sub/old.pkg", "x");
    for (std::string refused : { "", "pkg/", "/", "..", "../x.pkg", "a/../../x.pkg", "a/..", "sub/dir", "link", "." })
        EXPECT_TRUE(isRefusedDownloadLocation(refused, store / refused)) << refused;
    for (std::string accepted : { "x.pkg", "sub/old.pkg", "..pkg", "a/...", "sub/new 100%.pkg" })
        EXPECT_FALSE(isRefusedDownloadLocation(accepted, store / accepted)) << accepted;
}
