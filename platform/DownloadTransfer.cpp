// SPDX-License-Identifier: Apache-2.0
#include "platform/DownloadTransfer.h"

#include "platform/CurlErrors.h"
#include "platform/CurlSetup.h"
#include "platform/HttpHeaders.h"
#include "platform/Progress.h"
#include "platform/ResumeDecisions.h"
#include "platform/TransferSignals.h"
#include "platform/TransferStop.h"

#include <chrono>
#include <span>

namespace platform {

namespace {

    using Clock = std::chrono::steady_clock;

    /// One task's transfer: the request(s), the decision taken on the final
    /// response's header, and the body written accordingly.
    class Transfer {
    public:
        Transfer(URLSessionConfiguration const& configuration, std::string const& url, Body& body)
            : m_configuration(configuration)
            , m_url(url)
            , m_body(body)
            , m_resume(body.continuesFrom())
        {
        }

        DownloadOutcome run(CurlHandle& handle);

    private:
        /// Everything one request learns; a new attempt starts from a fresh value.
        struct Attempt {
            /// The offset sent in Range, when one was sent.
            std::optional<std::uint64_t> rangeStart;
            ResponseHeaders headers;
            bool decided = false;
            /// The most the body may hold for the final response (see bodyLimit).
            std::optional<std::uint64_t> bodyLimit;
            TransferStop stopped;
            Clock::time_point lastActivity = Clock::now();
        };

        /// Notes why the request stops (see TransferStop::stop); false, for a callback to stop libcurl with.
        bool stop(StopReason reason) { return m_attempt.stopped.stop(std::move(reason)); }
        CURLcode configure(CurlHandle& handle);
        /// Decides, on the final response's header, where its body goes; false stops the request.
        bool decide();
        /// Writes the body out and replaces the record beside it; false when the write failed.
        bool keepProgress();
        std::optional<Bytes> resumeData() const;
        DownloadOutcome finish(CURLcode result, CurlHandle& handle);

        static size_t onHeader(char* data, size_t size, size_t count, void* context);
        static size_t onBody(char* data, size_t size, size_t count, void* context);
        static int onProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

        URLSessionConfiguration const& m_configuration;
        std::string const& m_url;
        Body& m_body;
        std::optional<ResumeData> const& m_resume;

        Attempt m_attempt;
        /// The body no longer holds what the resume data describes.
        bool m_bodyReplaced = false;
        Clock::time_point m_started = Clock::now();
        Clock::time_point m_recorded;
    };

    CURLcode Transfer::configure(CurlHandle& handle)
    {
        std::vector<std::string> lines;
        if (m_attempt.rangeStart)
            lines = rangeRequestHeaders(*m_resume, *m_attempt.rangeStart);
        return configureRequest(handle, m_configuration, m_url, lines,
            { &Transfer::onHeader, &Transfer::onBody, &Transfer::onProgress, this });
    }

    bool Transfer::decide()
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
        if (m_attempt.rangeStart) {
            m_bodyReplaced = true;
            if (auto emptied = m_body.file().truncate(0); !emptied)
                return stop(stop::WriteFailed { emptied.error() });
        }
        // Before any byte of this response lands, the record says what the body holds.
        return keepProgress();
    }

    bool Transfer::keepProgress()
    {
        m_recorded = Clock::now();
        if (auto flushed = m_body.file().flush(); !flushed)
            return stop(stop::WriteFailed { flushed.error() });
        (void)m_body.recordProgress(resumeData());
        return true;
    }

    size_t Transfer::onHeader(char* data, size_t size, size_t count, void* context)
    {
        auto& transfer = *static_cast<Transfer*>(context);
        auto& attempt = transfer.m_attempt;
        size_t length = size * count;
        attempt.lastActivity = Clock::now();
        if (attempt.decided)
            return length; // Trailers.
        std::string_view line(data, length);
        if (line != "\r\n" && line != "\n") {
            attempt.headers.addLine(line);
            return length;
        }
        long status = attempt.headers.status;
        bool interim = status >= 100 && status < 200;
        bool followed = status >= 300 && status < 400 && attempt.headers.hasLocation;
        if (interim || followed)
            return length;
        return transfer.decide() ? length : 0;
    }

    size_t Transfer::onBody(char* data, size_t size, size_t count, void* context)
    {
        auto& transfer = *static_cast<Transfer*>(context);
        size_t length = size * count;
        transfer.m_attempt.lastActivity = Clock::now();
        if (!transfer.m_attempt.decided && !transfer.decide())
            return 0;
        auto& file = transfer.m_body.file();
        std::span<std::uint8_t const> bytes(reinterpret_cast<std::uint8_t const*>(data), length);
        // Only what fits is written: nothing past the entity reaches the body,
        // nor the record that the progress writes of it.
        auto limit = transfer.m_attempt.bodyLimit;
        std::uint64_t room = !limit ? UINT64_MAX : *limit > file.length() ? *limit - file.length() : 0;
        bool overruns = bytes.size() > room;
        if (overruns)
            bytes = bytes.first(static_cast<size_t>(room));
        if (auto appended = file.append(bytes); !appended)
            return transfer.stop(stop::WriteFailed { appended.error() });
        if (overruns)
            return transfer.stop(stop::PastEntity { *limit });
        return length;
    }

