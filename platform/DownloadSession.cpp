// SPDX-License-Identifier: Apache-2.0
#include "platform/DownloadSession.h"

#include "platform/BodyFolder.h"
#include "platform/DownloadTransfer.h"
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

/// The session's serial queue: one thread running queued tasks in order,
/// started with the first task, so that it is bound by whatever confinement
/// the process took on once its tasks were made.
struct URLSession::Impl {
    URLSessionConfiguration configuration;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> queue;
    bool stopping = false;
    std::thread worker;

    /// The process that speaks the network for every task of the session,
    /// started as the session is made: before the process confines itself.
    std::expected<ReceiverProcess, Error> receiver;

    explicit Impl(URLSessionConfiguration c)
        : configuration(std::move(c))
        , receiver(ReceiverProcess::start())
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
            if (!worker.joinable())
                worker = std::thread([this] { serve(); });
        }
        wake.notify_one();
    }

    using Folder = std::shared_ptr<std::expected<ChosenBodyFolder, Error>>;

    /// The task's body folder, chosen and opened as the task is made, so that
    /// the confinement can name it.
    Folder bodyFolder(std::optional<ResumeData> const& resume, std::string const& destination) const
    {
        return std::make_shared<std::expected<ChosenBodyFolder, Error>>(
            openBodyFolder(resume, destination, configuration.temporaryDirectory));
    }

    void perform(std::string const& url, std::optional<ResumeData> const& stored, Folder const& chosen,
        CompletionHandler const& handler)
    {
        if (!*chosen) {
            handler(std::nullopt, std::nullopt,
                Error::url(URLErrorCode::CannotWriteToFile, url, chosen->error().description()));
            return;
        }

        auto outcome = [&] {
            TransferSignalGuard signals;
            return performDownload(configuration, **chosen, url, stored, receiver);
        }();
        // NOTE: one task a run: its receiver ends with its transfer.
        if (receiver)
            receiver->finish();
        // NOTE: the body, still open, goes with the outcome once the handler
        // returns: what it left for an exit inside the handler is tidied then,
        // never later through a folder that is gone.
        handler(outcome.location, outcome.response, outcome.error);
    }
};

namespace {

    /// The decoded `resumeData` when it continues `url`'s resource.
    std::expected<ResumeData, Error> resumeDataFor(Bytes const& resumeData, URL const& url)
    {
        auto decoded = decodeResumeData(resumeData);
        if (decoded && !resumesURL(*decoded, url.absoluteString))
            return std::unexpected(
                Error::url(URLErrorCode::Unknown, url.absoluteString, "The resume data continues another URL"));
        return decoded;
    }

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
    if (m_impl->worker.joinable())
        m_impl->worker.join();
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(
    URL const& url, std::string const& destination, CompletionHandler handler)
{
    return std::make_shared<DownloadTask>(*m_impl,
        [impl = m_impl.get(), url = url.absoluteString, folder = m_impl->bodyFolder(std::nullopt, destination),
            handler = std::move(handler)] { impl->perform(url, std::nullopt, folder, handler); });
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(
    Bytes const& resumeData, URL const& url, std::string const& destination, CompletionHandler handler)
{
    auto resume = resumeDataFor(resumeData, url);
    if (!resume) {
        // Data undecodable or of another resource touches nothing: the task fails at once.
        return std::make_shared<DownloadTask>(*m_impl,
            [error = resume.error(), handler = std::move(handler)] { handler(std::nullopt, std::nullopt, error); });
    }
    return std::make_shared<DownloadTask>(*m_impl,
        [impl = m_impl.get(), url = url.absoluteString, resume = *resume,
            folder = m_impl->bodyFolder(*resume, destination),
            handler = std::move(handler)] { impl->perform(url, resume, folder, handler); });
}

std::vector<FileDescriptor> URLSession::bodyFolderParents(std::string const& destination) const
{
    return openBodyFolderParents(destination, m_impl->configuration.temporaryDirectory);
}

bool URLSession::canResume(Bytes const& resumeData, URL const& url)
{
    return resumeDataFor(resumeData, url).has_value();
}

}
