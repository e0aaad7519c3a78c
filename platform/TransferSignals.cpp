// SPDX-License-Identifier: Apache-2.0
#include "platform/TransferSignals.h"

#include <atomic>

namespace platform {

namespace {

    constexpr int handledSignals[3] = { SIGINT, SIGTERM, SIGHUP };

    std::atomic<int> caught { 0 };
    static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

    void onSignal(int signalNumber)
    {
        caught.store(signalNumber, std::memory_order_relaxed);
        // Only those the guard took: an ignored signal stays ignored.
        for (int handled : handledSignals) {
            struct sigaction current { };
            if (::sigaction(handled, nullptr, &current) == 0 && current.sa_handler == onSignal)
                ::signal(handled, SIG_DFL);
        }
    }

}

TransferSignalGuard::TransferSignalGuard()
{
    caught.store(0, std::memory_order_relaxed);
    struct sigaction action { };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int handled : handledSignals)
        sigaddset(&action.sa_mask, handled);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) {
        // A signal our starter chose to ignore (nohup, a background job) stays ignored.
        if (::sigaction(handledSignals[i], nullptr, &m_previous[i]) == 0 && m_previous[i].sa_handler != SIG_IGN)
            m_installed[i] = ::sigaction(handledSignals[i], &action, nullptr) == 0;
    }
}

TransferSignalGuard::~TransferSignalGuard()
{
    for (int i = 0; i < 3; ++i) {
        if (m_installed[i])
            ::sigaction(handledSignals[i], &m_previous[i], nullptr);
    }
}

int TransferSignalGuard::caughtSignal()
{
    return caught.load(std::memory_order_relaxed);
}

}
