// SPDX-License-Identifier: Apache-2.0
// quenbury-receiver: the side of a download that speaks the network, with a socket of packets at descriptor 3 and the
// body's pipe at 4. Confined before its first request, it sends each final header, waits for the decision, and writes
// the body into the pipe; the root process checks all it says, so it cannot place a byte of the package.

#include "platform/Confinement.h"
#include "platform/DownloadSession.h"
#include "platform/Posix.h"
#include "platform/ReceiverMessages.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <curl/curl.h>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace platform;

constexpr int channel = 3;
constexpr int bodyPipe = 4;

using HeaderList = std::unique_ptr<curl_slist, decltype([](curl_slist* list) { curl_slist_free_all(list); })>;

bool sendPacket(std::span<std::uint8_t const> packet)
{
    return ::send(channel, packet.data(), packet.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size());
}

/// The final response's header once its blank line came: the status, and of each field the tool reads the last of that
/// name, in the last request of a redirect chain; responseHeaders judges the values (and the fuzz target it).
ResponseHeaders finalResponseHeaders(CURL* curl)
{
    long status = 0;
    if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
        status = 0;
    // NOTE: copied at once: libcurl reuses the struct it points at on the next call.
    std::array<std::string, headerNamesRead.size()> values;
    std::vector<HeaderField> fields;
    for (std::size_t i = 0; i < headerNamesRead.size(); ++i) {
        std::string_view name = headerNamesRead[i];
        curl_header* field = nullptr;
        // The names are literals, so data() ends with NUL.
        if (curl_easy_header(curl, name.data(), 0, CURLH_HEADER, -1, &field) != CURLHE_OK || !field)
            continue;
        if (field->amount > 1
            && curl_easy_header(curl, name.data(), field->amount - 1, CURLH_HEADER, -1, &field) != CURLHE_OK)
            continue;
        values[i] = field->value ? field->value : "";
        fields.push_back({ name, values[i] });
    }
    return responseHeaders(status, fields);
}

/// One request's exchange: libcurl's callbacks, and what they have sent so far.
struct Exchange {
    bool headSent = false;
    bool proceed = false;
    /// Body bytes in the pipe that no Piece announced yet; never more than `pieceLength`.
    size_t pending = 0;
    size_t pieceLength = 0;
    std::chrono::steady_clock::time_point lastSent = std::chrono::steady_clock::now();
    /// When the channel was last asked whether the root process closed it.
    std::chrono::steady_clock::time_point lastAsked {};
    CURL* curl = nullptr;

    bool sendHead(ResponseHeaders const& headers)
    {
        headSent = true;
        char* url = nullptr;
        bool known = curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url;
        if (!sendPacket(receiver::encode(receiver::headFor(headers, known ? url : ""))))
            return false;
        std::array<std::uint8_t, 16> answerPacket {};
        ssize_t length = ::recv(channel, answerPacket.data(), answerPacket.size(), 0);
        if (length <= 0)
            return false;
        auto answer = receiver::decodeFromRoot(std::span(answerPacket).first(static_cast<size_t>(length)));
        auto const* decision = answer ? std::get_if<receiver::Decision>(&*answer) : nullptr;
        proceed = decision && decision->proceed;
        return proceed;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* context)
    {
        auto& exchange = *static_cast<Exchange*>(context);
        size_t length = size * count;
        std::string_view line(data, length);
        // Trailers, and each line before the blank one that ends a response's header.
        if (exchange.headSent || (line != "\r\n" && line != "\n"))
            return length;
        auto headers = finalResponseHeaders(exchange.curl);
        bool interim = headers.status >= 100 && headers.status < 200;
        bool followed = headers.status >= 300 && headers.status < 400 && headers.hasLocation;
        return (interim || followed || exchange.sendHead(headers)) ? length : 0;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* context)
    {
        auto& exchange = *static_cast<Exchange*>(context);
        size_t length = size * count;
        if ((!exchange.headSent && !exchange.sendHead(finalResponseHeaders(exchange.curl))) || !exchange.proceed)
            return 0;
        // NOTE: the bytes go into the pipe from libcurl's buffer as they come (16 KiB at a time); a Piece tells of many
        // at once, so that the root process wakes once for each of them.
        for (size_t done = 0; done < length;) {
            size_t taken = std::min(length - done, exchange.pieceLength - exchange.pending);
            if (!writeAll(bodyPipe, std::string_view(data + done, taken), ""))
                return 0;
            exchange.pending += taken;
            done += taken;
            if (exchange.pending == exchange.pieceLength && !exchange.sendPiece())
                return 0;
        }
        return length;
    }

    bool sendPiece()
    {
        lastSent = std::chrono::steady_clock::now();
        auto length = static_cast<std::uint32_t>(std::exchange(pending, 0));
        return length == 0 || sendPacket(receiver::encode(receiver::Piece { length }));
    }

