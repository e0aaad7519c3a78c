#include "platform/DownloadTransfer.h"

#include "platform/CurlErrors.h"
#include "platform/HttpHeaders.h"
#include "platform/Progress.h"
#include "platform/Sha256.h"
#include "platform/TransferSignals.h"

#include <cerrno>
#include <chrono>
#include <curl/curl.h>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

Error writeFailure(std::string const& url, Error const& cause)
{
    return Error::url(URLErrorCode::CannotWriteToFile, url, cause.description());
}

bool isHTTPScheme(std::string const& url)
{
    auto parsed = URL::fromString(url);
    return parsed && (parsed->scheme == "http" || parsed->scheme == "https");
}

/// libcurl's handle and header list, released on every path.
struct CurlHandle {
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    ~CurlHandle()
    {
        curl_slist_free_all(headers);
        if (curl)
            curl_easy_cleanup(curl);
    }
};

/// One task's transfer: the request(s), the decision taken on the final
/// response's header, and the body written accordingly.
class Transfer {
public:
    Transfer(URLSessionConfiguration const& configuration, DownloadRequest const& request, BodyFile& body)
        : m_configuration(configuration)
        , m_request(request)
        , m_body(body)
    {
    }

    DownloadOutcome run();

private:
    enum class Abort { None, IdleTimeout, Signal, Restart, WriteFailed };

    /// Prepares the body for the resume data: cut back when longer, start
    /// over when shorter (or missing: it was just created empty).
    std::expected<void, Error> positionBody();
    CURLcode configure(CurlHandle& handle);
    /// Decides, on the final response's header, where its body goes; false aborts the request.
    bool decide();
    std::optional<Bytes> resumeData() const;
    DownloadOutcome finish(CURLcode result, CurlHandle& handle);

    static size_t onHeader(char* data, size_t size, size_t count, void* context);
    static size_t onBody(char* data, size_t size, size_t count, void* context);
    static int onProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    URLSessionConfiguration const& m_configuration;
    DownloadRequest const& m_request;
    BodyFile& m_body;

    /// The offset sent in Range, when one was sent.
    std::optional<std::uint64_t> m_rangeStart;
    /// The body no longer holds what the given resume data describes.
    bool m_bodyReplaced = false;
    ResponseHeaders m_headers;
    bool m_decided = false;
    Abort m_abort = Abort::None;
    int m_signal = 0;
    std::optional<Error> m_writeError;
    Clock::time_point m_lastActivity;
    Clock::time_point m_started = Clock::now();
};

std::expected<void, Error> Transfer::positionBody()
{
    if (!m_request.resume)
        return m_body.truncate(0);
    auto const& resume = *m_request.resume;
    auto size = m_body.sizeOnDisk();
    if (!size)
        return std::unexpected(size.error());
    if (*size < resume.bytesReceived || resume.bytesReceived == 0) {
        m_bodyReplaced = *size != 0;
        return m_body.truncate(0);
    }
    m_rangeStart = resume.bytesReceived;
    return m_body.truncate(resume.bytesReceived);
}

CURLcode Transfer::configure(CurlHandle& handle)
{
    CURL* curl = handle.curl;
    curl_slist_free_all(handle.headers);
    handle.headers = nullptr;
    if (m_rangeStart) {
        std::string range = "Range: bytes=" + std::to_string(*m_rangeStart) + "-";
        curl_slist* list = curl_slist_append(nullptr, range.c_str());
        if (!list)
            return CURLE_OUT_OF_MEMORY;
        handle.headers = list;
        // With a weak tag alone the range is asked without a condition.
        if (auto validator = m_request.resume->rangeValidator(); !validator.empty()) {
            if (!curl_slist_append(list, ("If-Range: " + validator).c_str()))
                return CURLE_OUT_OF_MEMORY;
        }
    }
    auto idle = m_configuration.timeoutIntervalForRequest.count();
    auto whole = m_configuration.timeoutIntervalForResource.count();
    CURLcode results[] = {
        curl_easy_setopt(curl, CURLOPT_URL, m_request.url.c_str()),
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"),
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"),
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L),
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 20L),
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L),
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L),
        m_configuration.certificateAuthorities.empty()
            ? CURLE_OK
            : curl_easy_setopt(curl, CURLOPT_CAINFO, m_configuration.certificateAuthorities.c_str()),
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L),
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(whole)),
        // NOTE: connecting counts as idle time; our own timer ends it, so that
        // every idle time-out reads the same.
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(idle + 60000)),
        // A proxy's CONNECT reply must not be taken for the server's response.
        curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L),
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "quenbury/1"),
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024L),
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, handle.headers),
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Transfer::onHeader),
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, this),
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Transfer::onBody),
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, this),
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L),
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress),
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this),
    };
    for (CURLcode result : results) {
        if (result != CURLE_OK)
            return result;
    }
    return CURLE_OK;
}

