// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/DownloadSession.h"

#include <curl/curl.h>
#include <string>
#include <vector>

// The libcurl set-up of a transfer, apart from the decisions its callbacks take.

namespace platform {

/// libcurl's handle and header list, released on every path.
struct CurlHandle {
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    CurlHandle() = default;
    CurlHandle(CurlHandle const&) = delete;
    CurlHandle& operator=(CurlHandle const&) = delete;
    ~CurlHandle();
};

/// Where libcurl hands what it receives; `context` goes to each callback.
struct CurlCallbacks {
    curl_write_callback onHeader = nullptr;
    curl_write_callback onBody = nullptr;
    curl_xferinfo_callback onProgress = nullptr;
    void* context = nullptr;
};

/// Sets `handle` up for one request of `url` with `headerLines` added, as the
/// configuration says: HTTP and HTTPS only, redirects followed up to 20,
/// certificates verified, the whole-transfer limit, no signals.
[[nodiscard]] CURLcode configureRequest(CurlHandle& handle, URLSessionConfiguration const& configuration,
    std::string const& url, std::vector<std::string> const& headerLines, CurlCallbacks const& callbacks);

}
