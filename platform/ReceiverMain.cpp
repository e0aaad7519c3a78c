// SPDX-License-Identifier: Apache-2.0
// quenbury-receiver: the side of a download that speaks the network, with a socket of packets at descriptor 3 and the
// body's pipe at 4. Confined before its first request, it sends each final header, waits for the decision, and writes
// the body into the pipe; the root process checks all it says, so it cannot place a byte of the package.

#include "platform/Confinement.h"
#include "platform/CurlSetup.h"
#include "platform/HttpHeaders.h"
#include "platform/Posix.h"
#include "platform/ReceiverMessages.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using namespace platform;

constexpr int channel = 3;
constexpr int bodyPipe = 4;

bool sendPacket(std::span<std::uint8_t const> packet)
{
    return ::send(channel, packet.data(), packet.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size());
}

/// The final response's header as libcurl holds it once its blank line came: the status from its status line, and of
/// each field the tool reads the last of that name, in the last request of a redirect chain. The values are judged by
/// responseHeaders, which the fuzz target drives with hostile fields.
ResponseHeaders finalResponseHeaders(CURL* curl)
{
    long status = 0;
    if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
        status = 0;
    // NOTE: copied at once: libcurl reuses the struct it points at on the next call.
    std::vector<std::pair<std::string_view, std::string>> values;
    for (std::string_view name : headerNamesRead) {
        curl_header* field = nullptr;
        // The names are literals, so data() ends with NUL.
        if (curl_easy_header(curl, name.data(), 0, CURLH_HEADER, -1, &field) != CURLHE_OK || !field)
            continue;
        if (field->amount > 1
            && curl_easy_header(curl, name.data(), field->amount - 1, CURLH_HEADER, -1, &field) != CURLHE_OK)
            continue;
        values.emplace_back(name, field->value ? field->value : "");
    }
    std::vector<HeaderField> fields;
    for (auto const& [name, value] : values)
        fields.push_back({ name, value });
    return responseHeaders(status, fields);
}

/// Writes all of `bytes` into the body's pipe; false once the root process is gone.
bool writeBody(char const* data, size_t length)
{
    while (length) {
        ssize_t written = ::write(bodyPipe, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

/// One request's exchange: libcurl's callbacks, and what they have sent so far.
struct Exchange {
    bool headSent = false;
    bool proceed = false;
    /// Body bytes in the pipe that no Piece announced yet; never more than `pieceLength`.
    size_t pending = 0;
    /// Bytes a Piece announces (see main).
    size_t pieceLength = 0;
    std::chrono::steady_clock::time_point lastSent = std::chrono::steady_clock::now();
    /// When the channel was last asked whether the root process closed it.
    std::chrono::steady_clock::time_point lastAsked {};
    CURL* curl = nullptr;

    bool sendHead()
    {
        headSent = true;
        auto headers = finalResponseHeaders(curl);
        char* effective = nullptr;
        std::string url;
        if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
            url = effective;
        if (!sendPacket(receiver::encode(receiver::headFor(headers, url))))
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
        if (exchange.headSent)
            return length; // Trailers.
        std::string_view line(data, length);
        if (line != "\r\n" && line != "\n")
            return length;
        // The blank line: libcurl now holds this response's whole header.
        auto headers = finalResponseHeaders(exchange.curl);
        long status = headers.status;
        bool interim = status >= 100 && status < 200;
        bool followed = status >= 300 && status < 400 && headers.hasLocation;
        if (interim || followed)
            return length;
        return exchange.sendHead() ? length : 0;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* context)
    {
        auto& exchange = *static_cast<Exchange*>(context);
        size_t length = size * count;
        if (!exchange.headSent && !exchange.sendHead())
            return 0;
        if (!exchange.proceed)
            return 0;
        // NOTE: the bytes go into the pipe from libcurl's buffer as they come (16 KiB at a time); a Piece tells of many
        // at once, so that the root process wakes once for each of them.
        for (size_t done = 0; done < length;) {
            size_t taken = std::min(length - done, exchange.pieceLength - exchange.pending);
            if (!writeBody(data + done, taken))
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
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGTERM, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        ::_exit(1);
    auto handle = CurlHandle::create("");
    std::string const authorities = systemAuthorities();
    if (!handle || !confineReceiver())
        ::_exit(1);

    // NOTE: a quarter of the pipe a Piece: the root process empties one while three more fill, and the pipe never holds
    // more than it was told of and can take (a full pipe of bytes not yet told of would wait for ever).
    int capacity = ::fcntl(bodyPipe, F_GETPIPE_SZ);
    if (capacity <= 0)
        ::_exit(1);
    size_t const pieceLength = std::clamp<size_t>(static_cast<size_t>(capacity) / 4, 1, receiver::maximumPiece);
    std::vector<std::uint8_t> buffer(receiver::maximumPacket + 1);
    for (;;) {
        ssize_t length = ::recv(channel, buffer.data(), buffer.size(), 0);
        if (length <= 0)
            ::_exit(0); // The root process is done.
        auto message = receiver::decodeFromRoot(std::span(buffer).first(static_cast<size_t>(length)));
        auto const* request = message ? std::get_if<receiver::Request>(&*message) : nullptr;
        if (!request)
            ::_exit(1);
        URLSessionConfiguration configuration;
        configuration.timeoutIntervalForRequest = std::chrono::milliseconds(request->timeoutMilliseconds);
        configuration.certificateAuthorities = request->certificateAuthorities;
        Exchange exchange;
        exchange.curl = handle->get();
        exchange.pieceLength = pieceLength;
        CURLcode result = configureRequest(*handle, configuration, request->url, request->headerLines,
            { &Exchange::onHeader, &Exchange::onBody, &Exchange::onProgress, &exchange }, authorities);
        if (result == CURLE_OK)
            result = curl_easy_perform(handle->get());
        if (!exchange.sendPiece())
            ::_exit(0);
        if (!sendPacket(receiver::encode(receiver::End { static_cast<int>(result) })))
            ::_exit(0);
    }
}
