// SPDX-License-Identifier: Apache-2.0
#include "platform/Process.h"

#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <mutex>
#include <signal.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

    struct ExitTidy {
        std::mutex mutex;
        std::function<void()> action;
    };

    ExitTidy& exitTidy()
    {
        static auto* tidy = new ExitTidy; // Never destroyed: used while the process ends.
        return *tidy;
    }

}

void setExitTidy(std::function<void()> action)
{
    auto& tidy = exitTidy();
    std::lock_guard lock(tidy.mutex);
    tidy.action = std::move(action);
}

void tidyNow()
{
    auto& tidy = exitTidy();
    std::lock_guard lock(tidy.mutex);
    if (auto action = std::exchange(tidy.action, {}))
        action();
}

void exitProcess(int status)
{
    tidyNow();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

void initializeProcess()
{
    // NOTE: a receiver that closes the channel must not kill the process
    // through SIGPIPE. This process speaks no TLS (the receiver does): of
    // libcurl it uses only the URL parser, which needs nothing set up.
    ::signal(SIGPIPE, SIG_IGN);
    if (curl_global_init(CURL_GLOBAL_NOTHING) != CURLE_OK) {
        std::fputs("curl_global_init failed\n", stderr);
        std::_Exit(1);
    }
}

}
