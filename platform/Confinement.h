#pragma once

#include <climits>
#include <span>
#include <string>

namespace platform {

/// Confines the calling thread, and every thread it starts afterwards, so that
/// it may write only beneath `writableRoots` and execute nothing: no new
/// privileges, then a Landlock ruleset that governs creating, writing,
/// truncating, removing, renaming and linking files and folders, making
/// special files, and executing. Reading is left open. A root that does not
/// exist gets no rule. Best effort: on a kernel without Landlock, or when a
/// step fails, the process goes on unconfined. `abiCeiling` uses no rights
/// newer than that Landlock ABI (an older kernel's, for tests).
/// Returns the Landlock ABI now in force, 0 when unconfined.
[[nodiscard]] int confineWrites(std::span<std::string const> writableRoots, int abiCeiling = INT_MAX);

}
