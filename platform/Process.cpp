#include "platform/Process.h"

#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <mutex>
#include <signal.h>
#include <unistd.h>

namespace platform {

namespace {

std::mutex& pendingMutex()
{
    static auto* mutex = new std::mutex; // Never destroyed: used while the process ends.
    return *mutex;
}

std::string& pendingPath()
{
    static auto* path = new std::string;
    return *path;
}

}

void setPendingTemporaryFile(std::string path)
{
    std::lock_guard lock(pendingMutex());
    pendingPath() = std::move(path);
}

void removePendingTemporaryFile()
{
    std::lock_guard lock(pendingMutex());
    if (!pendingPath().empty()) {
        ::unlink(pendingPath().c_str());
        pendingPath().clear();
    }
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
