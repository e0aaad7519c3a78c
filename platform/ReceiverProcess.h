// SPDX-License-Identifier: Apache-2.0
#pragma once

// The receiver seen from the root process: quenbury-receiver speaks the network and hands over each response's facts
// as packets and its body through a pipe (see ReceiverMessages.h). Started before confinement (nothing is executed
// after), unprivileged, dying with the root process; all it says is untrusted.

#include "platform/Posix.h"
#include "platform/ReceiverMessages.h"

#include <chrono>
#include <sys/types.h>

namespace platform {

/// A regular file that root or we own and that neither its group nor others may write: the receiver runs as root
/// until it drops everything, so only a program nobody else could have changed is run.
[[nodiscard]] bool isProgramOfRootsOwn(struct stat const& status);

class ReceiverProcess {
public:
    /// Starts quenbury-receiver from beside this program or ../libexec/quenbury when it passes isProgramOfRootsOwn,
    /// executing the descriptor that was checked.
    [[nodiscard]] static std::expected<ReceiverProcess, Error> start();

    ReceiverProcess(ReceiverProcess&&) = default;
    ~ReceiverProcess();

    /// Sends one packet; false when the receiver is gone.
    [[nodiscard]] bool send(std::span<std::uint8_t const> packet);

    /// What one wait for the receiver brought.
    struct Received {
        enum class Kind {
            Message,
            /// Nothing within the time given, or a signal came.
            Nothing,
            /// The receiver closed its end, died or was ended.
            Gone,
            /// A packet that is not one well-formed message; why, in `refusal`.
            Refused,
        } kind;
        std::optional<receiver::FromReceiver> message {};
        std::string refusal {};
    };
    /// Waits up to `timeout` for one packet, and reads it with the channel's parser.
    [[nodiscard]] Received receive(std::chrono::milliseconds timeout);
    /// Where each Piece's bytes wait (it never blocks).
    int bodyPipe() const { return m_body.get(); }

    /// Ends the receiver now (SIGKILL); what it would still send is lost.
    void stop();
    /// Closes the channel and waits (2 s at most) for the receiver to end, so nothing of the task outlives it.
    void finish();

private:
    ReceiverProcess() = default;

    pid_t m_pid = -1;
    FileDescriptor m_socket;
    FileDescriptor m_body;
    std::vector<std::uint8_t> m_buffer = std::vector<std::uint8_t>(receiver::maximumPacket + 1);
};

}
