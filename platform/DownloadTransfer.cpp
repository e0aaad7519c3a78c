// SPDX-License-Identifier: Apache-2.0
#include "platform/DownloadTransfer.h"

#include "platform/BodyProgressRecord.h"
#include "platform/CurlErrors.h"
#include "platform/CurlSetup.h"
#include "platform/HttpHeaders.h"
#include "platform/Progress.h"
#include "platform/ResumeDecisions.h"
#include "platform/TaskBody.h"
#include "platform/TransferSignals.h"

#include <chrono>

namespace platform {

namespace {

    using Clock = std::chrono::steady_clock;

    Error writeFailure(std::string const& url, Error const& cause)
    {
        return Error::url(URLErrorCode::CannotWriteToFile, url, cause.description());
    }

    /// One task's transfer: the request(s), the decision taken on the final
    /// response's header, and the body written accordingly.
    class Transfer {
    public:
        Transfer(URLSessionConfiguration const& configuration, DownloadRequest const& request, BodyFile& body,
            BodyFolder const& folder)
            : m_configuration(configuration)
            , m_request(request)
            , m_body(body)
            , m_folder(folder)
            , m_record(folder, body.name())
        {
        }

        DownloadOutcome run();

    private:
        enum class Abort { None, IdleTimeout, Signal, Restart, WriteFailed, ErrorAnswer, Complete };

        /// Everything one request learns; a new attempt starts from a fresh value.
        struct Attempt {
            /// The offset sent in Range, when one was sent.
            std::optional<std::uint64_t> rangeStart;
            ResponseHeaders headers;
            bool decided = false;
            Abort abort = Abort::None;
            int signal = 0;
            std::optional<Error> writeError;
            Clock::time_point lastActivity = Clock::now();
        };

        CURLcode configure(CurlHandle& handle);
        /// Decides, on the final response's header, where its body goes; false aborts the request.
        bool decide();
        /// Notes a failed write of the body; false, for a callback to abort with.
        bool failWrite(Error error);
        /// Writes the body out and replaces the record beside it; false when the write failed.
        bool keepProgress();
        std::optional<Bytes> resumeData() const;
        DownloadOutcome finish(CURLcode result, CurlHandle& handle);

        static size_t onHeader(char* data, size_t size, size_t count, void* context);
        static size_t onBody(char* data, size_t size, size_t count, void* context);
        static int onProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

        URLSessionConfiguration const& m_configuration;
        DownloadRequest const& m_request;
        BodyFile& m_body;
        BodyFolder const& m_folder;
        BodyProgressRecord const m_record;

        Attempt m_attempt;
        /// The body no longer holds what the given resume data describes.
        bool m_bodyReplaced = false;
        Clock::time_point m_started = Clock::now();
        Clock::time_point m_recorded;
    };

    bool Transfer::failWrite(Error error)
    {
        m_attempt.writeError = std::move(error);
        m_attempt.abort = Abort::WriteFailed;
        return false;
    }

    CURLcode Transfer::configure(CurlHandle& handle)
    {
        std::vector<std::string> lines;
        if (m_attempt.rangeStart)
            lines = rangeRequestHeaders(*m_request.resume, *m_attempt.rangeStart);
        return configureRequest(handle, m_configuration, m_request.url, lines,
            { &Transfer::onHeader, &Transfer::onBody, &Transfer::onProgress, this });
    }

    bool Transfer::decide()
    {
        m_attempt.decided = true;
        switch (responseUse(m_attempt.headers, m_request.resume, m_attempt.rangeStart)) {
        case ResponseUse::Append:
            return true;
        case ResponseUse::StartOver:
            m_attempt.abort = Abort::Restart;
            return false;
        case ResponseUse::Fail:
            m_attempt.abort = Abort::ErrorAnswer;
            return false;
        case ResponseUse::Complete:
            m_attempt.abort = Abort::Complete;
            return false;
        case ResponseUse::Replace:
            break;
        }
        if (m_attempt.rangeStart) {
            m_bodyReplaced = true;
            if (auto emptied = m_body.truncate(0); !emptied)
                return failWrite(emptied.error());
        }
        // Before any byte of this response lands, the record says what the body holds.
        return keepProgress();
    }

    bool Transfer::keepProgress()
    {
        m_recorded = Clock::now();
        if (auto flushed = m_body.flush(); !flushed)
            return failWrite(flushed.error());
        if (auto data = resumeData())
            m_record.write(*data);
        else
            m_record.remove();
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
        if (auto appended = transfer.m_body.append({ reinterpret_cast<std::uint8_t const*>(data), length });
            !appended) {
            transfer.failWrite(appended.error());
            return 0;
        }
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
        if (int signalNumber = TransferSignalGuard::caughtSignal()) {
            attempt.signal = signalNumber;
            attempt.abort = Abort::Signal;
            return 1;
        }
        if (Clock::now() - attempt.lastActivity >= transfer.m_configuration.timeoutIntervalForRequest) {
            attempt.abort = Abort::IdleTimeout;
            return 1;
        }
        return 0;
    }

    std::optional<Bytes> Transfer::resumeData() const
    {
        return encodedResumeDataAfterFailure(
            { m_request.url, m_body.name(), m_body.length(), m_request.resume, m_attempt.rangeStart,
                m_attempt.decided ? std::optional(m_attempt.headers) : std::nullopt, m_folder.path() });
    }

