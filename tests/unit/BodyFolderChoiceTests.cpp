// SPDX-License-Identifier: Apache-2.0
// Where a body grows: the folder chosen for a fresh body and for one that resume data names.
#include "TestSupport.h"
#include "platform/BodyFolder.h"

// A recorded folder is taken only when the service would choose it itself in this run; crafted resume data never
// points a body elsewhere, and nothing is planned beside a destination whose folder was not opened. Where a fresh body
// goes, with or without its destination's folder, is end-to-end rows.
TEST(BodyFolderChoice, ChoosesOnlyFoldersOfItsOwn)
{
    namespace plan = platform::plan;
    platform::BodyFolderLocations const here { "/Library/A/store/sub", "/var/tmp" };
    auto recorded = [](std::string folder) {
        return platform::ResumeData { "http://h/p", "body-x", 1, "\"t\"", "", std::nullopt, std::move(folder) };
    };
    std::optional<int> const opened = 7, missing;
    for (auto const& [name, resume, folder, expected] :
        std::vector<std::tuple<char const*, std::optional<platform::ResumeData>, std::optional<int>,
            platform::BodyFolderPlan>> { { "fresh", std::nullopt, opened, plan::Beside { 7 } },
            { "fresh, the destination's folder missing", std::nullopt, missing, plan::FreshTemporary {} },
            { "beside this destination", recorded("/Library/A/store/sub/.quenbury-partial"), opened,
                plan::Beside { 7 } },
            { "beside, the destination's folder gone", recorded("/Library/A/store/sub/.quenbury-partial"), missing,
                plan::FreshTemporary {} },
            { "made beside this destination", recorded("/Library/A/store/sub/.quenbury-partial-AbC123"), opened,
                plan::RecordedBeside { 7, ".quenbury-partial-AbC123" } },
            { "made beside, the destination's folder gone", recorded("/Library/A/store/sub/.quenbury-partial-AbC123"),
                missing, plan::FreshTemporary {} },
            { "made beside another destination", recorded("/Library/A/store/.quenbury-partial-AbC123"), opened,
                plan::Beside { 7 } },
            { "made in the temporary folder", recorded("/var/tmp/quenbury-AbC123"), missing,
                plan::RecordedTemporary { "quenbury-AbC123" } },
            { "older data, no folder recorded", recorded(""), opened, plan::Beside { 7 } },
            { "beside another destination", recorded("/Library/A/store/.quenbury-partial"), opened,
                plan::Beside { 7 } },
            { "elsewhere", recorded("/etc"), missing, plan::FreshTemporary {} },
            { "not a made name", recorded("/var/tmp/quenbury-AbC12"), opened, plan::Beside { 7 } },
            { "beneath a made folder", recorded("/var/tmp/quenbury-AbC123/x"), opened, plan::Beside { 7 } },
            { "another temporary folder", recorded("/tmp/quenbury-AbC123"), opened, plan::Beside { 7 } } })
        EXPECT_EQ(platform::chooseBodyFolder(resume, here, folder), expected) << name;
    // Where that choice cannot be made (no destination's folder, no temporary folder), no folder is handed out.
    test::TemporaryDirectory nowhere;
    EXPECT_FALSE(platform::openBodyFolder(std::nullopt, "", nowhere / "missing"));
}
