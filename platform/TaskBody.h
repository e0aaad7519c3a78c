// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/BodyFile.h"
#include "platform/BodyFolder.h"
#include "platform/Error.h"
#include "platform/ResumeData.h"

#include <expected>
#include <optional>
#include <string>

namespace platform {

/// The body a task writes, locked, and what it continues from.
struct TaskBody {
    BodyFile body;
    std::optional<ResumeData> resume;
};

/// Opens the body of a task for `url`, an HTTP or HTTPS one: the one `stored` names, else the one
/// named after the URL's resource (bodyFileNameForURL; one of its own while a live run holds that). What
/// it continues from is `stored`, or the progress record beside the body
/// where `continuation` takes it. The error is the task's own.
[[nodiscard]] std::expected<TaskBody, Error> openTaskBody(
    BodyFolder const& folder, std::string const& url, std::optional<ResumeData> const& stored);

}
