// SPDX-License-Identifier: Apache-2.0
#include "platform/DownloadTransfer.h"

#include "platform/Body.h"
#include "platform/HttpHeaders.h"
#include "platform/Progress.h"
#include "platform/ReceiverMessages.h"
#include "platform/ResumeDecisions.h"
#include "platform/TransferSignals.h"
#include "platform/TransferStop.h"

#include <algorithm>
#include <curl/curl.h>

namespace platform {

namespace {

    using Clock = std::chrono::steady_clock;
    /// How often a quiet transfer looks at signals, its idle time and its record.
    constexpr std::chrono::milliseconds progressTick { 250 };

    struct DownloadOutcome {
        std::optional<URL> location {};
        std::optional<URLResponse> response {};
        std::optional<Error> error {};
    };

    /// Everything one request learns; a new attempt starts from a fresh value.
    struct Attempt {
        /// The offset sent in Range, when one was sent.
        std::optional<std::uint64_t> rangeStart;
        ResponseHeaders headers;
        std::string effectiveURL;
        bool decided = false;
        std::optional<std::uint64_t> bodyLimit;
        std::uint64_t received = 0;
        TransferStop stopped;
        Clock::time_point lastActivity = Clock::now();
    };

    /// One task's transfer: the request(s) the receiver makes, the decision taken on the final response's header, and
    /// the body written accordingly. Each step that returns false stops the request.
    struct Transfer {
        URLSessionConfiguration const& m_configuration;
        std::string const& m_url;
        Body& m_body;
        std::optional<ResumeData> const& m_resume;
        ReceiverProcess& m_receiver;
        Attempt m_attempt {};
        Clock::time_point m_started = Clock::now();
        Clock::time_point m_recorded {};

        bool stop(StopReason reason) { return m_attempt.stopped.stop(std::move(reason)); }
        /// False, having stopped for it, when a write to the body failed.
        bool wrote(std::expected<void, Error> const& done) { return done || stop(stop::WriteFailed { done.error() }); }

        bool decide()
        {
            m_attempt.decided = true;
            m_attempt.bodyLimit = bodyLimit(m_attempt.headers, m_resume, m_attempt.rangeStart);
            switch (responseUse(m_attempt.headers, m_resume, m_attempt.rangeStart)) {
            case ResponseUse::Append:
                return true;
            case ResponseUse::StartOver:
                return stop(stop::Restart {});
            case ResponseUse::Fail:
                return stop(stop::ErrorAnswer {});
            case ResponseUse::Complete:
                return stop(stop::Complete {});
            case ResponseUse::Replace:
                break;
            }
            if (m_attempt.rangeStart && !wrote(m_body.startOver()))
                return false;
            // Before any byte of this response lands, the record says what the body holds.
            return keepProgress();
        }

        /// Writes the body out and replaces the record beside it.
        bool keepProgress()
        {
            m_recorded = Clock::now();
            if (!wrote(m_body.flush()))
                return false;
            (void)m_body.recordProgress(resumeData());
            return true;
        }

        /// One request, from asking the receiver to its end: libcurl's result as the receiver reports it, or the result
        /// that stands for why the root process ended it.
        CURLcode exchange()
        {
            auto lines = m_attempt.rangeStart ? rangeRequestHeaders(*m_resume, *m_attempt.rangeStart)
                                              : std::vector<std::string> {};
            auto idle = m_configuration.timeoutIntervalForRequest;
            m_attempt.lastActivity = Clock::now();
            // A signal that came before the transfer started still counts.
            if (int signalNumber = TransferSignalGuard::caughtSignal()) {
                stop(stop::Signal { signalNumber });
                return CURLE_ABORTED_BY_CALLBACK;
            }
            if (!m_receiver.send(receiver::encode(
                    receiver::Request { m_url, lines, m_configuration.certificateAuthorities, idle.count() })))
                return CURLE_RECV_ERROR;
            for (;;) {
                auto now = Clock::now();
                if (int signalNumber = TransferSignalGuard::caughtSignal())
                    stop(stop::Signal { signalNumber });
                else if (now - m_attempt.lastActivity >= idle)
                    stop(stop::IdleTimeout {});
                else if (m_attempt.decided && now - m_recorded >= progressRecordInterval)
                    (void)keepProgress();
                // NOTE: what the receiver would still send after any other stop is not wanted.
                if (m_attempt.stopped.endsNow()) {
                    m_receiver.stop();
                    return CURLE_ABORTED_BY_CALLBACK;
                }
                auto wait
                    = std::chrono::duration_cast<std::chrono::milliseconds>(idle - (now - m_attempt.lastActivity));
                auto got = m_receiver.receive(std::clamp(wait, std::chrono::milliseconds(1), progressTick));
                using Kind = ReceiverProcess::Received::Kind;
                if (got.kind == Kind::Nothing)
                    continue;
                if (got.kind == Kind::Gone)
                    return CURLE_RECV_ERROR; // A receiver that died is a transfer that broke off.
                if (got.kind == Kind::Refused) {
                    stop(stop::BadMessage { std::move(got.refusal) });
                    continue;
                }
                m_attempt.lastActivity = Clock::now();
                if (auto result = take(*got.message))
                    return *result;
                showProgress();
            }
        }

