// SPDX-License-Identifier: Apache-2.0
// The confinement under each kernel ABI, the system-call filter and the capabilities given up, each in a child process
// that confines itself.
#include "TestSupport.h"
#include "platform/Confinement.h"
#include "platform/FileManager.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <netdb.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace {

using namespace std::string_literals;

int errnoOf(int result)
{
    return result < 0 ? errno : 0;
}

/// Runs /bin/true in a child, so that a program that does run never takes the place of the rows' process: 0 when it
/// ran, else the error its start gave.
int errnoOfRunning()
{
    pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/true", "true", nullptr);
        std::_Exit(errno);
    }
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Makes a block device (the loop device's numbers) at `path`; it is never opened.
int errnoOfMakingBlockDevice(std::string const& path)
{
    return errnoOf(::mknod(path.c_str(), S_IFBLK | 0600, ::makedev(7, 0)));
}

/// The address of a socket at `path`; one that starts with a NUL byte is in the abstract namespace.
sockaddr_un unixAddress(std::string_view path)
{
    sockaddr_un address { .sun_family = AF_UNIX, .sun_path = {} };
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return address;
}

/// Binds (which makes a socket file) or connects a new socket, as `call` says.
int errnoOfSocket(auto call, sockaddr_un const& address)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    int result = errnoOf(call(fd, reinterpret_cast<sockaddr const*>(&address), sizeof address));
    ::close(fd);
    return result;
}

/// A process that waits until the caller and its children are gone, as user `uid` when the caller may become it.
pid_t otherProcess(uid_t uid)
{
    int ends[2], ready[2];
    if (::pipe(ends) != 0 || ::pipe(ready) != 0)
        return -1;
    pid_t other = ::fork();
    if (other == 0) {
        ::close(ends[1]);
        // Staying the caller's user is fine when it may not become `uid`.
        std::ignore = ::setgid(uid);
        std::ignore = ::setuid(uid);
        ::close(ready[1]); // It is that user now.
        char byte;
        while (::read(ends[0], &byte, 1) != 0 && errno == EINTR) { }
        std::_Exit(0);
    }
    ::close(ends[0]); // The write end stays open with the caller.
    ::close(ready[1]);
    char byte;
    while (::read(ready[0], &byte, 1) < 0 && errno == EINTR) { }
    ::close(ready[0]);
    return other;
}

/// A set of capabilities of this thread, as /proc/self/status shows it (`CapEff`, `CapBnd`...); no set has bit 63.
long long capabilities(std::string const& set)
{
    std::istringstream status(test::readFile("/proc/thread-self/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(set + ":"))
            return std::stoll(line.substr(set.size() + 1), nullptr, 16);
    }
    return -1;
}

long long constexpr dacOverride = 1LL << CAP_DAC_OVERRIDE;

/// Sets the host name to the one it has, a privileged call that changes nothing.
int errnoOfSettingTheHostName()
{
    char name[HOST_NAME_MAX + 1] {};
    ::gethostname(name, sizeof name);
    return errnoOf(::sethostname(name, std::strlen(name)));
}

/// Sets a file's times to the epoch, without following a link.
int errnoOfSettingTimes(std::string const& path)
{
    timespec const times[2] {};
    return errnoOf(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW));
}

struct Row {
    char const* what;
    long long got, wanted;
};

