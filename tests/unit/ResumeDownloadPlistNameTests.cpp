// SPDX-License-Identifier: Apache-2.0
// The resume state file's name, formed from the destination's path alone: the worked examples, and a last component
// of dots alone.
#include "Quenbury/ResumeDownloadPlistName.h"
#include "TestSupport.h"

TEST(ResumeDownloadPlistName, WorkedExamples)
{
    std::vector<std::pair<std::string, std::optional<std::string>>> const rows {
        { "/Library/Ostrel_Agent/store/Upgrade.14.pkg", "Library/Ostrel_Agent/store/resume_Upgrade_14_pkg.plist" },
        { "/Library/Brindlecote/Ostrel_Agent/store/sub.dir/image.dmg",
            "Library/Brindlecote/Ostrel_Agent/store/sub.dir/resume_image_dmg.plist" },
        { "/Library/Ostrel_Agent/store/", "Library/Ostrel_Agent/resume_store.plist" },
        { "//var//data/pkgs/", "var/data/resume_pkgs.plist" },
        { "/store/.hidden", "store/resume__hidden.plist" },
        { "/x", "/resume_x.plist" },
        { "package.pkg", "/resume_package_pkg.plist" },
        { "/a/../b.pkg", "a/../resume_b_pkg.plist" },
        { "/d/..", "d/resume___.plist" },
        { "", std::nullopt },
        { "/", std::nullopt },
        { "///", std::nullopt },
    };
    testing::internal::CaptureStderr();
    for (auto const& [destination, name] : rows) {
        auto formed = resumeDownloadPlistName(destination);
        if (!formed) {
            EXPECT_EQ(formed.error().message, "Error in file path seperator") << destination;
        }
        EXPECT_EQ(formed ? std::optional(*formed) : std::nullopt, name) << destination;
    }
    // Every call logs that it began, also one that then fails.
    std::string const logged = testing::internal::GetCapturedStderr();
    std::size_t began = 0;
    for (auto at = logged.find("Inside resume plist"); at != std::string::npos;
         at = logged.find("Inside resume plist", at + 1))
        ++began;
    EXPECT_EQ(began, rows.size());
}
