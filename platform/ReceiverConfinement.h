// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace platform {

/// Confines the receiver for good before its first request: nobody (65534) with no capability, dying with the root
/// process, reading only what name resolution and TLS need, and calling only what a transfer calls. False when the root
/// process is gone or a layer could not be put in force (only a kernel without Landlock skips that layer).
[[nodiscard]] bool confineReceiver();

}
