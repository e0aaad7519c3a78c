// SPDX-License-Identifier: Apache-2.0
// What a run that ends tidies (its leftover body and body folder, never another run's), which folder it takes for one
// of bodies, and which receiver it runs.
#include "TestSupport.h"
#include "platform/Body.h"
#include "platform/BodyFolder.h"
#include "platform/DownloadSession.h"
#include "platform/Process.h"
#include "platform/ReceiverProcess.h"

#include <sys/wait.h>

namespace {

/// What became of a body before the process ends, or lets the body go.
enum class Ending {
    /// Its transfer still runs.
    Unfinished,
    /// The transfer lost its connection: kept for resume.
    Lost,
    /// The transfer failed, and nothing can continue it.
    Refused,
    /// Finished, and left where it lies.
    HandedOver,
    /// Finished, and the handler moved it away.
    Moved,
    /// Moved away, and another run's body now bears its name.
    Replaced,
};

/// Ends a copy of this process as a completion handler ends the run: what
/// exit tidies is then on disk, and this process goes on.
void exitInChild()
{
    pid_t child = ::fork();
    if (child == 0)
        platform::exitProcess(0);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}

// What goes when the process ends, or the task lets its body go: a body that nothing keeps, with its record, only
// while its name is still ours; then the body folder, once empty. A body kept for resume, or waiting where the next
// run finds it, stays.
TEST(Process, ExitTidiesTheBodyOnlyWhileItIsOursAndNotKept)
{
    using enum Ending;
    platform::Bytes const data { 'r' };
    for (auto const& [name, foundAgain, ending, bodyStays, recordStays] :
        std::vector<std::tuple<char const*, bool, Ending, bool, bool>> {
            { "unfinished: left for the next run", false, Unfinished, true, false },
            { "lost: kept for resume with its record", false, Lost, true, true },
            { "refused: nothing can continue it", false, Refused, false, false },
            { "handed over where nobody finds it again", false, HandedOver, false, false },
            { "handed over, waiting beside the destination", true, HandedOver, true, true },
            { "moved by the handler: its record goes", true, Moved, false, false },
            { "another run's body under its name stays", true, Replaced, true, false },
        }) {
        for (bool byExit : { true, false }) {
            test::TemporaryDirectory root;
            std::string const bodyPath = root / "bodies/body-x", recordPath = bodyPath + ".progress";
            auto folder = platform::BodyFolder::open(root / "bodies", true);
            ASSERT_TRUE(folder);
            platform::ChosenBodyFolder const chosen { std::move(*folder), foundAgain, "body-x" };
            auto body = platform::Body::open(chosen, "http://h/p", std::nullopt);
            ASSERT_TRUE(body) << name;
            long const failure = ending == Lost ? platform::URLErrorCode::NetworkConnectionLost
                                                : platform::URLErrorCode::BadServerResponse;
            if (ending == Lost || ending == Refused)
                (void)body->fail(platform::Error::url(failure, "http://h/p", "failed"), data);
            else if (ending != Unfinished)
                (void)body->handOver(data);
            if (ending == Moved || ending == Replaced)
                std::filesystem::rename(bodyPath, root / "placed");
            if (ending == Replaced)
                test::writeFile(bodyPath, "theirs");
            if (byExit)
                exitInChild();
            else
                body = std::unexpected(platform::Error {});
            EXPECT_EQ(std::filesystem::exists(bodyPath), bodyStays) << name << byExit;
            EXPECT_EQ(std::filesystem::exists(recordPath), recordStays) << name << byExit;
            EXPECT_EQ(std::filesystem::exists(root / "bodies"), bodyStays || recordStays) << name << byExit;
            EXPECT_EQ(std::filesystem::exists(root / "placed"), ending == Moved || ending == Replaced) << name;
        }
    }
}

// The body folder goes with its last body, and not while another run holds it; the next run makes it again. A task
// whose handler returns leaves nothing for a later exit: its empty body folder goes when it ends.
TEST(Process, TheBodyFolderGoesWithItsLastBody)
{
    test::TemporaryDirectory here;
    auto folder = platform::BodyFolder::open(here / "folder", true);
    auto other = platform::BodyFolder::open(here / "folder", true);
    ASSERT_TRUE(folder && other);
    test::writeFile(here / "folder/body", "kept for resuming");
    EXPECT_FALSE(folder->removeIfEmpty());
    EXPECT_TRUE(std::filesystem::exists(here / "folder/body"));
    std::filesystem::remove(here / "folder/body");
    EXPECT_FALSE(folder->removeIfEmpty());
    EXPECT_TRUE(std::filesystem::exists(here / "folder"));
    other = std::unexpected(platform::Error {});
    EXPECT_TRUE(folder->removeIfEmpty());
    EXPECT_FALSE(std::filesystem::exists(here / "folder"));
    auto again = platform::BodyFolder::open(here / "folder", true);
    EXPECT_TRUE(again && std::filesystem::exists(here / "folder"));
    bool called = false;
    {
        platform::URLSession session(platform::URLSessionConfiguration::defaultConfiguration());
        session
            .downloadTask(*platform::URL::fromString("ftp://h/p"), here / "a.pkg",
                [&](auto, auto, auto error) { called = error.has_value(); })
            ->resume();
    }
    EXPECT_TRUE(called);
    EXPECT_FALSE(std::filesystem::exists(here / ".quenbury-partial"));
}

// A folder of bodies holds only bodies, their records and what a writer of a record leaves: one that holds anything
// else is not taken for ours.
TEST(Process, ABodyFolderHoldsOnlyBodiesAndTheirRecords)
{
    for (auto const& [what, entry, taken] : std::vector<std::tuple<char const*, char const*, bool>> {
             { "a body", "body-1", true },
             { "a record", "body-1.progress", true },
             { "a record being written", ".body-1.progress.quenbury-ABCDEFGHIJKLmnop", true },
             { "a record's writer's name cut short", ".body-1.progress.quenbury-ABCDEFGHIJKLmno", false },
             { "a body's writer, not a record's", ".body-1.quenbury-ABCDEFGHIJKLmnop", false },
             { "a hidden file", ".notes", false },
             { "another file", "notes", false },
         }) {
        test::TemporaryDirectory here;
        test::writeFile(here / "folder/" + entry, "x");
        std::filesystem::permissions(here / "folder", std::filesystem::perms::owner_all);
        EXPECT_EQ(platform::BodyFolder::open(here / "folder", false).has_value(), taken) << what;
    }
}

// The receiver runs as root until it drops everything: only a program nobody but root or we could have changed.
TEST(Process, RunsOnlyAReceiverNobodyElseCouldChange)
{
    uid_t const we = ::geteuid(), someone = 12345;
    for (auto const& [what, mode, owner, runs] : std::vector<std::tuple<char const*, mode_t, uid_t, bool>> {
             { "root's", S_IFREG | 0755, 0, true },
             { "ours, for us alone", S_IFREG | 0700, we, true },
             { "someone else's", S_IFREG | 0755, someone, false },
             { "its group may write it", S_IFREG | 0775, 0, false },
             { "anyone may write it", S_IFREG | 0757, 0, false },
             { "a folder", S_IFDIR | 0755, 0, false },
         }) {
        struct stat status { };
        status.st_mode = mode;
        status.st_uid = owner;
        EXPECT_EQ(platform::isProgramOfRootsOwn(status), runs) << what;
    }
}
