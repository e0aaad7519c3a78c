// SPDX-License-Identifier: Apache-2.0
#pragma once

// Why a request stopped before libcurl ended it: one reason, set through one function that states which wins, so that
// finishing is one visit.

#include "platform/Error.h"

#include <chrono>
#include <curl/curl.h>

namespace platform {

namespace stop {
    struct IdleTimeout { };
    /// SIGINT, SIGTERM or SIGHUP: the transfer stops with its resume data.
    struct Signal {
        int number;
    };
    /// The server cannot continue our bytes: the whole entity again, in this task.
    struct Restart { };
    struct WriteFailed {
        Error cause;
    };
    /// An error status to a range request.
    struct ErrorAnswer { };
    /// The body already holds the whole entity: nothing is left to ask.
    struct Complete { };
    /// The receiver sent what no receiver may: a malformed or oversized message, or bytes not asked for.
    struct BadMessage {
        std::string what;
    };
    /// Bytes past the Content-Range, Content-Length or entity's length (see bodyLimit); they are not written.
    struct PastEntity {
        std::uint64_t limit;
    };
}

using StopReason = std::variant<std::monostate, stop::IdleTimeout, stop::Signal, stop::Restart, stop::WriteFailed,
    stop::ErrorAnswer, stop::Complete, stop::BadMessage, stop::PastEntity>;

class TransferStop {
public:
    /// A write failure replaces any other reason but an earlier write failure (the body is then not what the rest would
    /// assume); any other reason only fills an empty slot. False, for a step to stop with.
    bool stop(StopReason reason);
    template<typename Reason> bool is() const { return std::holds_alternative<Reason>(m_reason); }
    /// Whether the request ends here, rather than at the receiver's end of it: a decision lets the receiver finish.
    bool endsNow() const
    {
        return !is<std::monostate>() && !is<stop::Restart>() && !is<stop::ErrorAnswer>() && !is<stop::Complete>();
    }
    /// The error the task fails with: the reason's, else libcurl's `result` (`status` is the final response's).
    Error error(CURLcode result, std::string const& url, long status, std::chrono::milliseconds idle) const;

private:
    StopReason m_reason;
};

}
