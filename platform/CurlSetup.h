// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/DownloadSession.h"

#include <curl/curl.h>
#include <expected>
#include <memory>
#include <string>
#include <vector>

// The libcurl set-up of a transfer, apart from the decisions its callbacks take.

namespace platform {

/// libcurl's handle and the header list set on it, released on every path.
class CurlHandle {
public:
    /// A new handle for a task of `url`; fails, as that task's error, when libcurl cannot make one.
    [[nodiscard]] static std::expected<CurlHandle, Error> create(std::string const& url);

    CURL* get() const { return m_curl.get(); }
    /// Sends `lines` with every request from now on, in place of those set before.
    [[nodiscard]] CURLcode setHeaderLines(std::vector<std::string> const& lines);

private:
    struct Cleanup {
        void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };
    explicit CurlHandle(CURL* curl);

    std::unique_ptr<CURL, Cleanup> m_curl;
    std::unique_ptr<curl_slist, Cleanup> m_headers;
};

/// Where libcurl hands what it receives; `context` goes to each callback.
struct CurlCallbacks {
    curl_write_callback onHeader = nullptr;
    curl_write_callback onBody = nullptr;
    curl_xferinfo_callback onProgress = nullptr;
    void* context = nullptr;
};

/// Sets `handle` up for one request of `url` with `headerLines` added, as the configuration says: HTTP and HTTPS only,
/// redirects followed up to 20, certificates verified (against the configuration's file, else the `systemAuthorities`
/// read beforehand, when given), the whole-transfer limit, no signals.
[[nodiscard]] CURLcode configureRequest(CurlHandle& handle, URLSessionConfiguration const& configuration,
    std::string const& url, std::vector<std::string> const& headerLines, CurlCallbacks const& callbacks,
    std::string const& systemAuthorities = {});

}
