// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/ProceedResumeDownload.h"
#include "TestSupport.h"

namespace {

std::string plist(std::string const& body)
{
    return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + body + "</plist>";
}
std::string dict(std::string const& entries)
{
    return plist("<dict>" + entries + "</dict>");
}
std::string text(std::string const& key, std::string const& value)
{
    return "<key>" + key + "</key><string>" + value + "</string>";
}
std::string flag(std::string const& key, bool value)
{
    return "<key>" + key + "</key>" + (value ? "<true/>" : "<false/>");
}

std::string const missing = "\x01missing";
std::string const array = plist("<array><string>a</string></array>");
std::string const no = "DirectDownloadEnabled key not available in all cases -> false";
std::string const unreadable = "error in reading plist Error Domain=NSCocoaErrorDomain Code=3840 "; // A prefix.
std::string const cloud = "DirectDownloadEnabled in Cloud and not under DS";
// A binary list whose DirectDownloadEnabled is "true" and U+0000 in UTF-16:
// text with a NUL inside is not "true", and reading it must not abort.
std::string const stringWithNul(
    "bplist00\xd1\x01\x02_\x10\x15"
    "DirectDownloadEnabled"
    "e\x00t\x00r\x00u\x00"
    "e\x00\x00\x08\x0b#\x00\x00\x00\x00\x00\x00\x01\x01"
    "\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x2e",
    81);

}

// In XML here; the end-to-end cases write binary lists.
TEST(ProceedResumeDownload, DecisionTable)
{
    struct Row {
        std::string patchData, serverInfo;
        bool answer;
        std::string line;
    };
    std::vector<Row> const rows {
        { missing, missing, false, "error in reading plist" },
        { "", missing, false, unreadable },
        { "Quenbury=true\n", dict(flag("Quenbury", true)), false, unreadable },
        { array, dict(text("DirectDownloadEnabled", "true") + text("ENABLEDISTRIBUTIONSERVER", "no")), false,
            "error in reading plist" },
        { plist("<string>true</string>"), missing, false, "error in reading plist" },
        { dict(flag("Quenbury", true) + text("DirectDownloadEnabled", "false")), "corrupt", true, "Quenbury Enabled" },
        { dict(flag("Quenbury", false) + text("DirectDownloadEnabled", "True")), missing, true,
            "DirectDownloadEnabled in zkpatch_data.plist" },
        { dict(text("Quenbury", "true")), missing, false, no },
        { dict(text("DirectDownloadEnabled", "TRUE")), missing, true, "DirectDownloadEnabled in zkpatch_data.plist" },
        { dict(text("DirectDownloadEnabled", " true")), missing, false, no },
        { dict(text("DirectDownloadEnabled", "yes")), missing, false, no },
        { dict(flag("DirectDownloadEnabled", true)), missing, false, no },
        { dict(flag("quenbury", true) + text("directdownloadenabled", "true")), missing, false, no },
        { dict(""), missing, false, no },
        { dict(""), "\x01\x02garbage", false, unreadable },
        { dict(""), "", false, unreadable },
        { dict(""), array, false, no },
        { dict(""), dict(text("DirectDownloadEnabled", "true") + text("ENABLEDISTRIBUTIONSERVER", "NO")), true, cloud },
        { dict(""), dict(text("DirectDownloadEnabled", "True") + text("ENABLEDISTRIBUTIONSERVER", "false")), false,
            no },
        { dict(""), dict(text("DirectDownloadEnabled", "true") + text("ENABLEDISTRIBUTIONSERVER", "No ")), false, no },
        { dict(""), dict(text("DirectDownloadEnabled", "true")), false, no },
        { dict(""), dict(text("ENABLEDISTRIBUTIONSERVER", "no")), false, no },
        { dict(""), dict(text("DirectDownloadEnabled", "false") + text("ENABLEDISTRIBUTIONSERVER", "no")), false, no },
        { stringWithNul, missing, false, no },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.patchData + " / " + row.serverInfo);
        test::TemporaryDirectory data;
        for (auto [name, contents] :
            { std::pair { "zkpatch_data.plist", row.patchData }, { "serverinfo.plist", row.serverInfo } }) {
            if (contents != missing)
                test::writeFile(data / name, contents);
        }
        bool answer = !row.answer;
        auto lines = test::loggedBy([&] { answer = proceedResumeDownload(data.path); });
        EXPECT_EQ(answer, row.answer);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(row.line.ends_with(' ') ? lines[0].substr(0, row.line.size()) : lines[0], row.line);
    }
}