/// Makes the rows in a child process, which may confine itself first, and expects each to hold there.
void expectInChild(std::function<std::vector<Row>()> const& rows)
{
    pid_t child = ::fork();
    if (child == 0) {
        int failures = 0;
        for (auto const& row : rows()) {
            if (row.got != row.wanted)
                std::fprintf(stderr, "%s: got %lld, wanted %lld\n", row.what, row.got, row.wanted), ++failures;
        }
        std::_Exit(failures);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}

// Each kernel ABI the tool knows, down to none, in a child that confines
// itself to a work folder and a body folder: what it may and may not do.
TEST(Confinement, WritesOnlyBeneathItsRootsAndRunsNothing)
{
    int const kernel
        = static_cast<int>(::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION));
    if (kernel < 1)
        GTEST_SKIP() << "this kernel offers no Landlock: " << std::strerror(errno);
    for (int ceiling : { INT_MAX, 6, 5, 3, 2, 1, 0 }) {
        SCOPED_TRACE(ceiling);
        test::TemporaryDirectory root;
        std::string const work = root / "work", body = root / "body", outside = root / "outside";
        std::filesystem::create_directories(work);
        test::writeFile(body + "/renamed", "r");
        test::writeFile(body + "/moved", "m");
        test::writeFile(outside + "/kept", "k");
        expectInChild([&] {
            int const roots[] { ::open(work.c_str(), O_PATH | O_DIRECTORY), ::open(body.c_str(), O_RDONLY) };
            auto const outsideSocket = unixAddress("\0quenbury-confinement-"s + std::to_string(::getpid()));
            int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
            ::bind(listening, reinterpret_cast<sockaddr const*>(&outsideSocket), sizeof outsideSocket);
            ::listen(listening, 1);
            int abi = platform::confineWrites(roots, ceiling);
            bool confined = abi > 0;
            auto refused = [&](int abiNeeded = 1) { return confined && abi >= abiNeeded ? EACCES : 0; };
            // What root could make were it not confined; made only in the folder of the test.
            int const device = confined ? EACCES : ::geteuid() == 0 ? 0 : EPERM;
            return std::vector<Row> {
                { "write inside", errnoOf(::open((work + "/new").c_str(), O_WRONLY | O_CREAT, 0600)), 0 },
                { "create outside", errnoOf(::open((outside + "/new").c_str(), O_WRONLY | O_CREAT, 0600)), refused() },
                { "write outside", errnoOf(::open((outside + "/kept").c_str(), O_WRONLY)), refused() },
                { "truncate outside", errnoOf(::truncate((outside + "/kept").c_str(), 0)), refused(3) },
                { "mkdir outside", errnoOf(::mkdir((outside + "/d").c_str(), 0700)), refused() },
                { "link outside", errnoOf(::symlink("/etc/passwd", (outside + "/l").c_str())), refused() },
                { "remove outside", errnoOf(::unlink((outside + "/kept").c_str())), refused() },
                // Under ABI 1 a rename into another folder is always refused, as across volumes.
                { "rename body to work", errnoOf(::rename((body + "/renamed").c_str(), (work + "/renamed").c_str())),
                    confined && abi < 2 ? EXDEV : 0 },
                { "move body to work",
                    platform::FileManager::defaultManager().replaceItem(work + "/moved", body + "/moved") ? 0 : -1, 0 },
                { "run a program", errnoOfRunning(), refused() },
                // Inside the work, only files and folders.
                { "block device inside", errnoOfMakingBlockDevice(work + "/loop"), device },
                { "character device inside",
                    errnoOf(::mknod((work + "/null").c_str(), S_IFCHR | 0600, ::makedev(1, 3))), device },
                { "FIFO inside", errnoOf(::mkfifo((work + "/fifo").c_str(), 0600)), refused() },
                { "socket inside", errnoOfSocket(::bind, unixAddress(work + "/socket")), refused() },
                { "symbolic link inside", errnoOf(::symlink("/etc/passwd", (work + "/l").c_str())), refused() },
                // From ABI 6 on, nothing outside the domain is signalled (the test's process, with a null signal)
                // or reached through an abstract socket (made before the domain).
                { "signal outside", errnoOf(::kill(::getppid(), 0)), confined && abi >= 6 ? EPERM : 0 },
                { "abstract socket outside", errnoOfSocket(::connect, outsideSocket),
                    confined && abi >= 6 ? EPERM : 0 },
                { "ABI reported", abi, std::min(ceiling, kernel) },
                { "socket closed", ::close(listening), 0 },
            };
        });
    }
}

