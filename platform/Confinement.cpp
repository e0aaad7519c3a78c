// SPDX-License-Identifier: Apache-2.0
#include "platform/Confinement.h"

#include "platform/Landlock.h"
#include "platform/Posix.h"

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <linux/capability.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

    /// Governed but never granted: the tool makes only files and folders.
    constexpr std::uint64_t specialFiles = LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_BLOCK
        | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;

    /// Every way of changing a folder or a file that the kernel's ABI `abi` tells apart.
    std::uint64_t writeRights(int abi)
    {
        std::uint64_t rights = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR
            | LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG | specialFiles;
        // NOTE: under ABI 1 a rename or link into another folder is always refused, as EXDEV: the move then copies, as
        // across volumes.
        if (abi >= 2)
            rights |= LANDLOCK_ACCESS_FS_REFER;
        if (abi >= 3)
            rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
        return rights;
    }

    /// Only CAP_DAC_OVERRIDE (see docs/security.md): root still writes in a work folder another user owns.
    constexpr std::uint64_t keptCapabilities = 1ULL << CAP_DAC_OVERRIDE;

}

int confineWrites(std::span<int const> writableFolders, int abiCeiling)
{
    // Also keeps a set-user-ID program from ever giving us more.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return 0;
    int abi = std::min(landlockAbi(), abiCeiling);
    if (abi < 1)
        return 0; // No Landlock in this kernel, or it is turned off.

    std::uint64_t const writes = writeRights(abi);
    FileDescriptor rulesetFd(createLandlockRuleset(abi, writes | LANDLOCK_ACCESS_FS_EXECUTE));
    if (!rulesetFd)
        return 0;
    for (int folder : writableFolders) {
        if (!allowBeneath(rulesetFd.get(), folder, writes & ~specialFiles))
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
        // NOTE: every folder the tool narrows is narrowed before this filter (or made with its mode); after it, no mode
        // of any file may change.
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
        // Devices and FIFOs, wherever they would lie; and the times of any file, which neither Landlock nor root's
        // ownership would keep.
        "mknod",
        "mknodat",
        "utime",
        "utimes",
        "futimesat",
        "utimensat",
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

bool dropBoundingCapabilities()
{
    bool dropped = true;
    for (int capability = 0;; ++capability) {
        int const held = ::prctl(PR_CAPBSET_READ, capability, 0, 0, 0);
        if (held < 0)
            break; // Past the last capability this kernel knows.
        if (held == 1)
            dropped = ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) == 0 && dropped;
    }
    return ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0 && dropped;
}

bool keepOnlyCapabilities(std::uint64_t kept)
{
    __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] {};
    if (::syscall(SYS_capget, &header, sets) != 0)
        return false;
    for (std::size_t word = 0; word < _LINUX_CAPABILITY_U32S_3; ++word) {
        auto const keptWord = static_cast<std::uint32_t>(kept >> (32 * word));
        sets[word].effective &= keptWord;
        sets[word].permitted &= keptWord;
        sets[word].inheritable = 0;
    }
    return ::syscall(SYS_capset, &header, sets) == 0;
}

bool dropCapabilities()
{
    // The bounding set first: dropping from it takes CAP_SETPCAP, which goes last.
    bool dropped = dropBoundingCapabilities();
    return keepOnlyCapabilities(keptCapabilities) && dropped;
}

}
