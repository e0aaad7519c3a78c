// SPDX-License-Identifier: Apache-2.0
// The two system-call filters: the calls the running tool refuses itself, and the only calls the receiver may make.
#include "platform/Confinement.h"

#include <cerrno>
#include <cstdint>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

    constexpr char const* escapeCalls[] = {
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

    /// The calls libcurl, OpenSSL, the resolver and the C library make for a transfer.
    constexpr char const* transferCalls[] = {
        // Files: reading what Landlock lets it read, and the descriptors it has.
        "read",
        "readv",
        "pread64",
        "write",
        "writev",
        "lseek",
        "close",
        "fstat",
        "newfstatat",
        "statx",
        "stat",
        "lstat",
        "openat",
        "open",
        "access",
        "faccessat",
        "faccessat2",
        "readlink",
        "readlinkat",
        "getdents64",
        "getcwd",
        "fcntl",
        "dup",
        "dup2",
        "dup3",
        "pipe2",
        "eventfd2",
        // Waiting.
        "poll",
        "ppoll",
        "select",
        "pselect6",
        "epoll_create1",
        "epoll_ctl",
        "epoll_wait",
        "epoll_pwait",
        "nanosleep",
        "clock_nanosleep",
        "sched_yield",
        // The network.
        "socket",
        "connect",
        "bind",
        "getsockname",
        "getpeername",
        "getsockopt",
        "setsockopt",
        "sendto",
        "sendmsg",
        "sendmmsg",
        "recvfrom",
        "recvmsg",
        "recvmmsg",
        "shutdown",
        // Memory and threads (the resolver runs on one of its own).
        "mmap",
        "munmap",
        "mprotect",
        "mremap",
        "madvise",
        "brk",
        "futex",
        "set_robust_list",
        "get_robust_list",
        "rseq",
        "clone",
        "clone3",
        "exit",
        "exit_group",
        "set_tid_address",
        "membarrier",
        "arch_prctl",
        "sched_getaffinity",
        "sigaltstack",
        "rt_sigaction",
        "rt_sigprocmask",
        "rt_sigreturn",
        "restart_syscall",
        // What the process may know of itself and the time.
        "gettid",
        "getpid",
        "getppid",
        "getuid",
        "geteuid",
        "getgid",
        "getegid",
        "getgroups",
        "getresuid",
        "getresgid",
        "uname",
        "sysinfo",
        "prlimit64",
        "getrlimit",
        "getrandom",
        "clock_gettime",
        "clock_getres",
        "gettimeofday",
        "time",
        "capget",
    };

    /// Loads a system-call filter for the calling thread and those it starts: `listedAction` for the calls `listed` (a
    /// name this libseccomp does not know is skipped), allowed for `allowedWith` as compared, `otherwise` for the rest.
    bool loadFilter(std::uint32_t otherwise, std::uint32_t listedAction, std::span<char const* const> listed,
        std::span<std::pair<int, scmp_arg_cmp> const> allowedWith = {})
    {
        scmp_filter_ctx filter = ::seccomp_init(otherwise);
        if (!filter)
            return false;
        bool built = true;
        for (char const* name : listed) {
            int number = ::seccomp_syscall_resolve_name(name);
            if (number != __NR_SCMP_ERROR)
                built = built && ::seccomp_rule_add(filter, listedAction, number, 0) == 0;
        }
        for (auto const& [call, comparison] : allowedWith)
            built = built && ::seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1, comparison) == 0;
        bool loaded = built && ::seccomp_load(filter) == 0;
        ::seccomp_release(filter);
        return loaded;
    }

}

bool refuseEscapeCalls()
{
    return loadFilter(SCMP_ACT_ALLOW, SCMP_ACT_ERRNO(EPERM), escapeCalls);
}

bool allowOnlyTransferCalls()
{
    // NOTE: of the device controls only what a socket's reader asks, never a terminal's (TIOCSTI would type into the
    // terminal the run came from); a signal only to its own threads.
    std::pair<int, scmp_arg_cmp> const allowedWith[] = {
        { SCMP_SYS(ioctl), { 1, SCMP_CMP_EQ, FIONREAD, 0 } },
        { SCMP_SYS(ioctl), { 1, SCMP_CMP_EQ, FIONBIO, 0 } },
        { SCMP_SYS(tgkill), { 0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(::getpid()), 0 } },
    };
    return loadFilter(SCMP_ACT_ERRNO(EPERM), SCMP_ACT_ALLOW, transferCalls, allowedWith);
}

}