// What the system-call filter refuses, and that a thread started afterwards
// (as libcurl's resolver is) still resolves names.
TEST(Confinement, RefusesEscapeCallsAndKeepsTheResolver)
{
    test::TemporaryDirectory root;
    std::string const file = root / "file";
    test::writeFile(file, "f");
    expectInChild([&] {
        bool filtered = platform::refuseEscapeCalls();
        int fd = ::open(file.c_str(), O_RDONLY);
        int resolved = -1;
        std::thread([&] {
            addrinfo* found = nullptr;
            resolved = ::getaddrinfo("localhost", "80", nullptr, &found);
            if (found)
                ::freeaddrinfo(found);
        }).join();
        return std::vector<Row> {
            { "filter loaded", filtered, true },
            { "narrow a file opened for reading", errnoOf(::fchmod(fd, 0)), EPERM },
            { "set-user-ID", errnoOf(::fchmod(fd, 04755)), EPERM },
            { "chmod by name", errnoOf(::chmod(file.c_str(), 0600)), EPERM },
            { "change owner", errnoOf(::fchown(fd, 0, 0)), EPERM },
            { "extended attribute", errnoOf(::fsetxattr(fd, "user.x", "1", 1, 0)), EPERM },
            { "trace", errnoOf(static_cast<int>(::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr))), EPERM },
            { "mount", errnoOf(::mount("none", root.path.c_str(), "tmpfs", 0, nullptr)), EPERM },
            { "load a module", errnoOf(static_cast<int>(::syscall(SYS_finit_module, fd, "", 0))), EPERM },
            { "run a program", errnoOfRunning(), EPERM },
            { "make a device", errnoOfMakingBlockDevice(root / "loop"), EPERM },
            { "make a FIFO", errnoOf(::mkfifo((root / "fifo").c_str(), 0600)), EPERM },
            { "mknod by number",
                errnoOf(static_cast<int>(::syscall(SYS_mknodat, AT_FDCWD, (root / "f").c_str(), S_IFIFO | 0600, 0))),
                EPERM },
            { "set times", errnoOfSettingTimes(file), EPERM },
            { "touch", errnoOf(::futimens(fd, nullptr)), EPERM },
            { "resolver thread", resolved, 0 },
        };
    });
}

// The capabilities given up, alone: what root may no longer do, and that it still writes in another user's folder.
TEST(Confinement, KeepsOnlyTheCapabilityToWriteInOthersFolders)
{
    test::TemporaryDirectory root;
    std::string const theirs = root / "theirs", theirFile = root / "their-file";
    test::writeFile(theirFile, "t");
    std::filesystem::create_directories(theirs);
    bool const isRoot = ::geteuid() == 0;
    if (isRoot) {
        // Another user's folder that their group may write, root not in it, as a folder of a store may be.
        ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(theirs.c_str(), 0770), 0);
        ASSERT_EQ(::chown(theirFile.c_str(), 65534, 65534), 0);
    }
    expectInChild([&] {
        long long const effective = capabilities("CapEff"), bounding = capabilities("CapBnd");
        bool const mayDropBounds = (effective & (1LL << CAP_SETPCAP)) != 0;
        pid_t other = otherProcess(65534);
        bool dropped = platform::dropCapabilities();
        // A process that is not root has nothing to give up, and carries on.
        return std::vector<Row> {
            { "all dropped", dropped, mayDropBounds || bounding == 0 },
            { "CapEff", capabilities("CapEff"), effective & dacOverride },
            { "CapPrm", capabilities("CapPrm"), effective & dacOverride },
            { "CapInh", capabilities("CapInh"), 0 },
            { "CapAmb", capabilities("CapAmb"), 0 },
            { "CapBnd", capabilities("CapBnd"), mayDropBounds ? 0 : bounding },
            // Each refused for want of its capability: CAP_KILL, CAP_SYS_TIME, CAP_SYS_ADMIN, CAP_FOWNER, CAP_MKNOD.
            { "signal another user's process", errnoOf(::kill(other, SIGTERM)), isRoot ? EPERM : 0 },
            // The clock set to nothing, a privileged call that changes nothing.
            { "set the clock", errnoOf(static_cast<int>(::syscall(SYS_settimeofday, nullptr, nullptr))), EPERM },
            { "set the host name", errnoOfSettingTheHostName(), EPERM },
            { "another user's file's times", errnoOfSettingTimes(theirFile), isRoot ? EPERM : 0 },
            { "make a device", errnoOfMakingBlockDevice(root / "loop"), EPERM },
            { "write in another user's folder",
                errnoOf(::open((theirs + "/body").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600)),
                isRoot && !(effective & dacOverride) ? EACCES : 0 },
        };
    });
}
