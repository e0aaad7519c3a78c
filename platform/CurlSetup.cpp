// SPDX-License-Identifier: Apache-2.0
#include "platform/CurlSetup.h"

namespace platform {

CurlHandle::~CurlHandle()
{
    curl_slist_free_all(headers);
    if (curl)
        curl_easy_cleanup(curl);
}

CURLcode configureRequest(CurlHandle& handle, URLSessionConfiguration const& configuration, std::string const& url,
    std::vector<std::string> const& headerLines, CurlCallbacks const& callbacks)
{
    CURL* curl = handle.curl;
    curl_slist_free_all(handle.headers);
    handle.headers = nullptr;
    for (auto const& line : headerLines) {
        curl_slist* list = curl_slist_append(handle.headers, line.c_str());
        if (!list)
            return CURLE_OUT_OF_MEMORY;
        handle.headers = list;
    }
    auto idle = configuration.timeoutIntervalForRequest.count();
    auto whole = configuration.timeoutIntervalForResource.count();
    CURLcode results[] = {
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str()),
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"),
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"),
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L),
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 20L),
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L),
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L),
        configuration.certificateAuthorities.empty()
            ? CURLE_OK
            : curl_easy_setopt(curl, CURLOPT_CAINFO, configuration.certificateAuthorities.c_str()),
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L),
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(whole)),
        // NOTE: connecting counts as idle time; the caller's own timer ends it,
        // so that every idle time-out reads the same.
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(idle + 60000)),
        // A proxy's CONNECT reply must not be taken for the server's response.
        curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L),
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "quenbury/1"),
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024L),
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, handle.headers),
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, callbacks.onHeader),
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, callbacks.context),
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, callbacks.onBody),
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, callbacks.context),
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L),
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, callbacks.onProgress),
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, callbacks.context),
    };
    for (CURLcode result : results) {
        if (result != CURLE_OK)
            return result;
    }
    return CURLE_OK;
}

}
