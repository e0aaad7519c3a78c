// SPDX-License-Identifier: Apache-2.0
#include "platform/DownloadSession.h"

#include "platform/DownloadTransfer.h"
#include "platform/Process.h"
#include "platform/ResumeData.h"
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
    std::optional<BodyFolder> folder;
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

    /// The private folder, opened on first use; stale bodies of killed runs go then.
    std::expected<BodyFolder const*, Error> bodyFolder()
    {
        if (!folder) {
            auto opened = BodyFolder::open(BodyFolder::parentDirectory(configuration.temporaryDirectory));
            if (!opened)
                return std::unexpected(opened.error());
            opened->removeStaleBodies(std::chrono::hours(24 * 7));
            folder = std::move(*opened);
        }
        return &*folder;
    }

    void perform(DownloadRequest const& request, CompletionHandler const& handler)
    {
        auto folderOpened = bodyFolder();
        if (!folderOpened) {
            handler(std::nullopt, std::nullopt,
                Error::url(URLErrorCode::CannotWriteToFile, request.url, folderOpened.error().description()));
            return;
        }
        DownloadOutcome outcome;
        {
            TransferSignalGuard signals;
            outcome = performDownload(configuration, **folderOpened, request);
        }
        // NOTE: the body belongs to the service; a handler that ends the process
        // without moving it must not leave it behind.
        if (outcome.location)
            setPendingTemporaryFile(outcome.location->path);
        handler(outcome.location, outcome.response, outcome.error);
        if (outcome.location && outcome.body)
            outcome.body->remove();
        setPendingTemporaryFile({});
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

bool URLSession::canResume(Bytes const& resumeData)
{
    return decodeResumeData(resumeData).has_value();
}

}
