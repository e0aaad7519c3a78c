// SPDX-License-Identifier: Apache-2.0
#pragma once

// What the Landlock ABIs of newer kernels add, which older kernel headers (Debian 12's) do not declare, for the run's
// confinement and the receiver's.

#include <cstdint>
#include <linux/landlock.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace platform {

/// The ruleset's attributes up to the scopes of ABI 6; an older kernel is given only the first field.
struct LandlockRulesetAttributes {
    std::uint64_t handledAccessFs;
    std::uint64_t handledAccessNet;
    std::uint64_t scoped;
};

/// The Landlock ABI this kernel offers; 0 or less without Landlock.
inline int landlockAbi()
{
    return static_cast<int>(::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION));
}

/// A new ruleset (-1 when refused) handling `handledFiles`; from ABI 6 no signal to, or abstract socket of, a process
/// outside it.
inline int createLandlockRuleset(int abi, std::uint64_t handledFiles)
{
    LandlockRulesetAttributes ruleset { handledFiles, 0, 0 };
    std::size_t size = sizeof ruleset.handledAccessFs;
    if (abi >= 6) {
        ruleset.scoped = LANDLOCK_SCOPE_SIGNAL | LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET;
        size = sizeof ruleset;
    }
    return static_cast<int>(::syscall(SYS_landlock_create_ruleset, &ruleset, size, 0));
}

/// Grants `allowed` beneath the folder (or on the file) open at `fd`; false when refused.
inline bool allowBeneath(int ruleset, int fd, std::uint64_t allowed)
{
    landlock_path_beneath_attr rule {};
    rule.allowed_access = allowed;
    rule.parent_fd = fd;
    return ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

}
