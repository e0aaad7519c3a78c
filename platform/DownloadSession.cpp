// SPDX-License-Identifier: Apache-2.0
#include "platform/DownloadSession.h"

#include "platform/BodyFolder.h"
#include "platform/DownloadTransfer.h"

#include <thread>
#include <utility>

namespace platform {

/// The session's one task runs on a thread of its own, started by `resume`, so that it is bound by whatever confinement
/// the process took on once the task was made.
struct URLSession::Impl {
    URLSessionConfiguration configuration;
    std::expected<ReceiverProcess, Error> receiver = ReceiverProcess::start();
    std::thread worker;
};

void URLSessionDownloadTask::resume()
{
    if (start)
        std::exchange(start, {})();
}

URLSession::URLSession(URLSessionConfiguration configuration)
    : m_impl(std::make_unique<Impl>(std::move(configuration)))
{
}

URLSession::~URLSession()
{
    if (m_impl->worker.joinable())
        m_impl->worker.join();
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(
    URL const& url, std::string const& destination, CompletionHandler handler, std::optional<ResumeData> resume)
{
    // Shared, as a job must be copyable and an open folder is not.
    auto folder = std::make_shared<std::expected<ChosenBodyFolder, Error>>(
        openBodyFolder(resume, destination, m_impl->configuration.temporaryFolder));
    return std::make_shared<URLSessionDownloadTask>(
        URLSessionDownloadTask { [impl = m_impl.get(), url = url.absoluteString, resume = std::move(resume),
                                     folder = std::move(folder), handler = std::move(handler)] {
            // A later task waits for the one before, as on a serial queue.
            if (impl->worker.joinable())
                impl->worker.join();
            impl->worker = std::thread(
                [=] { performDownload(impl->configuration, *folder, url, resume, impl->receiver, handler); });
        } });
}

std::optional<ResumeData> URLSession::resumableTransfer(Bytes const& resumeData, URL const& url)
{
    auto decoded = decodeResumeData(resumeData);
    if (!decoded || !sameResource(decoded->url, url.absoluteString))
        return std::nullopt;
    return std::move(*decoded);
}

}
