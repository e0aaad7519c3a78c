// SPDX-License-Identifier: Apache-2.0
#include "platform/Confinement.h"

#include "platform/Posix.h"

#include <algorithm>
#include <csignal>
#include <grp.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

// What the Landlock ABIs of newer kernels add, which Debian 12's kernel headers do not declare.
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

namespace {

    /// The Landlock ABI this kernel offers; 0 or less without Landlock.
    int landlockAbi()
    {
        return static_cast<int>(::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION));
    }

    /// A new ruleset handling `handledFiles`; from ABI 6 no signal to, or abstract socket of, a process outside it.
    FileDescriptor createLandlockRuleset(int abi, std::uint64_t handledFiles)
    {
        // The attributes up to the scopes of ABI 6; an older kernel is given only the first field.
        bool scoped = abi >= 6;
        struct {
            std::uint64_t handledAccessFs, handledAccessNet, scoped;
        } ruleset { handledFiles, 0, scoped ? LANDLOCK_SCOPE_SIGNAL | LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET : 0 };
        std::size_t size = scoped ? sizeof ruleset : sizeof ruleset.handledAccessFs;
        return FileDescriptor(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &ruleset, size, 0)));
    }

    bool allowBeneath(int ruleset, int fd, std::uint64_t allowed)
    {
        landlock_path_beneath_attr rule { .allowed_access = allowed, .parent_fd = fd };
        return ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
    }

    /// Governed but never granted: the tool makes only files and folders.
    constexpr std::uint64_t specialFiles = LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_BLOCK
        | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;

    std::uint64_t writeRights(int abi)
    {
        std::uint64_t rights = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR
            | LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG | specialFiles;
        // NOTE: under ABI 1 a rename or link into another folder is always refused, as EXDEV: the move then copies, as
        // across volumes.
        return rights | (abi >= 2 ? LANDLOCK_ACCESS_FS_REFER : 0) | (abi >= 3 ? LANDLOCK_ACCESS_FS_TRUNCATE : 0);
    }

    /// What name resolution and TLS read, and the libraries they load on first use: all the receiver may read.
    constexpr char const* receiverReadable[] = {
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

    /// False when Landlock is there and could not be put in force.
    bool restrictReceiverFiles()
    {
        int abi = landlockAbi();
        if (abi < 1)
            return true; // No Landlock here: the identity and the filter stand alone.
        // Every file right this ABI tells apart is handled, and only reading granted.
        int rights = abi >= 5 ? 16 : abi >= 3 ? 15 : abi >= 2 ? 14 : 13;
        FileDescriptor rules = createLandlockRuleset(abi, (1ULL << rights) - 1);
        if (!rules)
            return false;
        for (char const* path : receiverReadable) {
            FileDescriptor opened(::open(path, O_PATH | O_CLOEXEC));
            if (!opened)
                continue; // Not on this machine.
            auto status = statusOf(opened.get(), path);
            bool folder = status && S_ISDIR(status->st_mode);
            if (!allowBeneath(rules.get(), opened.get(),
                    LANDLOCK_ACCESS_FS_READ_FILE | (folder ? LANDLOCK_ACCESS_FS_READ_DIR : 0)))
                return false;
        }
        return ::syscall(SYS_landlock_restrict_self, rules.get(), 0) == 0;
    }

    /// Empties the bounding and ambient sets, so nothing executed could gain a capability. Needs CAP_SETPCAP still
    /// effective.
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

    /// Keeps only the capabilities in `kept` (bits by number) effective and permitted, and none inheritable.
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
    FileDescriptor rules = createLandlockRuleset(abi, writes | LANDLOCK_ACCESS_FS_EXECUTE);
    // Confined without one of its roots, the run would fail where it did not before.
    bool granted = rules && std::ranges::all_of(writableFolders, [&](int folder) {
        return allowBeneath(rules.get(), folder, writes & ~specialFiles);
    });
    return granted && ::syscall(SYS_landlock_restrict_self, rules.get(), 0) == 0 ? abi : 0;
}

bool dropCapabilities()
{
    // The bounding set first: dropping from it takes CAP_SETPCAP, which goes last.
    bool dropped = dropBoundingCapabilities();
    return keepOnlyCapabilities(1ULL << CAP_DAC_OVERRIDE) && dropped;
}

bool confineReceiver()
{
    pid_t parent = ::getppid();
    // NOTE: the bounding set goes while root may still drop from it; the identity then, which empties the other sets;
    // the parent's death signal again, since a change of identity clears it.
    (void)dropBoundingCapabilities();
    if (::geteuid() == 0) {
        constexpr uid_t nobody = 65534;
        (void)::setgroups(0, nullptr); // Refused in some user namespaces, where no group of root's is held anyway.
        if (::setresgid(nobody, nobody, nobody) != 0 || ::setresuid(nobody, nobody, nobody) != 0)
            return false;
    }
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent || parent == 1
        || ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    // NOTE: nothing is fetched unconfined: the transfer then fails as one that broke off.
    return keepOnlyCapabilities(0) && restrictReceiverFiles() && allowOnlyTransferCalls();
}

}
