// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <climits>
#include <span>

namespace platform {

/// Confines the calling thread, and every thread it starts afterwards, so that
/// it may write only beneath the folders open at `writableFolders` (rules by
/// descriptor: a folder reached through a link is confined as the folder it
/// is) and execute nothing: no new privileges, then a Landlock ruleset that
/// governs creating, writing, truncating, removing, renaming and linking
/// files and folders, making special files, and executing. Reading is left
/// open. Best effort: on a kernel without Landlock, or when a step fails, the
/// process goes on unconfined. `abiCeiling` uses no rights newer than that
/// Landlock ABI (an older kernel's, for tests).
/// Returns the Landlock ABI now in force, 0 when unconfined.
[[nodiscard]] int confineWrites(std::span<int const> writableFolders, int abiCeiling = INT_MAX);

/// Refuses (EPERM), for the calling thread and every thread it starts
/// afterwards, the system calls a root process could otherwise use to leave
/// its confinement or take the machine: running programs, tracing, mounting,
/// kernel modules, kexec and BPF, and changes of owner, of extended
/// attributes and of any mode (a file opened for reading may be neither
/// narrowed nor widened). Best effort: false when not in force.
[[nodiscard]] bool refuseEscapeCalls();

}
