// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace platform {

/// Ends the process with `status` from any thread, while other threads may be
/// blocked: removes the download service's pending temporary file, flushes the
/// standard streams and ends without running static destructors.
[[noreturn]] void exitProcess(int status);

/// The download service's temporary body that is to be removed when the
/// process ends inside a completion handler; empty for none.
void setPendingTemporaryFile(std::string path);
void removePendingTemporaryFile();

/// Process-wide set-up that must happen before any thread starts.
void initializeProcess();

}
