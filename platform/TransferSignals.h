// SPDX-License-Identifier: Apache-2.0
#pragma once

// The signals that cancel a running transfer with its resume data instead of ending the process.

#include <signal.h>

namespace platform {

/// While alive, SIGINT, SIGTERM and SIGHUP do not end the process but are noted, so that the running transfer can stop
/// and keep its resume data. The first such signal puts the default dispositions back: a second one ends the process at
/// once, even while the resume data is being saved.
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
