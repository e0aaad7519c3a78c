// SPDX-License-Identifier: Apache-2.0
#pragma once

// The signals that cancel a running transfer with its resume data instead of ending the process.

#include <signal.h>

namespace platform {

/// While alive, SIGINT, SIGTERM and SIGHUP are only noted. The first puts the default dispositions back: a second one
/// ends the process at once, even while the resume data is being saved.
class TransferSignalGuard {
public:
    TransferSignalGuard();
    ~TransferSignalGuard();
    TransferSignalGuard(TransferSignalGuard const&) = delete;
    TransferSignalGuard& operator=(TransferSignalGuard const&) = delete;

    /// The signal caught since the guard was made, or 0.
    static int caughtSignal();

private:
    struct sigaction m_previous[3] {};
    bool m_installed[3] {};
};

}
