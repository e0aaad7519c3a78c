// SPDX-License-Identifier: Apache-2.0
// How a finished transfer ends when the file system fails it, or when it brings no body; the records of the ordinary
// endings, and which checksums match, are end-to-end rows.
#include "Quenbury/CompletionHandlers.h"
#include "TestSupport.h"

namespace {

// SHA-256 of "abc" (FIPS 180-4).
std::string const abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
std::string const wrong(64, '0');

}

TEST(CompletionHandlers, FailuresOfTheFileSystem)
{
    test::TemporaryDirectory root;
    std::string const body = root / "service/body", destination = root / "store/pkg 1%.pkg",
                      state = root / "tmp/resume_pkg.plist";
    auto const location = platform::URL::fileURL(body);
    std::string const moved
        = " file Downloaded location Optional(" + location.absoluteString + "), move location "
        + platform::URL::fileURL(destination).absoluteString,
        saved = "Download successful. File saved to: " + platform::URL::fileURL(destination).absoluteString,
        removing = "removing Old File", checked = "downloaded file checksum ->" + abc + "\nGiven checksum ->",
        match = "SHA256 checksum validated succesfully NSComparisonResult",
        mismatch = "SHA256 checksum validation failed NSComparisonResult";
    struct Row {
        char const* name;
        DownloadKind kind;
        std::string given;
        std::string fault; // "no body", or a failing operation and its path, whose description ends the lines
        bool oldFile;
        int status;
        std::vector<std::string> lines;
        std::string destinationAfter; // "" for none
        bool stateLeft;
    };
    auto const fresh = DownloadKind::Fresh, resumed = DownloadKind::Resumed;
    for (auto const& row : std::vector<Row> {
             { "no body fails", fresh, abc, "no body", false, 1, { "Error moving the file nil" }, "", true },
             { "an old file that cannot go stays", resumed, abc, "unlink dest", true, 1,
                 { moved, "Error moving the file: " }, "old", true },
             { "a failed move after the old file went", resumed, abc, "rename dest", true, 1,
                 { moved, removing, "Error moving the file: " }, "", true },
             { "a match stands though the state cannot go", resumed, abc, "unlink state", false, 0,
                 { moved, saved, checked + abc, match, "Resume plist cannot be deleted " }, "abc", true },
             { "a fresh mismatch that cannot go", fresh, wrong, "unlink dest", false, 1,
                 { moved, saved, checked + wrong, mismatch, "File cannot be deleted " }, "abc", true },
             { "a resumed mismatch goes though the state cannot", resumed, wrong, "unlink state", false, 1,
                 { moved, saved, checked + wrong, mismatch, "Resume plist cannot be deleted " }, "", true },
             { "a resumed mismatch that cannot go", resumed, wrong, "unlink dest", false, 1,
                 { moved, saved, checked + wrong, mismatch, "Resume plist cannot be deleted " }, "abc", false },
         }) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(root.path);
        test::writeFile(body, "abc");
        test::writeFile(state, "resume");
        test::writeFile(destination, "old");
        if (!row.oldFile)
            std::filesystem::remove(destination);
        test::FaultyFileManager files;
        std::string operation = row.fault.substr(0, row.fault.find(' ')),
                    target = row.fault.ends_with("dest") ? destination : state;
        files.failing.insert({ operation, target });
        int status = -1;
        auto lines = test::loggedBy([&] {
            status = completeDownload(row.kind, state, destination, row.given,
                row.fault == "no body" ? std::nullopt : std::optional(location), std::nullopt);
        });
        auto expected = row.lines;
        if (row.fault != "no body")
            expected.back() += platform::Error::fromErrno(operation, target, EACCES).description();
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(std::filesystem::exists(destination) ? test::readFile(destination) : "", row.destinationAfter);
        EXPECT_EQ(std::filesystem::exists(state), row.stateLeft);
        EXPECT_EQ(std::filesystem::exists(body), row.lines.back().starts_with("Error moving"));
    }
}
