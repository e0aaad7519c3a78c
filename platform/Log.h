// SPDX-License-Identifier: Apache-2.0
#pragma once

// The tool's log: each record verbatim to the system log and standard error, and the one line standard output ever
// gets.

#include <string>
#include <string_view>

namespace platform {

/// Writes one log record, verbatim: to the system log (ident "quenbury") and to standard error as "YYYY-MM-DD
/// HH:MM:SS.mmm quenbury[PID:TID] text" in one write. The text is never used as a format.
void NSLog(std::string_view text);

/// Logs `text` and returns `answer`: a decision that says why in one step.
template<typename T> T logged(T answer, std::string_view text)
{
    NSLog(text);
    return answer;
}

void printLine(std::string_view text);

/// The standard-error form of a record; exposed for tests.
std::string formatLogRecord(std::string_view text, long long epochMilliseconds, long pid, long tid);

}
