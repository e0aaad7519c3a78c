// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/DownloadLocation.h"
#include "Quenbury/VarroAgent.h"
#include "TestSupport.h"

namespace {

std::string const candidates[] { "/Library/Brindlecote/Ostrel_Agent", "/Library/Fennimark_Agent",
    "/Library/Wendlow_Agent" };
std::string service(int n)
{
    return candidates[n] + "/bin/zkagentservice";
}

/// The properties live once per process: runs `body` in a process of its own
/// with the named service programs present, and expects it to return true.
template<typename Body> void inFreshProcess(std::set<std::string> installed, Body body)
{
    EXPECT_EXIT(
        {
            test::FaultyFileManager files;
            files.existing = installed;
            std::_Exit(body(files) ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}

TEST(VarroAgentDeathTest, FirstInstalledCandidateOrTheFallbackChosenOnceOnFirstAccess)
{
    std::vector<std::tuple<std::set<std::string>, std::string, size_t>> const rows {
        { {}, "/Library/Ostrel_Agent", 3 },
        { { service(0), service(1) }, candidates[0], 1 },
        { { service(1), service(2) }, candidates[1], 2 },
        { { service(2) }, candidates[2], 3 },
    };
    for (auto const& [installed, base, queries] : rows) {
        inFreshProcess(installed, [&](test::FaultyFileManager& files) {
            return files.existenceQueries.empty() && VarroAgent::basePath() == base
                && VarroAgent::agentPath() == base + "/bin" && VarroAgent::systemDataPath() == base + "/SystemData"
                && VarroAgent::logsPath() == base + "/logs" && VarroAgent::userLogsPath() == base + "/logs/UserLogs"
                && VarroAgent::dataPath() == base + "/data" && files.existenceQueries.size() == queries;
        });
    }
    // Assignment, even as first access, comes after the selection, and reaches only the properties not yet read.
    inFreshProcess({}, [](test::FaultyFileManager& files) {
        VarroAgent::logsPath() = "/elsewhere/logs";
        bool selected = files.existenceQueries.size() == 3 && VarroAgent::basePath() == "/Library/Ostrel_Agent";
        VarroAgent::basePath() = "/opt/agent";
        return selected && VarroAgent::dataPath() == "/opt/agent/data"
            && VarroAgent::userLogsPath() == "/opt/agent/logs/UserLogs" && VarroAgent::logsPath() == "/elsewhere/logs";
    });
}

TEST(DownloadLocation, RefusesWhatCannotNameAFileInTheStore)
{
    test::TemporaryDirectory store;
    std::filesystem::create_directories(store / "sub/dir");
    std::filesystem::create_directory_symlink(store / "sub", store / "link");
    test::writeFile(store / "sub/old.pkg", "x");
    for (std::string refused : { "", "pkg/", "/", "..", "../x.pkg", "a/../../x.pkg", "a/..", "sub/dir", "link", "." })
        EXPECT_TRUE(isRefusedDownloadLocation(refused, store / refused)) << refused;
    for (std::string accepted : { "x.pkg", "sub/old.pkg", "..pkg", "a/...", "sub/new 100%.pkg" })
        EXPECT_FALSE(isRefusedDownloadLocation(accepted, store / accepted)) << accepted;
}
