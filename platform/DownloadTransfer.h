// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/BodyFile.h"
#include "platform/BodyFolder.h"
#include "platform/DownloadSession.h"
#include "platform/ResumeData.h"

#include <optional>
#include <string>

namespace platform {

/// One task's input: the URL, and for a resumed task what the earlier one left.
struct DownloadRequest {
    std::string url;
    std::optional<ResumeData> resume;
};

/// What the completion handler gets, and the body it points at (still open
/// and locked, so that no other run takes it over before the handler is done).
struct DownloadOutcome {
    std::optional<URL> location;
    std::optional<URLResponse> response;
    std::optional<Error> error;
    std::optional<BodyFile> body;
    /// The record that lets a later task find the finished body, should the
    /// handler fail to move it; empty when none was kept.
    std::string progressRecord;
};

/// Performs one task on the calling thread, continuing from the resume data
/// given or from the progress record beside the body (see continuation), and
/// keeping that record while it runs. On failure the body is removed, with its
/// record, unless the error carries resume data for it, or the body still
/// serves what the task continued from.
DownloadOutcome performDownload(
    URLSessionConfiguration const& configuration, BodyFolder const& folder, DownloadRequest const& request);

}
