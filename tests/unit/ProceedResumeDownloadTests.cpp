// SPDX-License-Identifier: Apache-2.0
// Whether the agent's configuration lets the tool download: every way the two property lists can say yes or no.
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

/// Server information with DirectDownloadEnabled and ENABLEDISTRIBUTIONSERVER.
std::string server(std::string const& cloud, std::string const& distribution)
{
    return dict(text("DirectDownloadEnabled", cloud) + text("ENABLEDISTRIBUTIONSERVER", distribution));
}

std::string const missing = "\x01missing";
std::string const array = plist("<array><string>a</string></array>");
std::string const no = "DirectDownloadEnabled key not available in all cases -> false";
std::string const unreadable = "error in reading plist Error Domain=NSCocoaErrorDomain Code=3840 "; // A prefix.
std::string const readError = "error in reading plist";
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

// In XML here; the end-to-end rows write binary lists, and show a missing or empty list, an agent without the
// flag, and a server information that says yes.
TEST(ProceedResumeDownload, DecisionTable)
{
    struct Row {
        char const* name;
        std::string patchData, serverInfo;
        bool answer;
        std::string line;
    };
    std::vector<Row> const rows {
        { "not a list", "Quenbury=true\n", dict(flag("Quenbury", true)), false, unreadable },
        { "a list but not a dictionary", array, server("true", "no"), false, readError },
        { "the flag, whatever else is said", dict(flag("Quenbury", true)), "corrupt", true, "Quenbury Enabled" },
        { "the agent's text in any case", dict(flag("Quenbury", false) + text("DirectDownloadEnabled", "True")),
            missing, true, "DirectDownloadEnabled in zkpatch_data.plist" },
        { "the flag as text", dict(text("Quenbury", "true")), missing, false, no },
        { "the agent's text with a blank", dict(text("DirectDownloadEnabled", " true")), missing, false, no },
        { "the agent's text as a flag", dict(flag("DirectDownloadEnabled", true)), missing, false, no },
        { "keys in another case", dict(flag("quenbury", true) + text("directdownloadenabled", "true")), missing, false,
            no },
        { "server information unreadable", dict(""), "\x01\x02garbage", false, unreadable },
        { "server information not a dictionary", dict(""), array, false, no },
        { "in the cloud under a distribution server", dict(""), server("True", "false"), false, no },
        { "a blank after no", dict(""), server("true", "No "), false, no },
        { "in the cloud, no word of a server", dict(""), dict(text("DirectDownloadEnabled", "true")), false, no },
        { "no word of the cloud", dict(""), dict(text("ENABLEDISTRIBUTIONSERVER", "no")), false, no },
        { "text with a NUL inside", stringWithNul, missing, false, no },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
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
