// SPDX-License-Identifier: Apache-2.0
#pragma once

// The one-line progress display, drawn only when standard error is a terminal.

#include <cstdint>
#include <string>

namespace platform {

/// Redraws the progress line, at most a few times a second and only when enabled; `total` is 0 when unknown.
void showProgress(std::uint64_t received, std::uint64_t total, double bytesPerSecond);

/// Clears a drawn progress line so that the next record starts on a clean line.
void clearProgress();

/// The text of the progress line, without control characters; exposed for tests.
std::string formatProgress(std::uint64_t received, std::uint64_t total, double bytesPerSecond);

}
