// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Body.h"
#include "platform/BodyFolder.h"
#include "platform/DownloadSession.h"
#include "platform/ReceiverProcess.h"
#include "platform/ResumeData.h"

#include <optional>
#include <string>

namespace platform {

/// What the completion handler gets, and the body it points at (still open and locked, so that no other run takes it
/// over before the handler is done).
struct DownloadOutcome {
    std::optional<URL> location {};
    std::optional<URLResponse> response {};
    std::optional<Error> error {};
    std::optional<Body> body {};
};

/// Performs one task for `url` on the calling thread, continuing from `stored` resume data or from the progress record
/// beside the body (see continuation), and keeping that record while it runs.
DownloadOutcome performDownload(URLSessionConfiguration const& configuration, ChosenBodyFolder const& folder,
    std::string const& url, std::optional<ResumeData> const& stored, std::expected<ReceiverProcess, Error>& receiver);

}
