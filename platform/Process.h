// SPDX-License-Identifier: Apache-2.0
#pragma once

// The process's life: its set-up before any thread, and its end from any thread, with what the download service left
// to tidy.

#include <cstdint>
#include <functional>
#include <utility>

namespace platform {

/// Ends the process with `status` from any thread, while other threads may be blocked: runs the clean-up still
/// registered (see ExitTidy), flushes the standard streams and ends without running static destructors.
[[noreturn]] void exitProcess(int status);

/// Clean-up that something which lives owes should the process end: registered while its owner holds this, it runs
/// once, through exitProcess or when the owner lets it go, whichever comes first; at exit the latest runs first.
class ExitTidy {
public:
    explicit ExitTidy(std::function<void()> action);
    ExitTidy(ExitTidy&& other) noexcept
        : m_key(std::exchange(other.m_key, 0))
    {
    }
    ~ExitTidy();

private:
    /// Its place among the registered; 0 once moved from.
    std::uint64_t m_key = 0;
};

/// Process-wide set-up that must happen before any thread starts.
void initializeProcess();

}
