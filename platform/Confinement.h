// SPDX-License-Identifier: Apache-2.0
#pragma once

// How the running tool confines itself before its first connection (no new privileges, Landlock, a seccomp filter and
// the capabilities it keeps; best effort and silent: an older kernel runs unconfined), and how the receiver does.

#include <climits>
#include <span>

namespace platform {

/// Confines the calling thread and those it starts to writing only beneath `writableFolders` (by descriptor, so a
/// linked folder counts as itself) and executing nothing; from Landlock ABI 6 on it signals nobody outside. Reading
/// stays open. `abiCeiling` stands in for an older kernel in tests. Returns the ABI in force, 0 when unconfined.
[[nodiscard]] int confineWrites(std::span<int const> writableFolders, int abiCeiling = INT_MAX);

/// Refuses (EPERM), for the calling thread and those it starts, the calls root could use to leave its confinement or
/// take the machine. False when not in force (best effort).
[[nodiscard]] bool refuseEscapeCalls();

/// Lets the calling thread and those it starts make only the calls a transfer makes; any other fails with EPERM.
[[nodiscard]] bool allowOnlyTransferCalls();

/// Gives up every capability but CAP_DAC_OVERRIDE (root still writes in a work folder another user owns), and all of
/// them from the inheritable, ambient and bounding sets. False when a step failed (as when not root); the rest is done.
[[nodiscard]] bool dropCapabilities();

/// Confines the receiver for good before its first request: nobody (65534) with no capability, dying with the root
/// process, reading only what name resolution and TLS need, and calling only what a transfer calls. False when the root
/// process is gone or a layer could not be put in force (only a kernel without Landlock skips that layer).
[[nodiscard]] bool confineReceiver();

}
