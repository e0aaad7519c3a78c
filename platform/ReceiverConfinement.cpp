// SPDX-License-Identifier: Apache-2.0
#include "platform/ReceiverConfinement.h"

#include "platform/Confinement.h"
#include "platform/Landlock.h"
#include "platform/Posix.h"

#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <grp.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

    constexpr uid_t nobody = 65534;

    /// What name resolution and TLS read, and the libraries they load on first use.
    constexpr char const* readable[] = {
        "/etc/ssl",
        "/etc/ca-certificates",
        "/usr/share/ca-certificates",
        "/usr/local/share/ca-certificates",
        "/usr/lib/ssl",
        "/etc/resolv.conf",
        "/run/systemd/resolve",
        "/etc/hosts",
        "/etc/host.conf",
        "/etc/nsswitch.conf",
        "/etc/gai.conf",
        "/etc/services",
        "/etc/ld.so.cache",
        "/usr/lib",
        "/lib",
        "/lib64",
        "/usr/lib64",
    };

    /// Every right Landlock's ABI `abi` knows on files: all are handled, and only reading is granted.
    std::uint64_t everyFileRight(int abi)
    {
        int rights = abi >= 5 ? 16 : abi >= 3 ? 15 : abi >= 2 ? 14 : 13;
        return (1ULL << rights) - 1;
    }

    /// False when Landlock is there and could not be put in force.
    bool restrictFiles()
    {
        int abi = landlockAbi();
        if (abi < 1)
            return true; // No Landlock here: the identity and the filter stand alone.
        FileDescriptor rules(createLandlockRuleset(abi, everyFileRight(abi)));
        if (!rules)
            return false;
        for (char const* path : readable) {
            FileDescriptor opened(::open(path, O_PATH | O_CLOEXEC));
            if (!opened)
                continue; // Not on this machine.
            struct stat status { };
            bool folder = ::fstat(opened.get(), &status) == 0 && S_ISDIR(status.st_mode);
            if (!allowBeneath(rules.get(), opened.get(),
                    LANDLOCK_ACCESS_FS_READ_FILE | (folder ? LANDLOCK_ACCESS_FS_READ_DIR : 0)))
                return false;
        }
        return ::syscall(SYS_landlock_restrict_self, rules.get(), 0) == 0;
    }

    /// Refuses (EPERM) every call but those libcurl, OpenSSL, the resolver and the C library make for a transfer.
    bool allowOnlyTransfers()
    {
        static char const* const allowed[] = {
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
        scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ERRNO(EPERM));
        if (!filter)
            return false;
        bool built = true;
        for (char const* name : allowed) {
            int number = ::seccomp_syscall_resolve_name(name);
            if (number != __NR_SCMP_ERROR)
                built = built && ::seccomp_rule_add(filter, SCMP_ACT_ALLOW, number, 0) == 0;
        }
        // NOTE: of the device controls only what a socket's reader asks, never a terminal's (TIOCSTI would type into
        // the terminal the run came from).
        for (unsigned long request : { static_cast<unsigned long>(FIONREAD), static_cast<unsigned long>(FIONBIO) })
            built = built
                && ::seccomp_rule_add(
                       filter, SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1, scmp_arg_cmp { 1, SCMP_CMP_EQ, request, 0 })
                    == 0;
        // Its own threads only: a signal to any other process is refused.
        built = built
            && ::seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1,
                   scmp_arg_cmp { 0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(::getpid()), 0 })
                == 0;
        bool loaded = built && ::seccomp_load(filter) == 0;
        ::seccomp_release(filter);
        return loaded;
    }

}

bool confineReceiver()
{
    pid_t parent = ::getppid();
    // NOTE: the bounding set goes while root may still drop from it; the identity then, which empties the other sets;
    // the parent's death signal again, since a change of identity clears it.
    (void)dropBoundingCapabilities();
    if (::geteuid() == 0) {
        (void)::setgroups(0, nullptr); // Refused in some user namespaces, where no group of root's is held anyway.
        if (::setresgid(nobody, nobody, nobody) != 0 || ::setresuid(nobody, nobody, nobody) != 0)
            return false;
    }
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent || parent == 1)
        return false;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    // NOTE: nothing is fetched unconfined: the transfer then fails as one that broke off.
    return keepOnlyCapabilities(0) && restrictFiles() && allowOnlyTransfers();
}

}
