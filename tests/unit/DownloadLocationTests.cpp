#include "Quenbury/DownloadLocation.h"
#include "TestSupport.h"

TEST(DownloadLocation, RefusesWhatCannotNameAFileInTheStore)
{
    test::TemporaryDirectory store;
    std::filesystem::create_directories(store / "sub/dir");
    std::filesystem::create_directory_symlink(store / "sub", store / "link");
    test::writeFile(store / "sub/old.pkg", "x");
    struct Row {
        std::string location;
        bool refused;
    };
    for (auto const& row : std::vector<Row> {
             { "", true },
             { "pkg/", true },
             { "/", true },
             { "..", true },
             { "../x.pkg", true },
             { "a/../../x.pkg", true },
             { "a/..", true },
             { "sub/dir", true },
             { "link", true },
             { ".", true },
             { "x.pkg", false },
             { "sub/old.pkg", false },
             { "..pkg", false },
             { "a/...", false },
             { "sub/new 100%.pkg", false },
         }) {
        SCOPED_TRACE(row.location);
        EXPECT_EQ(isRefusedDownloadLocation(row.location, store.path() + "/" + row.location), row.refused);
    }
}
