// SPDX-License-Identifier: Apache-2.0
#include "platform/Process.h"

#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <map>
#include <mutex>
#include <signal.h>

namespace platform {

namespace {

    struct Registered {
        std::mutex mutex;
        std::uint64_t lastKey = 0;
        std::map<std::uint64_t, std::function<void()>> actions;
    };

    Registered& tidies = *new Registered; // Never destroyed: used while the process ends.

}

ExitTidy::ExitTidy(std::function<void()> action)
{
    std::lock_guard lock(tidies.mutex);
    m_key = ++tidies.lastKey;
    tidies.actions.emplace(m_key, std::move(action));
}

ExitTidy::~ExitTidy()
{
    // NOTE: run under the lock, so that an exit on another thread waits for it instead of finding it half done.
    std::lock_guard lock(tidies.mutex);
    if (auto found = tidies.actions.extract(m_key))
        found.mapped()();
}

void exitProcess(int status)
{
    // Held to the end: nothing registers or runs again once the process ends.
    tidies.mutex.lock();
    for (auto at = tidies.actions.rbegin(); at != tidies.actions.rend(); ++at)
        at->second();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

void initializeProcess()
{
    // NOTE: a receiver that closes the channel must not kill the process through SIGPIPE. This process speaks no TLS
    // (the receiver does): of libcurl it uses only the URL parser, which needs nothing set up.
    ::signal(SIGPIPE, SIG_IGN);
    if (curl_global_init(CURL_GLOBAL_NOTHING) != CURLE_OK) {
        std::fputs("curl_global_init failed\n", stderr);
        std::_Exit(1);
    }
}

}