bool Transfer::decide()
{
    m_decided = true;
    if (!m_rangeStart)
        return true; // The body was emptied before the request.
    auto const& resume = *m_request.resume;
    if (m_headers.status == 206) {
        // Only a part that starts exactly where our bytes end, of the entity
        // we have, may be appended; anything else would splice two bodies.
        auto start = contentRangeStart(m_headers.contentRange);
        auto total = contentRangeTotal(m_headers.contentRange);
        bool sameEntity = resume.entityTag.empty()
            ? (m_headers.lastModified.empty() || m_headers.lastModified == resume.lastModified)
            : (m_headers.entityTag.empty() || entityTagsMatchWeakly(m_headers.entityTag, resume.entityTag));
        // A weak tag may name an entity that changed length; the length we
        // recorded must then be the one the server offers now.
        bool sameLength = !resume.totalLength || !total || *total == *resume.totalLength;
        if (start && *start == *m_rangeStart && sameEntity && sameLength)
            return true;
        m_abort = Abort::Restart;
        return false;
    }
    if (m_headers.status == 416) {
        m_abort = Abort::Restart;
        return false;
    }
    // Any other response carries a whole entity of its own.
    m_bodyReplaced = true;
    if (auto emptied = m_body.truncate(0); !emptied) {
        m_writeError = emptied.error();
        m_abort = Abort::WriteFailed;
        return false;
    }
    return true;
}

size_t Transfer::onHeader(char* data, size_t size, size_t count, void* context)
{
    auto& transfer = *static_cast<Transfer*>(context);
    size_t length = size * count;
    transfer.m_lastActivity = Clock::now();
    if (transfer.m_decided)
        return length; // Trailers.
    std::string_view line(data, length);
    if (line != "\r\n" && line != "\n") {
        transfer.m_headers.addLine(line);
        return length;
    }
    long status = transfer.m_headers.status;
    bool interim = status >= 100 && status < 200;
    bool followed = status >= 300 && status < 400 && transfer.m_headers.hasLocation;
    if (interim || followed)
        return length;
    return transfer.decide() ? length : 0;
}

size_t Transfer::onBody(char* data, size_t size, size_t count, void* context)
{
    auto& transfer = *static_cast<Transfer*>(context);
    size_t length = size * count;
    transfer.m_lastActivity = Clock::now();
    if (!transfer.m_decided && !transfer.decide())
        return 0;
    auto appended = transfer.m_body.append({ reinterpret_cast<std::uint8_t const*>(data), length });
    if (!appended) {
        transfer.m_writeError = appended.error();
        transfer.m_abort = Abort::WriteFailed;
        return 0;
    }
    return length;
}

