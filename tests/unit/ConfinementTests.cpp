// SPDX-License-Identifier: Apache-2.0
// The confinement under each kernel ABI, and the system-call filter, each in a child process that confines itself.
#include "TestSupport.h"
#include "platform/Confinement.h"
#include "platform/FileManager.h"

#include <cstring>
#include <fcntl.h>
#include <linux/landlock.h>
#include <netdb.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace {

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

struct Row {
    char const* what;
    int got, wanted;
};

/// Makes the rows in a child process, which may confine itself first, and expects each to hold there.
void expectInChild(std::function<std::vector<Row>()> const& rows)
{
    pid_t child = ::fork();
    if (child == 0) {
        int failures = 0;
        for (auto const& row : rows()) {
            if (row.got != row.wanted)
                std::fprintf(stderr, "%s: got %d, wanted %d\n", row.what, row.got, row.wanted), ++failures;
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
    for (int ceiling : { INT_MAX, 3, 2, 1, 0 }) {
        SCOPED_TRACE(ceiling);
        test::TemporaryDirectory root;
        std::string const work = root / "work", body = root / "body", outside = root / "outside";
        std::filesystem::create_directories(work);
        test::writeFile(body + "/renamed", "r");
        test::writeFile(body + "/moved", "m");
        test::writeFile(outside + "/kept", "k");
        expectInChild([&] {
            int const roots[] { ::open(work.c_str(), O_PATH | O_DIRECTORY), ::open(body.c_str(), O_RDONLY) };
            int abi = platform::confineWrites(roots, ceiling);
            bool confined = abi > 0;
            auto refused = [&](int abiNeeded = 1) { return confined && abi >= abiNeeded ? EACCES : 0; };
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
                { "ABI reported", abi, std::min(ceiling, kernel) },
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
            { "resolver thread", resolved, 0 },
        };
    });
}
