#include "Quenbury/ProceedResumeDownload.h"
#include "TestSupport.h"
#include "platform/PropertyList.h"

#include <optional>
#include <variant>

namespace {

using Entries = std::vector<std::pair<std::string, std::variant<std::string, bool>>>;

/// A configuration file: a dictionary of entries, or raw bytes; nothing for a missing file.
struct File {
    std::optional<Entries> dictionary;
    std::string raw;
};

File dict(Entries entries) { return { std::move(entries), {} }; }
File raw(std::string bytes) { return { std::nullopt, std::move(bytes) }; }

std::string xml(Entries const& entries)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\"><dict>";
    for (auto const& [key, value] : entries) {
        text += "<key>" + key + "</key>";
        if (auto const* s = std::get_if<std::string>(&value))
            text += "<string>" + *s + "</string>";
        else
            text += std::get<bool>(value) ? "<true/>" : "<false/>";
    }
    return text + "</dict></plist>\n";
}

std::string binary(Entries const& entries)
{
    auto list = platform::PropertyList::dictionary();
    for (auto const& [key, value] : entries) {
        if (auto const* s = std::get_if<std::string>(&value))
            list.set(key, *s);
        else
            list.set(key, std::get<bool>(value));
    }
    auto bytes = list.binaryData();
    return std::string(bytes->begin(), bytes->end());
}

struct Row {
    char const* name;
    std::optional<File> patchData;
    std::optional<File> serverInfo;
    bool answer;
    char const* line; // A line ending in a blank is followed by the reader's error.
};

std::string const arrayPlist = "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>a</string></array></plist>";
std::string const stringPlist = "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>true</string></plist>";

// A binary list whose DirectDownloadEnabled is "true" and U+0000 in UTF-16:
// text with a NUL inside is not "true", and reading it must not abort.
std::string const stringWithNul(
    "bplist00\xd1\x01\x02_\x10\x15" "DirectDownloadEnabled"
    "e\x00t\x00r\x00u\x00" "e\x00\x00\x08\x0b#\x00\x00\x00\x00\x00\x00\x01\x01"
    "\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x2e",
    81);