int Transfer::onProgress(void* context, curl_off_t downloadTotal, curl_off_t downloaded, curl_off_t, curl_off_t)
{
    auto& transfer = *static_cast<Transfer*>(context);
    if (progressDisplayEnabled() && transfer.m_decided) {
        // Counts of a ranged response start at our offset.
        std::uint64_t offset = transfer.m_headers.status == 206 && transfer.m_rangeStart ? *transfer.m_rangeStart : 0;
        double seconds = std::chrono::duration<double>(Clock::now() - transfer.m_started).count();
        showProgress(offset + static_cast<std::uint64_t>(downloaded), downloadTotal > 0 ? offset + static_cast<std::uint64_t>(downloadTotal) : 0,
            seconds > 0 ? static_cast<double>(downloaded) / seconds : 0);
    }
    if (int signalNumber = TransferSignalGuard::caughtSignal()) {
        transfer.m_signal = signalNumber;
        transfer.m_abort = Abort::Signal;
        return 1;
    }
    if (Clock::now() - transfer.m_lastActivity >= transfer.m_configuration.timeoutIntervalForRequest) {
        transfer.m_abort = Abort::IdleTimeout;
        return 1;
    }
    return 0;
}

std::optional<Bytes> Transfer::resumeData() const
{
    ResumeData data;
    data.url = m_request.url;
    data.bodyFileName = m_body.name();
    data.bytesReceived = m_body.length();
    if (!m_decided) {
        // No response yet: the body is still what the given resume data says.
        if (!m_rangeStart)
            return std::nullopt;
        data.entityTag = m_request.resume->entityTag;
        data.lastModified = m_request.resume->lastModified;
        data.totalLength = m_request.resume->totalLength;
    } else if (m_headers.status == 206 && m_rangeStart) {
        // A part that we appended: the validators we sent still name it.
        data.entityTag = m_request.resume->entityTag;
        data.lastModified = m_headers.lastModified.empty() ? m_request.resume->lastModified : m_headers.lastModified;
        if (!isHeaderSafe(data.lastModified))
            data.lastModified = m_request.resume->lastModified;
        data.totalLength = m_request.resume->totalLength ? m_request.resume->totalLength : contentRangeTotal(m_headers.contentRange);
    } else {
        if (m_headers.status != 200 || !m_headers.acceptsByteRanges)
            return std::nullopt;
        // NOTE: a weak tag is kept too, as the platform's own service does;
        // it is never sent in If-Range, and the recorded length and the
        // SHA-256 catch an entity it failed to tell apart.
        if (isEntityTag(m_headers.entityTag))
            data.entityTag = m_headers.entityTag;
        if (isHeaderSafe(m_headers.lastModified))
            data.lastModified = m_headers.lastModified;
        data.totalLength = m_headers.contentLength;
    }
    if (data.totalLength && *data.totalLength < data.bytesReceived)
        return std::nullopt;
    if (data.entityTag.empty() && data.lastModified.empty())
        return std::nullopt;
    // Only what the next run will accept: an oversized validator would
    // otherwise turn into "Error in resume data..." there.
    auto encoded = encodeResumeData(data);
    if (!encoded || !decodeResumeData(*encoded))
        return std::nullopt;
    return *encoded;
}

