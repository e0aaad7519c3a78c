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
/// The download service's body folder, open at `descriptor`: removed when
/// the process ends if it is empty and no other run holds it. An empty path for none.
void setPendingBodyFolder(std::string path, int descriptor);
/// Removes the pending temporary file (while it is still ours) and then the
/// pending body folder, when nothing else is left in it.
void removePendingTemporaryFile();

/// Process-wide set-up that must happen before any thread starts.
void initializeProcess();

}