    DownloadOutcome Transfer::finish(CURLcode result, CurlHandle& handle)
    {
        DownloadOutcome outcome;
        auto& attempt = m_attempt;
        if (attempt.decided) {
            URLResponse response;
            response.statusCode = attempt.headers.status;
            char* effective = nullptr;
            if (curl_easy_getinfo(handle.curl, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
                response.url = effective;
            outcome.response = response;
        }
        if (auto flushed = m_body.flush(); !flushed && !attempt.writeError)
            failWrite(flushed.error());
        if (attempt.abort == Abort::Complete)
            result = CURLE_OK; // The body already held the whole entity; its record says so.
        else if (result == CURLE_OK && attempt.decided
            && endsShortOfEntity(attempt.headers, m_request.resume, attempt.rangeStart, m_body.length()))
            result = CURLE_PARTIAL_FILE;
        if (result == CURLE_OK && !attempt.writeError) {
            // The body was hashed as it arrived; verifying it need not read it again.
            m_body.handOverDigest();
            // NOTE: the record stays until the body is placed: should the move
            // fail, the next run finds the finished body through it.
            auto data = attempt.abort == Abort::Complete ? std::nullopt : resumeData();
            if (attempt.abort == Abort::Complete || (data && m_record.write(*data)))
                outcome.progressRecord = m_folder.path() + "/" + m_record.name();
            else
                m_record.remove();
            outcome.location = URL::fileURL(m_body.path());
            return outcome;
        }

        Error error;
        if (attempt.abort == Abort::WriteFailed)
            error = writeFailure(m_request.url, *attempt.writeError);
        else if (attempt.abort == Abort::Signal)
            error = Error::url(
                URLErrorCode::Cancelled, m_request.url, "Interrupted by signal " + std::to_string(attempt.signal));
        else if (attempt.abort == Abort::ErrorAnswer)
            error = Error::url(URLErrorCode::BadServerResponse, m_request.url,
                "HTTP status " + std::to_string(attempt.headers.status) + " to a range request");
        else if (attempt.abort == Abort::IdleTimeout)
            error = Error::url(URLErrorCode::TimedOut, m_request.url,
                "No data received for " + std::to_string(m_configuration.timeoutIntervalForRequest.count()) + " ms");
        else
            error = Error::url(urlErrorCodeForCurlCode(result), m_request.url, curlCodeText(result));

        bool resumable = error.is(ErrorDomain::URL, URLErrorCode::NetworkConnectionLost)
            || error.is(ErrorDomain::URL, URLErrorCode::TimedOut)
            || error.is(ErrorDomain::URL, URLErrorCode::Cancelled);
        std::optional<Bytes> data = resumable ? resumeData() : std::nullopt;
        if (data) {
            m_record.write(*data);
            error.userInfo.insert_or_assign(std::string(UserInfoKey::DownloadTaskResumeData), std::move(*data));
        } else if (!m_request.resume || m_bodyReplaced) {
            m_body.remove();
            m_record.remove();
        }
        outcome.error = std::move(error);
        return outcome;
    }

    DownloadOutcome Transfer::run()
    {
        auto failedBeforeStart = [this](Error const& cause) {
            DownloadOutcome outcome;
            outcome.error = writeFailure(m_request.url, cause);
            return outcome;
        };
        auto size = m_body.sizeOnDisk();
        if (!size)
            return failedBeforeStart(size.error());
        auto start = startingPoint(m_request.resume, *size);
        m_attempt.rangeStart = start.rangeStart;
        m_bodyReplaced = start.dropsResumedBytes;
        if (auto positioned = m_body.truncate(start.keptLength); !positioned)
            return failedBeforeStart(positioned.error());
        CurlHandle handle;
        if (!handle.curl) {
            DownloadOutcome outcome;
            outcome.error = Error::url(URLErrorCode::Unknown, m_request.url, curlCodeText(CURLE_FAILED_INIT));
            return outcome;
        }
        for (int attempt = 0;; ++attempt) {
            CURLcode result = configure(handle);
            if (result == CURLE_OK) {
                m_attempt.lastActivity = Clock::now();
                // A signal that came before the transfer started still counts.
                result
                    = TransferSignalGuard::caughtSignal() ? CURLE_ABORTED_BY_CALLBACK : curl_easy_perform(handle.curl);
                if (result == CURLE_ABORTED_BY_CALLBACK && m_attempt.abort == Abort::None) {
                    m_attempt.signal = TransferSignalGuard::caughtSignal();
                    m_attempt.abort = Abort::Signal;
                }
            }
            if (m_attempt.abort == Abort::Restart && attempt == 0) {
                // The server could not continue our bytes: take the whole entity
                // again, in this same task.
                m_attempt = Attempt {};
                m_bodyReplaced = true;
                if (auto emptied = m_body.truncate(0); !emptied) {
                    failWrite(emptied.error());
                    return finish(CURLE_WRITE_ERROR, handle);
                }
                continue;
            }
            return finish(result, handle);
        }
    }

}

DownloadOutcome performDownload(
    URLSessionConfiguration const& configuration, BodyFolder const& folder, DownloadRequest const& request)
{
    DownloadOutcome outcome;
    auto task = openTaskBody(folder, request.url, request.resume);
    if (!task) {
        outcome.error = task.error();
        return outcome;
    }
    DownloadRequest continued { request.url, task->resume };
    outcome = Transfer(configuration, continued, task->body, folder).run();
    outcome.body = std::move(task->body);
    return outcome;
}

}
