// SPDX-License-Identifier: Apache-2.0
#include "platform/TransferStop.h"

#include "platform/CurlErrors.h"

#include <type_traits>

namespace platform {

bool TransferStop::stop(StopReason reason)
{
    if (is<std::monostate>() || (std::holds_alternative<stop::WriteFailed>(reason) && !is<stop::WriteFailed>()))
        m_reason = std::move(reason);
    return false;
}

Error TransferStop::error(CURLcode result, std::string const& url, long status, std::chrono::milliseconds idle) const
{
    auto failed = [&](long code, std::string const& underlying) { return Error::url(code, url, underlying); };
    auto const answered = "HTTP status " + std::to_string(status);
    return std::visit(
        [&](auto const& reason) {
            using Reason = std::decay_t<decltype(reason)>;
            if constexpr (std::is_same_v<Reason, stop::WriteFailed>)
                return failed(URLErrorCode::CannotWriteToFile, reason.cause.description());
            else if constexpr (std::is_same_v<Reason, stop::Signal>)
                return failed(URLErrorCode::Cancelled, "Interrupted by signal " + std::to_string(reason.number));
            else if constexpr (std::is_same_v<Reason, stop::ErrorAnswer>)
                return failed(URLErrorCode::BadServerResponse, answered + " to a range request");
            else if constexpr (std::is_same_v<Reason, stop::PastEntity>)
                return failed(URLErrorCode::BadServerResponse,
                    answered + " sent bytes past its end (the body may hold " + std::to_string(reason.limit)
                        + " bytes)");
            else if constexpr (std::is_same_v<Reason, stop::BadMessage>)
                return failed(URLErrorCode::BadServerResponse, "The receiver broke its protocol: " + reason.what);
            else if constexpr (std::is_same_v<Reason, stop::IdleTimeout>)
                return failed(URLErrorCode::TimedOut, "No data received for " + std::to_string(idle.count()) + " ms");
            else
                return failed(urlErrorCodeForCurlCode(result), curlCodeText(result));
        },
        m_reason);
}

}
