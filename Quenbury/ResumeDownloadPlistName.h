// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <expected>
#include <string>

/// The tool's own error; only `fileNameError` is ever raised.
struct ResumeDownloadError {
    enum class Kind {
        fileNameError,
        fileNotForResume,
        resumeDataFileError,
        resumeDataError,
        noError,
        folderError,
    };
    Kind kind;
    std::string message; // Only `fileNameError` carries one.
};

/// Where every resume state file lies; folders below it that the tool owns are kept closed to other users.
inline constexpr char resumeStateArea[] = "/private/tmp";

/// The resume state file's name relative to "/private/tmp/": the destination's folders, then "/resume_", its file name
/// with dots as underscores, ".plist".
std::expected<std::string, ResumeDownloadError> resumeDownloadPlistName(std::string const& forDownloadfile);
