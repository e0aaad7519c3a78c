#include "Quenbury/ResumeDownloadPlistName.h"
#include "TestSupport.h"

TEST(ResumeDownloadPlistName, WorkedExamples)
{
    struct Row {
        char const* destination;
        char const* name;
    };
    for (auto const& row : std::vector<Row> {
             { "/Library/Ostrel_Agent/store/Upgrade.14.pkg", "Library/Ostrel_Agent/store/resume_Upgrade_14_pkg.plist" },
             { "/Library/Brindlecote/Ostrel_Agent/store/sub.dir/image.dmg", "Library/Brindlecote/Ostrel_Agent/store/sub.dir/resume_image_dmg.plist" },
             { "/Library/Ostrel_Agent/store/", "Library/Ostrel_Agent/resume_store.plist" },
             { "//var//data/pkgs/", "var/data/resume_pkgs.plist" },
             { "/store/.hidden", "store/resume__hidden.plist" },
             { "/x", "/resume_x.plist" },
             { "package.pkg", "/resume_package_pkg.plist" },
             { "/a/../b.pkg", "a/../resume_b_pkg.plist" },
             { "/d/..", "d/resume___.plist" },
             { "/d/a.pkg", "d/resume_a_pkg.plist" },
             { "/d/a_pkg", "d/resume_a_pkg.plist" },
             { "/p%d/100%.pkg", "p%d/resume_100%_pkg.plist" },
         }) {
        SCOPED_TRACE(row.destination);
        std::expected<std::string, ResumeDownloadError> name;
        auto lines = test::loggedBy([&] { name = resumeDownloadPlistName(row.destination); });
        ASSERT_TRUE(name.has_value());
        EXPECT_EQ(*name, row.name);
        EXPECT_EQ(lines, (std::vector<std::string> { "Inside resume plist file name generator", std::string("Resume plist :") + row.name }));
    }
}

TEST(ResumeDownloadPlistName, NoComponentIsAFileNameError)
{
    for (char const* destination : { "", "/", "///" }) {
        SCOPED_TRACE(destination);
        std::expected<std::string, ResumeDownloadError> name;
        auto lines = test::loggedBy([&] { name = resumeDownloadPlistName(destination); });
        ASSERT_FALSE(name.has_value());
        EXPECT_EQ(name.error().kind, ResumeDownloadError::Kind::fileNameError);
        EXPECT_EQ(name.error().message, "Error in file path seperator");
        EXPECT_EQ(lines, std::vector<std::string> { "Inside resume plist file name generator" });
    }
}