std::vector<Row> const rows {
    { "both missing", std::nullopt, std::nullopt, false, "error in reading plist" },
    { "empty patch data", raw(""), std::nullopt, false, "error in reading plist " },
    { "patch data not a plist", raw("Quenbury=true\n"), dict({ { "Quenbury", true } }), false, "error in reading plist " },
    { "patch data an array", raw(arrayPlist), dict({ { "DirectDownloadEnabled", "true" }, { "ENABLEDISTRIBUTIONSERVER", "no" } }), false, "error in reading plist" },
    { "patch data a single string", raw(stringPlist), std::nullopt, false, "error in reading plist" },
    { "Quenbury true wins", dict({ { "Quenbury", true }, { "DirectDownloadEnabled", "false" } }), raw("corrupt"), true, "Quenbury Enabled" },
    { "Quenbury false falls through", dict({ { "Quenbury", false }, { "DirectDownloadEnabled", "True" } }), std::nullopt, true, "DirectDownloadEnabled in zkpatch_data.plist" },
    { "Quenbury as a string is not set", dict({ { "Quenbury", "true" } }), std::nullopt, false, "DirectDownloadEnabled key not available in all cases -> false" },
    { "DirectDownloadEnabled upper case", dict({ { "DirectDownloadEnabled", "TRUE" } }), std::nullopt, true, "DirectDownloadEnabled in zkpatch_data.plist" },
    { "DirectDownloadEnabled with a blank", dict({ { "DirectDownloadEnabled", " true" } }), std::nullopt, false, "DirectDownloadEnabled key not available in all cases -> false" },
    { "DirectDownloadEnabled yes", dict({ { "DirectDownloadEnabled", "yes" } }), std::nullopt, false, "DirectDownloadEnabled key not available in all cases -> false" },
    { "DirectDownloadEnabled as Boolean", dict({ { "DirectDownloadEnabled", true } }), std::nullopt, false, "DirectDownloadEnabled key not available in all cases -> false" },
    { "keys are case-sensitive", dict({ { "quenbury", true }, { "directdownloadenabled", "true" } }), std::nullopt, false, "DirectDownloadEnabled key not available in all cases -> false" },
    { "empty dictionary, server info missing", dict({}), std::nullopt, false, "DirectDownloadEnabled key not available in all cases -> false" },
    { "server info not a plist", dict({}), raw("\x01\x02garbage"), false, "error in reading plist " },
    { "empty server info", dict({}), raw(""), false, "error in reading plist " },
    { "server info an array", dict({}), raw(arrayPlist), false, "DirectDownloadEnabled key not available in all cases -> false" },
    { "cloud and not under DS", dict({}), dict({ { "DirectDownloadEnabled", "true" }, { "ENABLEDISTRIBUTIONSERVER", "NO" } }), true, "DirectDownloadEnabled in Cloud and not under DS" },
    { "under DS", dict({}), dict({ { "DirectDownloadEnabled", "True" }, { "ENABLEDISTRIBUTIONSERVER", "false" } }), false, "DirectDownloadEnabled key not available in all cases -> false" },
    { "DS value with a blank", dict({}), dict({ { "DirectDownloadEnabled", "true" }, { "ENABLEDISTRIBUTIONSERVER", "No " } }), false, "DirectDownloadEnabled key not available in all cases -> false" },
    { "DS key absent", dict({}), dict({ { "DirectDownloadEnabled", "true" } }), false, "DirectDownloadEnabled key not available in all cases -> false" },
    { "only DS key", dict({}), dict({ { "ENABLEDISTRIBUTIONSERVER", "no" } }), false, "DirectDownloadEnabled key not available in all cases -> false" },
    { "string with U+0000 inside", raw(stringWithNul), std::nullopt, false, "DirectDownloadEnabled key not available in all cases -> false" },
    { "cloud disabled", dict({}), dict({ { "DirectDownloadEnabled", "false" }, { "ENABLEDISTRIBUTIONSERVER", "no" } }), false, "DirectDownloadEnabled key not available in all cases -> false" },
};

void place(test::TemporaryDirectory const& folder, char const* name, std::optional<File> const& file, bool asBinary)
{
    if (!file)
        return;
    test::writeFile(folder / name, file->dictionary ? (asBinary ? binary(*file->dictionary) : xml(*file->dictionary)) : file->raw);
}

}

TEST(ProceedResumeDownload, DecisionTableInBothEncodings)
{
    for (bool asBinary : { false, true }) {
        for (auto const& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (asBinary ? " (binary)" : " (XML)"));
            test::TemporaryDirectory data;
            place(data, "zkpatch_data.plist", row.patchData, asBinary);
            place(data, "serverinfo.plist", row.serverInfo, asBinary);

            bool answer = false;
            auto lines = test::loggedBy([&] { answer = proceedResumeDownload(data.path()); });
            EXPECT_EQ(answer, row.answer);
            ASSERT_EQ(lines.size(), 1u);
            std::string expected = row.line;
            if (expected.ends_with(' '))
                EXPECT_TRUE(lines[0].starts_with(expected + "Error Domain=NSCocoaErrorDomain Code=3840 ")) << lines[0];
            else
                EXPECT_EQ(lines[0], expected);
        }
    }
}

TEST(ProceedResumeDownload, ServerInfoIsNotOpenedWhenPatchDataDecides)
{
    test::TemporaryDirectory data;
    test::writeFile(data / "zkpatch_data.plist", xml({ { "Quenbury", true } }));
    test::writeFile(data / "serverinfo.plist", "corrupt");
    test::FaultyFileManager files;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(proceedResumeDownload(data.path()));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(files.reads, std::vector<std::string> { data / "zkpatch_data.plist" });
}
