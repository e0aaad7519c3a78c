// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/DownloadSession.h"

#include <optional>
#include <string>

enum class DownloadKind { Fresh, Resumed };

/// What a finished or failed task means for the run: moves the body into place,
/// verifies it and cleans up; returns the exit status.
int completeDownload(DownloadKind kind, std::string const& resumeStatePath, std::string const& destinationPath,
    std::string const& expectedChecksum, std::optional<platform::URL> const& location,
    std::optional<platform::Error> const& error);

/// Handlers for a task started from the URL, and from stored resume data. Each
/// holds its own copy of the resume state file path and ends the process.
platform::CompletionHandler freshDownloadCompletion(std::string resumeStatePath);
platform::CompletionHandler resumedDownloadCompletion(std::string resumeStatePath);
