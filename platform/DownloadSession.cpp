// SPDX-License-Identifier: Apache-2.0
#include "platform/DownloadSession.h"

#include "platform/BodyPlacement.h"
#include "platform/DownloadTransfer.h"
#include "platform/Process.h"
#include "platform/ResumeData.h"
#include "platform/ResumeDecisions.h"
#include "platform/TransferSignals.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace platform {

URLSessionConfiguration URLSessionConfiguration::defaultConfiguration()
{
    return {};
}

/// The session's serial queue: one thread running queued tasks in order.
struct URLSession::Impl {
    URLSessionConfiguration configuration;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> queue;
    bool stopping = false;
    std::thread worker;

    explicit Impl(URLSessionConfiguration c)
        : configuration(std::move(c))
        , worker([this] { serve(); })
    {
    }

    void serve()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stopping || !queue.empty(); });
                if (queue.empty())
                    return;
                job = std::move(queue.front());
                queue.pop_front();
            }
            job();
        }
    }

    void enqueue(std::function<void()> job)
    {
        {
            std::lock_guard lock(mutex);
            queue.push_back(std::move(job));
        }
        wake.notify_one();
    }

    void perform(DownloadRequest const& request, CompletionHandler const& handler)
    {
        auto folder = openBodyFolder(request.resume, configuration.temporaryDirectory);
        if (!folder) {
            handler(std::nullopt, std::nullopt,
                Error::url(URLErrorCode::CannotWriteToFile, request.url, folder.error().description()));
            return;
        }
        // NOTE: the folder goes when the process ends with nothing left in it;
        // a handler that ends the process must not leave an empty one behind.
        setPendingBodyFolder(folder->path(), folder->descriptor());
        folder->removeStaleBodies(std::chrono::hours(24 * 7));
        DownloadOutcome outcome;
        {
            TransferSignalGuard signals;
            outcome = performDownload(configuration, *folder, request);
        }
        // NOTE: the body belongs to the service; a handler that ends the process
        // without moving it must not leave it behind.
        if (outcome.location)
            setPendingTemporaryFile(outcome.location->path);
        handler(outcome.location, outcome.response, outcome.error);
        outcome.body.reset();
        removePendingTemporaryFile();
    }
};

namespace {

    class DownloadTask final : public URLSessionDownloadTask {
    public:
        DownloadTask(URLSession::Impl& session, std::function<void()> job)
            : m_session(session)
            , m_job(std::move(job))
        {
        }

        void resume() override
        {
            if (m_job)
                m_session.enqueue(std::exchange(m_job, {}));
        }

    private:
        URLSession::Impl& m_session;
        std::function<void()> m_job;
    };

}

URLSession::URLSession(URLSessionConfiguration configuration)
    : m_impl(std::make_unique<Impl>(std::move(configuration)))
{
}

URLSession::~URLSession()
{
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->stopping = true;
    }
    m_impl->wake.notify_one();
    m_impl->worker.join();
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(URL const& url, CompletionHandler handler)
{
    return std::make_shared<DownloadTask>(
        *m_impl, [impl = m_impl.get(), url = url.absoluteString, handler = std::move(handler)] {
            impl->perform(DownloadRequest { url, std::nullopt }, handler);
        });
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(Bytes const& resumeData, CompletionHandler handler)
{
    auto decoded = decodeResumeData(resumeData);
    return std::make_shared<DownloadTask>(
        *m_impl, [impl = m_impl.get(), decoded = std::move(decoded), handler = std::move(handler)] {
            if (!decoded) {
                // Undecodable data touches nothing: the task fails at once.
                handler(std::nullopt, std::nullopt, decoded.error());
                return;
            }
            impl->perform(DownloadRequest { decoded->url, *decoded }, handler);
        });
}

bool URLSession::canResume(Bytes const& resumeData, URL const& url)
{
    auto decoded = decodeResumeData(resumeData);
    return decoded && resumesURL(*decoded, url.absoluteString);
}

}