    int Transfer::onProgress(void* context, curl_off_t downloadTotal, curl_off_t downloaded, curl_off_t, curl_off_t)
    {
        auto& transfer = *static_cast<Transfer*>(context);
        auto& attempt = transfer.m_attempt;
        if (progressDisplayEnabled() && attempt.decided) {
            // Counts of a ranged response start at our offset.
            std::uint64_t offset = attempt.headers.status == 206 && attempt.rangeStart ? *attempt.rangeStart : 0;
            double seconds = std::chrono::duration<double>(Clock::now() - transfer.m_started).count();
            showProgress(offset + static_cast<std::uint64_t>(downloaded),
                downloadTotal > 0 ? offset + static_cast<std::uint64_t>(downloadTotal) : 0,
                seconds > 0 ? static_cast<double>(downloaded) / seconds : 0);
        }
        if (attempt.decided && Clock::now() - transfer.m_recorded >= progressRecordInterval && !transfer.keepProgress())
            return 1;
        if (int signalNumber = TransferSignalGuard::caughtSignal())
            transfer.stop(stop::Signal { signalNumber });
        else if (Clock::now() - attempt.lastActivity >= transfer.m_configuration.timeoutIntervalForRequest)
            transfer.stop(stop::IdleTimeout {});
        else
            return 0;
        return 1;
    }

    std::optional<Bytes> Transfer::resumeData() const
    {
        return encodedResumeDataAfterFailure(
            { m_url, m_body.file().name(), m_body.file().length(), m_resume, m_attempt.rangeStart,
                m_attempt.decided ? std::optional(m_attempt.headers) : std::nullopt, m_body.folderPath() });
    }

    DownloadOutcome Transfer::finish(CURLcode result, CurlHandle& handle)
    {
        DownloadOutcome outcome;
        auto& attempt = m_attempt;
        if (attempt.decided) {
            URLResponse response;
            response.statusCode = attempt.headers.status;
            char* effective = nullptr;
            if (curl_easy_getinfo(handle.get(), CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
                response.url = effective;
            outcome.response = response;
        }
        if (auto flushed = m_body.file().flush(); !flushed)
            stop(stop::WriteFailed { flushed.error() });
        bool complete = attempt.stopped.is<stop::Complete>();
        if (complete)
            result = CURLE_OK; // The body already held the whole entity; its record says so.
        else if (result == CURLE_OK && attempt.decided
            && endsShortOfEntity(attempt.headers, m_resume, attempt.rangeStart, m_body.file().length()))
            result = CURLE_PARTIAL_FILE;
        if (result == CURLE_OK && !attempt.stopped.is<stop::WriteFailed>()) {
            auto whole = complete ? encodeResumeData(*m_resume) : std::unexpected(Error {});
            outcome.location = m_body.handOver(whole ? std::optional(*whole) : resumeData());
            return outcome;
        }

        Error error
            = attempt.stopped.error(result, m_url, attempt.headers.status, m_configuration.timeoutIntervalForRequest);
        bool resumable = error.is(ErrorDomain::URL, URLErrorCode::NetworkConnectionLost)
            || error.is(ErrorDomain::URL, URLErrorCode::TimedOut)
            || error.is(ErrorDomain::URL, URLErrorCode::Cancelled);
        std::optional<Bytes> data = resumable ? resumeData() : std::nullopt;
        switch (failedBodyFate(data.has_value(), m_resume.has_value(), m_bodyReplaced)) {
        case BodyFate::KeepForResume:
            m_body.keepForResume(*data);
            error.userInfo.insert_or_assign(std::string(UserInfoKey::DownloadTaskResumeData), std::move(*data));
            break;
        case BodyFate::Discard:
            m_body.discard();
            break;
        case BodyFate::Keep:
            break;
        }
        outcome.error = std::move(error);
        return outcome;
    }

    DownloadOutcome Transfer::run(CurlHandle& handle)
    {
        auto size = m_body.file().sizeOnDisk();
        auto start = startingPoint(m_resume, size ? *size : 0);
        m_attempt.rangeStart = start.rangeStart;
        m_bodyReplaced = start.dropsResumedBytes;
        auto positioned = size ? m_body.file().truncate(start.keptLength) : errorOf(size);
        if (!positioned) {
            DownloadOutcome outcome;
            outcome.error = Error::url(URLErrorCode::CannotWriteToFile, m_url, positioned.error().description());
            return outcome;
        }
        for (int attempt = 0;; ++attempt) {
            CURLcode result = configure(handle);
            if (result == CURLE_OK) {
                m_attempt.lastActivity = Clock::now();
                // A signal that came before the transfer started still counts.
                result
                    = TransferSignalGuard::caughtSignal() ? CURLE_ABORTED_BY_CALLBACK : curl_easy_perform(handle.get());
                if (result == CURLE_ABORTED_BY_CALLBACK)
                    stop(stop::Signal { TransferSignalGuard::caughtSignal() });
            }
            if (m_attempt.stopped.is<stop::Restart>() && attempt == 0) {
                // The server could not continue our bytes: take the whole entity
                // again, in this same task.
                m_attempt = Attempt {};
                m_bodyReplaced = true;
                if (auto emptied = m_body.file().truncate(0); !emptied) {
                    stop(stop::WriteFailed { emptied.error() });
                    return finish(CURLE_WRITE_ERROR, handle);
                }
                continue;
            }
            return finish(result, handle);
        }
    }

}

DownloadOutcome performDownload(URLSessionConfiguration const& configuration, ChosenBodyFolder const& folder,
    std::string const& url, std::optional<ResumeData> const& stored)
{
    auto handle = CurlHandle::create(url);
    auto body = handle ? Body::open(folder, url, stored) : errorOf(handle);
    if (!body) {
        DownloadOutcome failed;
        failed.error = body.error();
        return failed;
    }
    auto outcome = Transfer(configuration, url, *body).run(*handle);
    outcome.body.emplace(std::move(*body));
    return outcome;
}

}
