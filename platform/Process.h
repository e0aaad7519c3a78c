// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace platform {

/// Ends the process with `status` from any thread, while other threads may be
/// blocked: removes the download service's pending temporary file, flushes the
/// standard streams and ends without running static destructors.
[[noreturn]] void exitProcess(int status);

/// The download service's temporary body, and the progress record beside it
/// (empty for none), that are removed when the process ends inside a
/// completion handler; with `keepUnmoved`, both stay while the body is
/// still there (its move failed). Empty for none.
void setPendingTemporaryFile(std::string path, std::string record = {}, bool keepUnmoved = false);
/// The download service's body folder, open at `descriptor`: removed when
/// the process ends if it is empty and no other run holds it. An empty path for none.
void setPendingBodyFolder(std::string path, int descriptor);
/// Removes the pending temporary file and its record (while each is still
/// ours, and unless they are kept), then the pending body folder, when
/// nothing else is left in it.
void removePendingTemporaryFile();

/// Process-wide set-up that must happen before any thread starts.
void initializeProcess();

}
