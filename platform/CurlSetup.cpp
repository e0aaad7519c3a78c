// SPDX-License-Identifier: Apache-2.0
#include "platform/CurlSetup.h"

#include "platform/CurlErrors.h"

namespace platform {

std::expected<CurlHandle, Error> CurlHandle::create(std::string const& url)
{
    CURL* curl = curl_easy_init();
    if (!curl)
        return std::unexpected(Error::url(URLErrorCode::Unknown, url, curlCodeText(CURLE_FAILED_INIT)));
    return CurlHandle(curl);
}

CurlHandle::CurlHandle(CURL* curl)
    : m_curl(curl)
{
}

CURLcode CurlHandle::setHeaderLines(std::vector<std::string> const& lines)
{
    std::unique_ptr<curl_slist, Cleanup> list;
    for (auto const& line : lines) {
        curl_slist* longer = curl_slist_append(list.get(), line.c_str());
        if (!longer)
            return CURLE_OUT_OF_MEMORY;
        (void)list.release(); // The list grew in place; its head owns it all.
        list.reset(longer);
    }
    CURLcode set = curl_easy_setopt(m_curl.get(), CURLOPT_HTTPHEADER, list.get());
    // The handle keeps using the list until the next set: the old one goes only now.
    m_headers = std::move(list);
    return set;
}

CURLcode configureRequest(CurlHandle& handle, URLSessionConfiguration const& configuration, std::string const& url,
    std::vector<std::string> const& headerLines, CurlCallbacks const& callbacks, std::string const& systemAuthorities)
{
    CURL* curl = handle.get();
    curl_blob authorities { const_cast<char*>(systemAuthorities.data()), systemAuthorities.size(), CURL_BLOB_NOCOPY };
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
        !configuration.certificateAuthorities.empty()
            ? curl_easy_setopt(curl, CURLOPT_CAINFO, configuration.certificateAuthorities.c_str())
            : !systemAuthorities.empty() ? curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &authorities)
                                         : CURLE_OK,
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L),
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(whole)),
        // NOTE: connecting counts as idle time; the caller's own timer ends it, so that every idle time-out reads the
        // same.
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(idle + 60000)),
        // A proxy's CONNECT reply must not be taken for the server's response.
        curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L),
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "quenbury/1"),
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024L),
        handle.setHeaderLines(headerLines),
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
