// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/BodyFolder.h"
#include "platform/DownloadSession.h"
#include "platform/ReceiverProcess.h"

namespace platform {

/// Performs one task for `url` on the calling thread, continuing from `stored` resume data or from the progress record
/// beside the body (see continuation), and keeping that record while it runs; then ends the receiver and calls
/// `handler` once. The body it points at stays open and locked until the handler returns, so that no other run takes
/// it over before the handler is done.
void performDownload(URLSessionConfiguration const& configuration, std::expected<ChosenBodyFolder, Error> const& folder,
    std::string const& url, std::optional<ResumeData> const& stored, std::expected<ReceiverProcess, Error>& receiver,
    CompletionHandler const& handler);

}