DownloadOutcome Transfer::finish(CURLcode result, CurlHandle& handle)
{
    DownloadOutcome outcome;
    if (m_decided) {
        URLResponse response;
        response.statusCode = m_headers.status;
        char* effective = nullptr;
        if (curl_easy_getinfo(handle.curl, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
            response.url = effective;
        outcome.response = response;
    }
    auto flushed = m_body.flush();
    if (!flushed && !m_writeError) {
        m_writeError = flushed.error();
        m_abort = Abort::WriteFailed;
    }
    if (result == CURLE_OK && !m_writeError) {
        // The body was hashed as it arrived; verifying it need not read it again.
        m_body.rememberDigest();
        outcome.location = URL::fileURL(m_body.path());
        return outcome;
    }

    Error error;
    if (m_abort == Abort::WriteFailed)
        error = writeFailure(m_request.url, *m_writeError);
    else if (m_abort == Abort::Signal)
        error = Error::url(URLErrorCode::Cancelled, m_request.url, "Interrupted by signal " + std::to_string(m_signal));
    else if (m_abort == Abort::IdleTimeout)
        error = Error::url(URLErrorCode::TimedOut, m_request.url,
            "No data received for " + std::to_string(m_configuration.timeoutIntervalForRequest.count()) + " ms");
    else
        error = Error::url(urlErrorCodeForCurlCode(result), m_request.url, curlCodeText(result));

    bool resumable = error.code == URLErrorCode::NetworkConnectionLost || error.code == URLErrorCode::TimedOut
        || error.code == URLErrorCode::Cancelled;
    std::optional<Bytes> data = resumable ? resumeData() : std::nullopt;
    if (data)
        error.userInfo.insert_or_assign(std::string(UserInfoKey::DownloadTaskResumeData), std::move(*data));
    else if (!m_request.resume || m_bodyReplaced)
        m_body.remove();
    outcome.error = std::move(error);
    return outcome;
}

DownloadOutcome Transfer::run()
{
    if (auto positioned = positionBody(); !positioned) {
        DownloadOutcome outcome;
        outcome.error = writeFailure(m_request.url, positioned.error());
        return outcome;
    }
    CurlHandle handle;
    if (!handle.curl) {
        DownloadOutcome outcome;
        outcome.error = Error::url(URLErrorCode::Unknown, m_request.url, curlCodeText(CURLE_FAILED_INIT));
        return outcome;
    }
    for (int attempt = 0;; ++attempt) {
        CURLcode result = configure(handle);
        if (result == CURLE_OK) {
            m_lastActivity = Clock::now();
            // A signal that came before the transfer started still counts.
            result = TransferSignalGuard::caughtSignal() ? CURLE_ABORTED_BY_CALLBACK : curl_easy_perform(handle.curl);
            if (result == CURLE_ABORTED_BY_CALLBACK && m_abort == Abort::None) {
                m_signal = TransferSignalGuard::caughtSignal();
                m_abort = Abort::Signal;
            }
        }
        if (m_abort == Abort::Restart && attempt == 0) {
            // The server could not continue our bytes: take the whole entity
            // again, in this same task.
            m_abort = Abort::None;
            m_rangeStart.reset();
            m_bodyReplaced = true;
            m_headers = ResponseHeaders {};
            m_decided = false;
            if (auto emptied = m_body.truncate(0); !emptied) {
                m_writeError = emptied.error();
                m_abort = Abort::WriteFailed;
                return finish(CURLE_WRITE_ERROR, handle);
            }
            continue;
        }
        return finish(result, handle);
    }
}

}

std::string bodyFileNameForURL(std::string const& url)
{
    Sha256 hash;
    bool updated = hash.update({ reinterpret_cast<std::uint8_t const*>(url.data()), url.size() });
    auto digest = hash.finish();
    if (!updated || !digest)
        return {};
    return "body-" + hexString(*digest);
}

DownloadOutcome performDownload(URLSessionConfiguration const& configuration, BodyFolder const& folder, DownloadRequest const& request)
{
    DownloadOutcome outcome;
    if (!isHTTPScheme(request.url)) {
        outcome.error = Error::url(URLErrorCode::UnsupportedURL, request.url, curlCodeText(CURLE_UNSUPPORTED_PROTOCOL));
        return outcome;
    }

    std::expected<BodyFile, Error> body = std::unexpected(Error {});
    if (request.resume) {
        body = BodyFile::openLocked(folder, request.resume->bodyFileName);
        if (!body && body.error().code == EWOULDBLOCK) {
            // Another run is continuing this very transfer; its body is not ours to touch.
            outcome.error = Error::url(URLErrorCode::CannotWriteToFile, request.url,
                "The body is being written by another run: " + body.error().description());
            return outcome;
        }
    } else {
        std::string name = bodyFileNameForURL(request.url);
        if (name.empty()) {
            outcome.error = Error::url(URLErrorCode::Unknown, request.url, "SHA-256 of the URL failed");
            return outcome;
        }
        body = BodyFile::openLocked(folder, name);
        // NOTE: a live run owns the body named after this URL; ours gets a
        // name of its own rather than failing.
        if (!body && body.error().code == EWOULDBLOCK)
            body = BodyFile::createUnique(folder, name);
    }
    if (!body) {
        outcome.error = writeFailure(request.url, body.error());
        return outcome;
    }

    outcome = Transfer(configuration, request, *body).run();
    outcome.body = std::move(*body);
    return outcome;
}

}
