// SPDX-License-Identifier: Apache-2.0
#include "platform/Process.h"

#include "platform/BodyFolder.h"
#include "platform/Posix.h"

#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <signal.h>
#include <unistd.h>

namespace platform {

namespace {

    std::mutex& pendingMutex()
    {
        static auto* mutex = new std::mutex; // Never destroyed: used while the process ends.
        return *mutex;
    }

    /// A file of the service's, and which file it was when it was handed over.
    struct PendingFile {
        std::string path;
        std::optional<FileIdentity> identity;

        bool stillOurs() const;
        void remove() const;
    };

    /// The service's temporary body, and the progress record beside it.
    struct PendingBody {
        PendingFile body;
        PendingFile record;
        bool keepUnmoved = false;
    };

    PendingBody& pending()
    {
        static auto* body = new PendingBody;
        return *body;
    }

    struct PendingFolder {
        std::string path;
        int descriptor = -1;
    };

    PendingFolder& pendingFolder()
    {
        static auto* folder = new PendingFolder;
        return *folder;
    }

    // NOTE: never by name alone: once the handler moved our body away, the
    // name may belong to a concurrent run's body (and record).
    bool PendingFile::stillOurs() const
    {
        return identity && identityAt(AT_FDCWD, path) == identity;
    }

    void PendingFile::remove() const
    {
        if (identity)
            unlinkIfStill(AT_FDCWD, path, *identity);
    }

}

void setPendingTemporaryFile(std::string path, std::string record, bool keepUnmoved)
{
    std::lock_guard lock(pendingMutex());
    auto identity = identityAt(AT_FDCWD, path);
    auto recordIdentity = identityAt(AT_FDCWD, record);
    pending() = { { std::move(path), identity }, { std::move(record), recordIdentity }, keepUnmoved };
}

void setPendingBodyFolder(std::string path, int descriptor)
{
    std::lock_guard lock(pendingMutex());
    pendingFolder() = { std::move(path), descriptor };
}

void removePendingTemporaryFile()
{
    std::lock_guard lock(pendingMutex());
    auto& pendingBody = pending();
    // A finished body that could not be moved stays, with its record, where the
    // next run finds it; otherwise the record goes with its body.
    if (!(pendingBody.keepUnmoved && pendingBody.body.stillOurs())) {
        pendingBody.body.remove();
        pendingBody.record.remove();
    }
    pendingBody = {};
    // Fails, as it should, while a body (this run's kept for resuming, or a
    // concurrent run's) is still inside.
    if (auto& folder = pendingFolder(); !folder.path.empty())
        (void)BodyFolder::removeEmpty(folder.path, folder.descriptor);
    pendingFolder() = {};
}

void exitProcess(int status)
{
    removePendingTemporaryFile();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

void initializeProcess()
{
    // NOTE: libcurl runs with CURLOPT_NOSIGNAL, so a peer closing the socket
    // must not kill the process through SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        std::fputs("curl_global_init failed\n", stderr);
        std::_Exit(1);
    }
}

}
