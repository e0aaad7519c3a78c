// SPDX-License-Identifier: Apache-2.0
#include "platform/Log.h"

#include "platform/Posix.h"
#include "platform/Progress.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

namespace platform {

std::string formatLogRecord(std::string_view text, long long epochMilliseconds, long pid, long tid)
{
    std::time_t seconds = static_cast<std::time_t>(epochMilliseconds / 1000);
    std::tm local {};
    localtime_r(&seconds, &local);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03lld quenbury[%ld:%ld] ", local.tm_year + 1900,
        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, epochMilliseconds % 1000, pid, tid);
    return stamp + std::string(text) + '\n';
}

void NSLog(std::string_view text)
{
    static std::once_flag syslogOpened;
    std::call_once(syslogOpened, [] { openlog("quenbury", LOG_PID, LOG_USER); });
    syslog(LOG_NOTICE, "%s", std::string(text).c_str());

    clearProgress();
    auto now = std::chrono::system_clock::now().time_since_epoch();
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    // Nowhere is left to report a failing standard stream.
    (void)writeAll(STDERR_FILENO,
        formatLogRecord(text, ms, static_cast<long>(getpid()), static_cast<long>(syscall(SYS_gettid))),
        "standard error");
}

void printLine(std::string_view text)
{
    (void)writeAll(STDOUT_FILENO, std::string(text) + '\n', "standard output");
}

}
