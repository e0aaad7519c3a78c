#include "Quenbury/VarroAgent.h"
#include "TestSupport.h"

#include <cstdlib>

// The properties live once per process, so each case runs in a process of its own.

namespace {

/// Runs `body` in a fresh process with the named service programs present, and
/// expects it to end with status 0.
template<typename Body>
void inFreshProcess(std::set<std::string> installed, Body body)
{
    EXPECT_EXIT(
        {
            test::FaultyFileManager files;
            files.existing = installed;
            bool ok = body(files);
            std::_Exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

std::string const service1 = "/Library/Brindlecote/Ostrel_Agent/bin/zkagentservice";
std::string const service2 = "/Library/Fennimark_Agent/bin/zkagentservice";
std::string const service3 = "/Library/Wendlow_Agent/bin/zkagentservice";

}

TEST(VarroAgentDeathTest, FallbackWhenNoAgentIsInstalled)
{
    inFreshProcess({}, [](test::FaultyFileManager& files) {
        return VarroAgent::basePath() == "/Library/Ostrel_Agent" && VarroAgent::dataPath() == "/Library/Ostrel_Agent/data"
            && files.existenceQueries == std::vector { service1, service2, service3 };
    });
}

TEST(VarroAgentDeathTest, FirstCandidateWinsAndDerivesEveryPath)
{
    inFreshProcess({ service1, service2 }, [](test::FaultyFileManager& files) {
        return VarroAgent::basePath() == "/Library/Brindlecote/Ostrel_Agent"
            && VarroAgent::agentPath() == "/Library/Brindlecote/Ostrel_Agent/bin"
            && VarroAgent::systemDataPath() == "/Library/Brindlecote/Ostrel_Agent/SystemData"
            && VarroAgent::logsPath() == "/Library/Brindlecote/Ostrel_Agent/logs"
            && VarroAgent::userLogsPath() == "/Library/Brindlecote/Ostrel_Agent/logs/UserLogs"
            && VarroAgent::dataPath() == "/Library/Brindlecote/Ostrel_Agent/data"
            && files.existenceQueries == std::vector { service1 };
    });
}

TEST(VarroAgentDeathTest, LaterCandidatesAndSelectionRunsOnce)
{
    inFreshProcess({ service3 }, [](test::FaultyFileManager& files) {
        bool chosen = VarroAgent::dataPath() == "/Library/Wendlow_Agent/data" && VarroAgent::basePath() == "/Library/Wendlow_Agent";
        (void)VarroAgent::logsPath();
        return chosen && files.existenceQueries.size() == 3;
    });
    inFreshProcess({ service2 }, [](test::FaultyFileManager&) { return VarroAgent::basePath() == "/Library/Fennimark_Agent"; });
}

TEST(VarroAgentDeathTest, AssignmentReachesOnlyPropertiesNotYetRead)
{
    inFreshProcess({}, [](test::FaultyFileManager&) {
        std::string logsBefore = VarroAgent::logsPath();
        VarroAgent::basePath() = "/opt/agent";
        VarroAgent::logsPath() = "/elsewhere/logs";
        return logsBefore == "/Library/Ostrel_Agent/logs" && VarroAgent::dataPath() == "/opt/agent/data"
            && VarroAgent::userLogsPath() == "/opt/agent/logs/UserLogs" && VarroAgent::logsPath() == "/elsewhere/logs";
    });
    inFreshProcess({}, [](test::FaultyFileManager& files) {
        // An assignment as first access still runs the selection first.
        VarroAgent::dataPath() = "/d";
        return files.existenceQueries.size() == 3 && VarroAgent::basePath() == "/Library/Ostrel_Agent" && VarroAgent::dataPath() == "/d";
    });
}

TEST(VarroAgentDeathTest, NothingIsTestedWithoutAccess)
{
    inFreshProcess({}, [](test::FaultyFileManager& files) { return files.existenceQueries.empty(); });
}
