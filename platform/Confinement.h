// SPDX-License-Identifier: Apache-2.0
#pragma once

// How the running tool confines itself before its first connection: no new privileges, Landlock, a seccomp filter and
// the capabilities it keeps. Best effort and silent: an older kernel runs unconfined.

#include <climits>
#include <cstdint>
#include <span>

namespace platform {

/// Confines the calling thread, and every thread it starts afterwards, so that it may write only beneath the folders
/// open at `writableFolders` (rules by descriptor: a folder reached through a link is confined as the folder it is) and
/// execute nothing: no new privileges, then a Landlock ruleset that governs creating, writing, truncating, removing,
/// renaming and linking files and folders, making special files, and executing. Beneath those folders only files and
/// folders may be made: devices, FIFOs, sockets and symbolic links nowhere. From ABI 6 on, the ruleset also keeps
/// signals and connections to abstract sockets inside it: no process outside is signalled. Reading is left open. Best
/// effort: on a kernel without Landlock, or when a step fails, the process goes on unconfined. `abiCeiling` uses no
/// rights newer than that Landlock ABI (an older kernel's, for tests). Returns the Landlock ABI now in force, 0 when
/// unconfined.
[[nodiscard]] int confineWrites(std::span<int const> writableFolders, int abiCeiling = INT_MAX);

/// Refuses (EPERM), for the calling thread and every thread it starts afterwards, the system calls a root process could
/// otherwise use to leave its confinement or take the machine: running programs, tracing, mounting, kernel modules,
/// kexec and BPF, making devices and FIFOs, and changes of owner, of extended attributes, of any mode (a file opened
/// for reading may be neither narrowed nor widened) and of any file's times. Best effort: false when not in force.
[[nodiscard]] bool refuseEscapeCalls();

/// Empties the bounding and ambient capability sets of the calling thread (and of every thread it starts afterwards):
/// nothing it executes could gain a capability. Call it while the effective set still holds CAP_SETPCAP. Best effort:
/// false when a step failed.
[[nodiscard]] bool dropBoundingCapabilities();

/// Keeps, of the effective and permitted sets, only the capabilities in `kept` (bits by capability number), and empties
/// the inheritable set.
[[nodiscard]] bool keepOnlyCapabilities(std::uint64_t kept);

/// Gives up, for the calling thread and every thread it starts afterwards, every capability but CAP_DAC_OVERRIDE (which
/// root needs to write in a folder of the work another user owns): from the effective and permitted sets, and all of
/// them from the inheritable, ambient and bounding sets (nothing is executed). Best effort: false when a step failed
/// (as for a process that is not root), the rest done still.
[[nodiscard]] bool dropCapabilities();

}
