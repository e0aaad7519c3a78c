// SPDX-License-Identifier: Apache-2.0
#pragma once

// The receiver, seen from the root process: a process of its own that speaks the network (quenbury-receiver) and hands
// over, through one socket of packets, the facts of each response, and through a pipe its body's bytes (see
// ReceiverMessages.h). It is started before the process confines itself (nothing may be executed after), it holds no
// privilege, and it dies with the root process. Everything it says is read as untrusted.

#include "platform/Error.h"
#include "platform/Posix.h"

#include <chrono>
#include <cstdint>
#include <expected>
#include <span>
#include <sys/types.h>
#include <vector>

namespace platform {

class ReceiverProcess {
public:
    /// Starts quenbury-receiver, found beside this program (as in a build) or in ../libexec/quenbury (as installed),
    /// only when it is a regular file of root's or ours that nobody else may write; it is executed through the
    /// descriptor that was checked.
    [[nodiscard]] static std::expected<ReceiverProcess, Error> start();

    ReceiverProcess(ReceiverProcess&& other) noexcept;
    ReceiverProcess& operator=(ReceiverProcess&&) = delete;
    /// Ends the receiver, if it still runs, and reaps it.
    ~ReceiverProcess();

    /// Sends one packet; false when the receiver is gone.
    [[nodiscard]] bool send(std::span<std::uint8_t const> packet);

    /// What one wait for the receiver brought.
    struct Received {
        enum class Kind {
            /// A packet, at `packet` (valid until the next receive).
            Packet,
            /// Nothing within the time given, or a signal came.
            Nothing,
            /// The receiver closed its end, died or was ended.
            Gone,
            /// A packet larger than any message may be.
            Oversized,
        } kind;
        std::span<std::uint8_t const> packet {};
    };
    /// Waits up to `timeout` for one packet.
    [[nodiscard]] Received receive(std::chrono::milliseconds timeout);
    /// The body's pipe, where each Piece's bytes wait (it never blocks).
    int bodyPipe() const { return m_body.get(); }

    /// Ends the receiver now (SIGKILL); what it would still send is lost.
    void stop();
    /// Closes the channel and waits (2 s at most) for the receiver to end: once the task is over, nothing of it
    /// outlives it, and what the receiver spent is counted as the run's.
    void finish();

private:
    ReceiverProcess(pid_t pid, FileDescriptor socket, FileDescriptor body);

    pid_t m_pid = -1;
    FileDescriptor m_socket;
    FileDescriptor m_body;
    std::vector<std::uint8_t> m_buffer;
};

}
