// SPDX-License-Identifier: Apache-2.0
#include "platform/Confinement.h"

#include "platform/Posix.h"

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

// Older kernel headers (Debian 12's) know neither.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif

namespace platform {

namespace {

    /// Every way of changing what a folder holds or a file contains, as far as
    /// the kernel's ABI `abi` can tell them apart.
    std::uint64_t writeRights(int abi)
    {
        std::uint64_t rights = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR
            | LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR
            | LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO
            | LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
        // NOTE: under ABI 1 a rename or link into another folder is always
        // refused, as EXDEV: the move then copies, as across volumes.
        if (abi >= 2)
            rights |= LANDLOCK_ACCESS_FS_REFER;
        if (abi >= 3)
            rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
        return rights;
    }

}

int confineWrites(std::span<int const> writableFolders, int abiCeiling)
{
    // Also keeps a set-user-ID program from ever giving us more.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return 0;
    int abi = static_cast<int>(::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION));
    abi = std::min(abi, abiCeiling);
    if (abi < 1)
        return 0; // No Landlock in this kernel, or it is turned off.

    std::uint64_t const writes = writeRights(abi);
    landlock_ruleset_attr ruleset {};
    ruleset.handled_access_fs = writes | LANDLOCK_ACCESS_FS_EXECUTE;
    FileDescriptor rulesetFd(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &ruleset, sizeof ruleset, 0)));
    if (!rulesetFd)
        return 0;
    for (int folder : writableFolders) {
        landlock_path_beneath_attr rule {};
        rule.allowed_access = writes;
        rule.parent_fd = folder;
        if (::syscall(SYS_landlock_add_rule, rulesetFd.get(), LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0)
            return 0; // Confined without this root, the run would fail where it did not before.
    }
    if (::syscall(SYS_landlock_restrict_self, rulesetFd.get(), 0) != 0)
        return 0;
    return abi;
}

bool refuseEscapeCalls()
{
    static char const* const refused[] = {
        "execve",
        "execveat",
        "ptrace",
        "process_vm_writev",
        "mount",
        "umount2",
        "pivot_root",
        "fsopen",
        "fsmount",
        "move_mount",
        "open_tree",
        "mount_setattr",
        "init_module",
        "finit_module",
        "delete_module",
        "kexec_load",
        "kexec_file_load",
        "bpf",
        // NOTE: every folder the tool narrows is narrowed before this filter
        // (or made with its mode); after it, no mode of any file may change.
        "chmod",
        "fchmod",
        "fchmodat",
        "fchmodat2",
        "chown",
        "fchown",
        "lchown",
        "fchownat",
        "setxattr",
        "lsetxattr",
        "fsetxattr",
        "removexattr",
        "lremovexattr",
        "fremovexattr",
    };
    scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ALLOW);
    if (!filter)
        return false;
    bool built = true;
    for (char const* name : refused) {
        int number = ::seccomp_syscall_resolve_name(name);
        if (number != __NR_SCMP_ERROR) // Unknown to this libseccomp: none to refuse.
            built = built && ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), number, 0) == 0;
    }
    bool loaded = built && ::seccomp_load(filter) == 0;
    ::seccomp_release(filter);
    return loaded;
}

}
