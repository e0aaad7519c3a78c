// SPDX-License-Identifier: Apache-2.0
#pragma once

// The download service as the tool sees it: a configuration, a session with one receiver process, and tasks whose
// completion handler runs once, on a thread of the session. The session owns them all.

#include "platform/ResumeData.h"
#include "platform/Url.h"

#include <chrono>
#include <functional>
#include <memory>

namespace platform {

struct URLResponse {
    long statusCode = 0;
    std::string url;
};

/// Called once per task, on the session's own thread: the location of the downloaded body (on success), the response,
/// and the error (on failure).
using CompletionHandler
    = std::function<void(std::optional<URL> location, std::optional<URLResponse> response, std::optional<Error> error)>;

struct URLSessionConfiguration {
    /// Idle time allowed while connecting or between received bytes.
    std::chrono::milliseconds timeoutIntervalForRequest { std::chrono::seconds(60) };
    std::chrono::milliseconds timeoutIntervalForResource { std::chrono::hours(24 * 7) };
    /// Where bodies go when the destination's folder does not exist; empty means $TMPDIR, else /var/tmp.
    std::string temporaryFolder;
    /// Trusted certificate authorities in place of the system's; empty for the system's.
    std::string certificateAuthorities;

    static URLSessionConfiguration defaultConfiguration() { return {}; }
};

struct URLSessionDownloadTask {
    std::function<void()> start;
    /// Starts the task on a thread of the session, once, after any task before it has ended: from the thread that
    /// made the session, never from a handler (whose thread cannot wait for itself).
    void resume();
};

class URLSession {
public:
    /// Starts the receiver that will speak the network for its tasks: before the process confines itself, which then
    /// may start nothing.
    explicit URLSession(URLSessionConfiguration configuration);
    /// Waits for a running task to finish its handler.
    ~URLSession();
    URLSession(URLSession const&) = delete;
    URLSession& operator=(URLSession const&) = delete;

    /// A task for `url`, whose package will land at `destination`. The body's folder is chosen, opened and held now, so
    /// that a confinement taken on before `resume` can name it. With `resume`, the task continues that transfer, asking
    /// `url`: a re-signed link of the same resource replaces the one the data names.
    std::shared_ptr<URLSessionDownloadTask> downloadTask(URL const& url, std::string const& destination,
        CompletionHandler handler, std::optional<ResumeData> resume = std::nullopt);

    /// The transfer `resumeData` describes, when a task can be created from it and it continues `url`'s resource (see
    /// sameResource); nothing otherwise.
    [[nodiscard]] static std::optional<ResumeData> resumableTransfer(Bytes const& resumeData, URL const& url);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}
