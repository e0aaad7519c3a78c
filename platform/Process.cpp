// SPDX-License-Identifier: Apache-2.0
#include "platform/Process.h"

#include "platform/BodyFolder.h"
#include "platform/Posix.h"

#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
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

    /// The service's temporary body, and which file it was when it was handed over.
    struct PendingFile {
        std::string path;
        std::optional<FileIdentity> identity;
    };

    PendingFile& pending()
    {
        static auto* file = new PendingFile;
        return *file;
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

    std::optional<FileIdentity> identityOfName(std::string const& path)
    {
        struct stat status { };
        if (::lstat(path.c_str(), &status) != 0)
            return std::nullopt;
        return FileIdentity(status);
    }

}

void setPendingTemporaryFile(std::string path)
{
    std::lock_guard lock(pendingMutex());
    auto identity = path.empty() ? std::nullopt : identityOfName(path);
    pending() = { std::move(path), identity };
}

void setPendingBodyFolder(std::string path, int descriptor)
{
    std::lock_guard lock(pendingMutex());
    pendingFolder() = { std::move(path), descriptor };
}

void removePendingTemporaryFile()
{
    std::lock_guard lock(pendingMutex());
    auto& file = pending();
    // NOTE: never by name alone: once the handler moved our body away, the
    // name may belong to a concurrent run's body.
    if (!file.path.empty() && file.identity && identityOfName(file.path) == file.identity)
        ::unlink(file.path.c_str());
    file = {};
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
