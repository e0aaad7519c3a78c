// SPDX-License-Identifier: Apache-2.0
#pragma once

// The one-line progress display, drawn only when standard error is a terminal.

#include <cstdint>
#include <string>

namespace platform {

bool progressDisplayEnabled();

/// Redraws the one progress line on standard error; `total` is 0 when unknown. Draws at most a few times a second, and
/// nothing when not enabled.
void showProgress(std::uint64_t received, std::uint64_t total, double bytesPerSecond);

/// Clears a drawn progress line so that the next record starts on a clean line.
void clearProgress();

/// The text of the progress line, without control characters; exposed for tests.
std::string formatProgress(std::uint64_t received, std::uint64_t total, double bytesPerSecond);

}
