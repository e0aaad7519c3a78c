// SPDX-License-Identifier: Apache-2.0
#include "platform/TransferSignals.h"

#include <atomic>

namespace platform {

namespace {

    constexpr int handledSignals[3] = { SIGINT, SIGTERM, SIGHUP };

    std::atomic<int> caught { 0 };
    /// Bit i set: handledSignals[i] goes to onSignal.
    std::atomic<unsigned> installedMask { 0 };
    static_assert(std::atomic<int>::is_always_lock_free && std::atomic<unsigned>::is_always_lock_free,
        "used from a signal handler");

    void onSignal(int signalNumber)
    {
        caught.store(signalNumber, std::memory_order_relaxed);
        unsigned mask = installedMask.load(std::memory_order_relaxed);
        for (int i = 0; i < 3; ++i) {
            if (mask & (1u << i))
                ::signal(handledSignals[i], SIG_DFL);
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
    unsigned mask = 0;
    for (int i = 0; i < 3; ++i) {
        // A signal our starter chose to ignore (nohup, a background job) stays ignored.
        if (::sigaction(handledSignals[i], nullptr, &m_previous[i]) == 0 && m_previous[i].sa_handler != SIG_IGN)
            mask |= 1u << i;
    }
    installedMask.store(mask, std::memory_order_relaxed);
    for (int i = 0; i < 3; ++i) {
        if (mask & (1u << i))
            m_installed[i] = ::sigaction(handledSignals[i], &action, nullptr) == 0;
    }
}

TransferSignalGuard::~TransferSignalGuard()
{
    installedMask.store(0, std::memory_order_relaxed);
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
