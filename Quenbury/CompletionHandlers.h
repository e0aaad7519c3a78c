// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/DownloadSession.h"

/// Handlers for a task started from the URL, and from stored resume data. Each holds its own copy of the resume state
/// file path and ends the process.
platform::CompletionHandler freshDownloadCompletion(std::string resumeStatePath);
platform::CompletionHandler resumedDownloadCompletion(std::string resumeStatePath);
