// SPDX-License-Identifier: Apache-2.0
#pragma once

// The process's life: its set-up before any thread, and its end from any
// thread, with what the download service left to tidy.

#include <functional>

namespace platform {

/// Ends the process with `status` from any thread, while other threads may be
/// blocked: tidies what setExitTidy left, flushes the standard streams and
/// ends without running static destructors.
[[noreturn]] void exitProcess(int status);

/// What is left to tidy should the process end now (inside a completion
/// handler): the download service's leftovers. Each call replaces the one
/// before; it runs once, in exitProcess or in tidyNow.
void setExitTidy(std::function<void()> action);
/// Runs, and forgets, what setExitTidy left.
void tidyNow();

/// Process-wide set-up that must happen before any thread starts.
void initializeProcess();

}
