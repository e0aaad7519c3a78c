// SPDX-License-Identifier: Apache-2.0
#include "platform/Progress.h"

#include "platform/Posix.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

    std::mutex& lineMutex = *new std::mutex; // Never destroyed: records are written while the process ends.

    bool lineDrawn = false;
    std::chrono::steady_clock::time_point lastDrawn;

    std::string bytesText(std::uint64_t bytes)
    {
        char text[32];
        if (bytes < 1024 * 1024)
            std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
        else if (bytes < 1024ull * 1024 * 1024)
            std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
        else
            std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
        return text;
    }

}

std::string formatProgress(std::uint64_t received, std::uint64_t total, double bytesPerSecond)
{
    std::string line = bytesText(received);
    if (total > 0)
        line += " of " + bytesText(total) + " (" + std::to_string(received * 100 / total) + "%)";
    line += ", " + bytesText(static_cast<std::uint64_t>(bytesPerSecond)) + "/s";
    if (total > received && bytesPerSecond > 0) {
        auto seconds = static_cast<std::uint64_t>(static_cast<double>(total - received) / bytesPerSecond);
        char left[32];
        std::snprintf(left, sizeof left, ", %llu:%02llu:%02llu left", static_cast<unsigned long long>(seconds / 3600),
            static_cast<unsigned long long>(seconds / 60 % 60), static_cast<unsigned long long>(seconds % 60));
        line += left;
    }
    return line;
}

void showProgress(std::uint64_t received, std::uint64_t total, double bytesPerSecond)
{
    static bool const enabled = ::isatty(STDERR_FILENO) == 1;
    if (!enabled)
        return;
    auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(lineMutex);
    if (lineDrawn && now - lastDrawn < std::chrono::milliseconds(200))
        return;
    lastDrawn = now;
    lineDrawn = true;
    // Carriage return and erase-to-end redraw the line in place.
    (void)writeAll(STDERR_FILENO, '\r' + formatProgress(received, total, bytesPerSecond) + "\x1b[K", "standard error");
}

void clearProgress()
{
    std::lock_guard lock(lineMutex);
    if (std::exchange(lineDrawn, false))
        (void)writeAll(STDERR_FILENO, "\r\x1b[K", "standard error");
}

}
