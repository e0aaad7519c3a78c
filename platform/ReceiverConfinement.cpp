// SPDX-License-Identifier: Apache-2.0
#include "platform/ReceiverConfinement.h"

#include "platform/Confinement.h"
#include "platform/Posix.h"

#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <grp.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace platform {

namespace {

    constexpr uid_t nobody = 65534;

    /// What name resolution and TLS read, and nothing else: the CA store,
    /// OpenSSL's configuration, the resolver's and host files, and the
    /// libraries they load on first use.
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

    void restrictFiles()
    {
        int abi = static_cast<int>(::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION));
        if (abi < 1)
            return; // No Landlock here: the identity and the filter stand alone.
        struct {
            std::uint64_t handledAccessFs;
            std::uint64_t handledAccessNet;
            std::uint64_t scoped;
        } ruleset { everyFileRight(abi), 0, 0 };
        std::size_t size = sizeof ruleset.handledAccessFs;
        if (abi >= 6) {
            ruleset.scoped = LANDLOCK_SCOPE_SIGNAL | LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET;
            size = sizeof ruleset;
        }
        FileDescriptor rules(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &ruleset, size, 0)));
        if (!rules)
            return;
        for (char const* path : readable) {
            FileDescriptor opened(::open(path, O_PATH | O_CLOEXEC));
            if (!opened)
                continue; // Not on this machine.
            struct stat status { };
            bool folder = ::fstat(opened.get(), &status) == 0 && S_ISDIR(status.st_mode);
            landlock_path_beneath_attr rule {};
            rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE | (folder ? LANDLOCK_ACCESS_FS_READ_DIR : 0);
            rule.parent_fd = opened.get();
            (void)::syscall(SYS_landlock_add_rule, rules.get(), LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
        }
        (void)::syscall(SYS_landlock_restrict_self, rules.get(), 0);
    }

    /// Refuses (EPERM) what libcurl, OpenSSL and the resolver never call.
    void refuseWhatNoTransferNeeds()
    {
        static char const* const refused[] = {
            "execve", "execveat", "ptrace", "process_vm_writev", "process_vm_readv", "mount", "umount2", "pivot_root",
            "chroot", "fsopen", "fsmount", "move_mount", "open_tree", "mount_setattr", "init_module", "finit_module",
            "delete_module", "kexec_load", "kexec_file_load", "bpf", "perf_event_open", "userfaultfd", "unshare",
            "setns", "mknod", "mknodat", "chmod", "fchmod", "fchmodat", "fchmodat2", "chown", "fchown", "lchown",
            "fchownat", "setxattr", "lsetxattr", "fsetxattr", "removexattr", "lremovexattr", "fremovexattr", "utime",
            "utimes", "futimesat", "utimensat", "setuid", "setgid", "setreuid", "setregid", "setresuid", "setresgid",
            "setfsuid", "setfsgid", "setgroups", "capset", "kill", "tkill", "rt_sigqueueinfo", "pidfd_open",
            "pidfd_send_signal", "pidfd_getfd", "link", "linkat", "symlink", "symlinkat", "rename", "renameat",
            "renameat2", "unlink", "unlinkat", "rmdir", "mkdir", "mkdirat", "truncate", "acct", "swapon", "swapoff",
            "reboot", "sethostname", "setdomainname", "settimeofday", "clock_settime", "adjtimex", "clock_adjtime",
            "iopl", "ioperm", "quotactl", "syslog", "vhangup", "keyctl", "add_key", "request_key", "personality",
        };
        scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ALLOW);
        if (!filter)
            return;
        bool built = true;
        for (char const* name : refused) {
            int number = ::seccomp_syscall_resolve_name(name);
            if (number != __NR_SCMP_ERROR)
                built = built && ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), number, 0) == 0;
        }
        if (built)
            (void)::seccomp_load(filter);
        ::seccomp_release(filter);
    }

}

bool confineReceiver()
{
    pid_t parent = ::getppid();
    // NOTE: the bounding set goes while root may still drop from it; the
    // identity then, which empties the other sets; the parent's death signal
    // again, since a change of identity clears it.
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
    (void)keepOnlyCapabilities(0);
    restrictFiles();
    refuseWhatNoTransferNeeds();
    return true;
}

}
