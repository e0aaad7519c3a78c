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
    return std::visit(
        [&](auto const& reason) {
            using Reason = std::decay_t<decltype(reason)>;
            if constexpr (std::is_same_v<Reason, stop::WriteFailed>)
                return Error::url(URLErrorCode::CannotWriteToFile, url, reason.cause.description());
            else if constexpr (std::is_same_v<Reason, stop::Signal>)
                return Error::url(
                    URLErrorCode::Cancelled, url, "Interrupted by signal " + std::to_string(reason.number));
            else if constexpr (std::is_same_v<Reason, stop::ErrorAnswer>)
                return Error::url(URLErrorCode::BadServerResponse, url,
                    "HTTP status " + std::to_string(status) + " to a range request");
            else if constexpr (std::is_same_v<Reason, stop::PastEntity>)
                return Error::url(URLErrorCode::BadServerResponse, url,
                    "HTTP status " + std::to_string(status) + " sent bytes past its end (the body may hold "
                        + std::to_string(reason.limit) + " bytes)");
            else if constexpr (std::is_same_v<Reason, stop::BadMessage>)
                return Error::url(
                    URLErrorCode::BadServerResponse, url, "The receiver broke its protocol: " + reason.what);
            else if constexpr (std::is_same_v<Reason, stop::IdleTimeout>)
                return Error::url(
                    URLErrorCode::TimedOut, url, "No data received for " + std::to_string(idle.count()) + " ms");
            else
                return Error::url(urlErrorCodeForCurlCode(result), url, curlCodeText(result));
        },
        m_reason);
}

}