    static int onProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
    {
        auto& exchange = *static_cast<Exchange*>(context);
        auto now = std::chrono::steady_clock::now();
        // A slow body still reaches the root process steadily, which counts its idle time by it.
        if (exchange.pending && now - exchange.lastSent >= std::chrono::milliseconds(200) && !exchange.sendPiece())
            return 1;
        // NOTE: libcurl calls this for every piece it reads; whether the channel closed is asked at most ten times a
        // second, not each time.
        if (now - exchange.lastAsked < std::chrono::milliseconds(100))
            return 0;
        exchange.lastAsked = now;
        pollfd hung { channel, POLLRDHUP, 0 };
        return ::poll(&hung, 1, 0) > 0 && (hung.revents & (POLLRDHUP | POLLHUP | POLLERR)) ? 1 : 0;
    }
};

/// Sets `curl` up for `request`; `headers` then holds the request's header lines, which the handle uses.
CURLcode configure(CURL* curl, receiver::Request const& request, HeaderList& headers, Exchange& exchange,
    std::string const& systemAuthorities)
{
    HeaderList lines;
    for (auto const& line : request.headerLines) {
        curl_slist* longer = curl_slist_append(lines.get(), line.c_str());
        if (!longer)
            return CURLE_OUT_OF_MEMORY;
        (void)lines.release(); // The list grew in place; its head owns it all.
        lines.reset(longer);
    }
    curl_blob authorities { const_cast<char*>(systemAuthorities.data()), systemAuthorities.size(), CURL_BLOB_NOCOPY };
    auto whole = URLSessionConfiguration {}.timeoutIntervalForResource.count();
    CURLcode results[] = {
        curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str()),
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"),
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"),
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L),
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 20L),
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L),
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L),
        !request.certificateAuthorities.empty()
            ? curl_easy_setopt(curl, CURLOPT_CAINFO, request.certificateAuthorities.c_str())
            : !systemAuthorities.empty() ? curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &authorities)
                                         : CURLE_OK,
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L),
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(whole)),
        // NOTE: connecting counts as idle time; the root process's own timer ends it, so that every idle time-out reads
        // the same.
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeoutMilliseconds + 60000)),
        // A proxy's CONNECT reply must not be taken for the server's response.
        curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L),
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "quenbury/1"),
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024L),
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, lines.get()),
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Exchange::onHeader),
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &exchange),
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Exchange::onBody),
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &exchange),
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L),
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Exchange::onProgress),
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &exchange),
    };
    // The handle used the old list until now: it goes only now.
    headers = std::move(lines);
    auto failed = std::ranges::find_if(results, [](CURLcode result) { return result != CURLE_OK; });
    return failed != std::end(results) ? *failed : CURLE_OK;
}

/// The system's certificate authorities, read while the receiver may still read any file: once it is nobody, a bundle
/// only root may read would fail every handshake.
std::string systemAuthorities()
{
    auto const* version = curl_version_info(CURLVERSION_NOW);
    if (!version || !version->cainfo)
        return {};
    auto opened = openRegularFileForReading(version->cainfo);
    auto contents = opened ? readAll(opened->get(), version->cainfo, 16 << 20) : errorOf(opened);
    return contents ? std::string(contents->begin(), contents->end()) : std::string();
}

}

int main()
{
    // NOTE: the root process decides what a signal to the group means; this side only ends when told, or with it.
    for (int ignored : { SIGINT, SIGTERM, SIGHUP, SIGPIPE })
        ::signal(ignored, SIG_IGN);
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        ::_exit(1);
    CURL* const curl = curl_easy_init();
    std::string const authorities = systemAuthorities();
    if (!curl || !confineReceiver())
        ::_exit(1);

    // NOTE: a quarter of the pipe a Piece: the root process empties one while three more fill, and the pipe never holds
    // more than it was told of and can take (a full pipe of bytes not yet told of would wait for ever).
    int capacity = ::fcntl(bodyPipe, F_GETPIPE_SZ);
    if (capacity <= 0)
        ::_exit(1);
    size_t const pieceLength = std::clamp<size_t>(static_cast<size_t>(capacity) / 4, 1, receiver::maximumPiece);
    std::vector<std::uint8_t> buffer(receiver::maximumPacket + 1);
    HeaderList headers;
    for (;;) {
        ssize_t length = ::recv(channel, buffer.data(), buffer.size(), 0);
        if (length <= 0)
            ::_exit(0); // The root process is done.
        auto message = receiver::decodeFromRoot(std::span(buffer).first(static_cast<size_t>(length)));
        auto const* request = message ? std::get_if<receiver::Request>(&*message) : nullptr;
        if (!request)
            ::_exit(1);
        Exchange exchange { .pieceLength = pieceLength, .curl = curl };
        CURLcode result = configure(curl, *request, headers, exchange, authorities);
        if (result == CURLE_OK)
            result = curl_easy_perform(curl);
        if (!exchange.sendPiece() || !sendPacket(receiver::encode(receiver::End { static_cast<int>(result) })))
            ::_exit(0);
    }
}
