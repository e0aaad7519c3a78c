// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/CompletionHandlers.h"
#include "Quenbury/Sha256Checksum.h"
#include "TestSupport.h"

namespace {

// SHA-256 of "abc" (FIPS 180-4).
std::string const abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
std::string const wrong(64, '0');

}

TEST(Sha256Checksum, ComparisonOutcomes)
{
    test::TemporaryDirectory folder;
    test::writeFile(folder / "abc", "abc");
    std::string const upper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD",
                      mixed = "B" + abc.substr(1);
    for (auto const& [given, matches] : std::vector<std::pair<std::string, bool>> { { abc, true }, { upper, true },
             { mixed, true }, { abc + "\n", false }, { " " + abc, false }, { abc + " ", false },
             { abc.substr(0, 32), false }, { "", false }, { "100%d%n%s", false },
             { "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", false } }) {
        bool result = !matches;
        testing::internal::CaptureStdout();
        auto lines = test::loggedBy([&] { result = sha256Checksum(folder / "abc", given); });
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(result, matches) << given;
        EXPECT_EQ(lines,
            (std::vector<std::string> { "downloaded file checksum ->" + abc + "\nGiven checksum ->" + given,
                matches ? "SHA256 checksum validated succesfully NSComparisonResult"
                        : "SHA256 checksum validation failed NSComparisonResult" }));
    }
    // A file that cannot be read writes to standard output only.
    testing::internal::CaptureStdout();
    EXPECT_TRUE(test::loggedBy([&] { EXPECT_FALSE(sha256Checksum(folder.path, abc)); }).empty());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
        "Error reading the file or calculating SHA-256: "
            + platform::Error::fromErrno("read", folder.path, EISDIR).description() + "\n");
}

TEST(CompletionHandlers, DecisionTable)
{
    test::TemporaryDirectory root;
    std::string const body = root / "service/body", destination = root / "store/pkg 1%.pkg",
                      state = root / "tmp/resume_pkg.plist";
    auto const location = platform::URL::fileURL(body);
    auto const error = platform::Error::url(-1004, "http://127.0.0.1:1/x", "");
    std::string const moved
        = " file Downloaded location Optional(" + location.absoluteString + "), move location "
        + platform::URL::fileURL(destination).absoluteString,
        saved = "Download successful. File saved to: " + platform::URL::fileURL(destination).absoluteString,
        removing = "removing Old File", checked = "downloaded file checksum ->" + abc + "\nGiven checksum ->",
        match = "SHA256 checksum validated succesfully NSComparisonResult",
        mismatch = "SHA256 checksum validation failed NSComparisonResult";
    struct Row {
        DownloadKind kind;
        std::string given;
        std::string fault; // "error", "no body", or an operation that fails and its path ("unlink dest"), whose
                           // description ends the last line
        bool oldFile;
        int status;
        std::vector<std::string> lines;
        std::string destinationAfter; // "" for none
        bool stateLeft;
    };
    auto const fresh = DownloadKind::Fresh, resumed = DownloadKind::Resumed;
    for (auto const& row : std::vector<Row> {
             // An error with a location still takes the failure path.
             { resumed, abc, "error", false, 1,
                 { "Download failed with error: " + error.description() + " ", "Not saving resume data" }, "", true },
             { fresh, abc, "no body", false, 1, { "Error moving the file nil" }, "", true },
             { resumed, abc, "unlink dest", true, 1, { moved, "Error moving the file: " }, "old", true },
             { resumed, abc, "rename dest", true, 1, { moved, removing, "Error moving the file: " }, "", true },
             { resumed, abc, "", true, 0, { moved, removing, saved, checked + abc, match }, "abc", false },
             { resumed, abc, "unlink state", false, 0,
                 { moved, saved, checked + abc, match, "Resume plist cannot be deleted " }, "abc", true },
             { fresh, wrong, "unlink dest", false, 1,
                 { moved, saved, checked + wrong, mismatch, "File cannot be deleted " }, "abc", true },
             { resumed, wrong, "", false, 1, { moved, saved, checked + wrong, mismatch }, "", false },
             { resumed, wrong, "unlink state", false, 1,
                 { moved, saved, checked + wrong, mismatch, "Resume plist cannot be deleted " }, "", true },
             { resumed, wrong, "unlink dest", false, 1,
                 { moved, saved, checked + wrong, mismatch, "Resume plist cannot be deleted " }, "abc", false },
         }) {
        SCOPED_TRACE(row.fault + " " + row.given);
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
                row.fault == "no body" ? std::nullopt : std::optional(location),
                row.fault == "error" ? std::optional(error) : std::nullopt);
        });
        auto expected = row.lines;
        if (row.fault.ends_with("dest") || row.fault.ends_with("state"))
            expected.back() += platform::Error::fromErrno(operation, target, EACCES).description();
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(std::filesystem::exists(destination) ? test::readFile(destination) : "", row.destinationAfter);
        EXPECT_EQ(std::filesystem::exists(state), row.stateLeft);
        EXPECT_EQ(std::filesystem::exists(body),
            row.fault == "error" || row.fault == "no body" || row.lines.back().starts_with("Error moving"));
    }
}