        /// A result when the request is over.
        std::optional<CURLcode> take(receiver::FromReceiver const& message)
        {
            if (auto const* head = std::get_if<receiver::Head>(&message)) {
                if (m_attempt.decided) {
                    stop(stop::BadMessage { "A second header for one request" });
                    return std::nullopt;
                }
                m_attempt.headers = head->headers;
                m_attempt.effectiveURL = head->effectiveURL;
                bool sent = m_receiver.send(receiver::encode(receiver::Decision { decide() }));
                return sent ? std::nullopt : std::optional(CURLE_RECV_ERROR);
            }
            if (auto const* piece = std::get_if<receiver::Piece>(&message)) {
                // NOTE: bytes before the header was decided, or after the request was told to stop, are not the
                // receiver's.
                if (!m_attempt.decided || !m_attempt.stopped.is<std::monostate>())
                    stop(stop::BadMessage { "Body bytes that were not asked for" });
                else
                    (void)append(piece->length);
                return std::nullopt;
            }
            auto result = static_cast<CURLcode>(std::get<receiver::End>(message).curlCode);
            // NOTE: a request that succeeded had a response, and its header came first.
            if (result == CURLE_OK && !m_attempt.decided) {
                stop(stop::BadMessage { "An end without a header" });
                return CURLE_WEIRD_SERVER_REPLY;
            }
            return result;
        }

        bool append(std::size_t length)
        {
            m_attempt.received += length;
            // Only what fits is written: nothing past the entity reaches the body, nor the record of its progress.
            auto limit = m_attempt.bodyLimit;
            std::uint64_t room = !limit ? UINT64_MAX : *limit > m_body.length() ? *limit - m_body.length() : 0;
            std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(length, room));
            auto moved = m_body.appendFrom(m_receiver.bodyPipe(), wanted);
            if (!moved)
                return stop(stop::WriteFailed { moved.error() });
            if (*moved < wanted)
                return stop(stop::BadMessage { "A piece whose bytes were not sent" });
            if (wanted < length)
                return stop(stop::PastEntity { *limit });
            return true;
        }

        void showProgress() const
        {
            if (!m_attempt.decided)
                return;
            // Counts of a ranged response start at our offset.
            std::uint64_t offset = m_attempt.headers.status == 206 && m_attempt.rangeStart ? *m_attempt.rangeStart : 0;
            auto length = m_attempt.headers.contentLength;
            double seconds = std::chrono::duration<double>(Clock::now() - m_started).count();
            platform::showProgress(offset + m_attempt.received, length ? offset + *length : 0,
                seconds > 0 ? static_cast<double>(m_attempt.received) / seconds : 0);
        }

        std::optional<Bytes> resumeData() const
        {
            return encodedResumeDataAfterFailure(
                { m_url, m_body.name(), m_body.length(), m_resume, m_attempt.rangeStart,
                    m_attempt.decided ? std::optional(m_attempt.headers) : std::nullopt, m_body.folderPath() });
        }

        DownloadOutcome finish(CURLcode result)
        {
            DownloadOutcome outcome;
            if (m_attempt.decided)
                outcome.response = URLResponse { m_attempt.headers.status, m_attempt.effectiveURL };
            (void)wrote(m_body.flush());
            bool complete = m_attempt.stopped.is<stop::Complete>();
            if (complete)
                result = CURLE_OK; // The body already held the whole entity; its record says so.
            else if (result == CURLE_OK && m_attempt.decided
                && endsShortOfEntity(m_attempt.headers, m_resume, m_attempt.rangeStart, m_body.length()))
                result = CURLE_PARTIAL_FILE;
            if (result == CURLE_OK && !m_attempt.stopped.is<stop::WriteFailed>()) {
                auto whole = complete ? encodeResumeData(*m_resume) : std::unexpected(Error {});
                outcome.location = m_body.handOver(whole ? std::optional(*whole) : resumeData());
            } else {
                outcome.error = m_body.fail(m_attempt.stopped.error(result, m_url, m_attempt.headers.status,
                                                m_configuration.timeoutIntervalForRequest),
                    resumeData());
            }
            return outcome;
        }

        DownloadOutcome run()
        {
            auto start = m_body.start();
            if (!start)
                return { .error = Error::url(URLErrorCode::CannotWriteToFile, m_url, start.error().description()) };
            m_attempt.rangeStart = start->rangeStart;
            CURLcode result = exchange();
            if (m_attempt.stopped.is<stop::Restart>()) {
                // The server could not continue our bytes: take the whole entity again, in this same task.
                m_attempt = Attempt {};
                if (!wrote(m_body.startOver()))
                    return finish(CURLE_WRITE_ERROR);
                result = exchange();
            }
            return finish(result);
        }
    };

}

void performDownload(URLSessionConfiguration const& configuration, std::expected<ChosenBodyFolder, Error> const& folder,
    std::string const& url, std::optional<ResumeData> const& stored, std::expected<ReceiverProcess, Error>& receiver,
    CompletionHandler const& handler)
{
    if (!folder)
        return handler(
            std::nullopt, std::nullopt, Error::url(URLErrorCode::CannotWriteToFile, url, folder.error().description()));
    std::optional<Body> body;
    auto outcome = [&]() -> DownloadOutcome {
        TransferSignalGuard signals;
        auto opened = Body::open(*folder, url, stored);
        if (!opened)
            return { .error = opened.error() };
        if (!receiver)
            return { .error
                = Error::url(URLErrorCode::Unknown, url, "No receiver: " + receiver.error().description()) };
        body.emplace(std::move(*opened));
        return Transfer { configuration, url, *body, body->continuesFrom(), *receiver }.run();
    }();
    // NOTE: one task a run: its receiver ends with its transfer.
    if (receiver)
        receiver->finish();
    // NOTE: the body, still open, goes once the handler returns: what it left for an exit inside the handler is tidied
    // then, never later through a folder that is gone.
    handler(outcome.location, outcome.response, outcome.error);
}

}
