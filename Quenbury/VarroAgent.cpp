// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/VarroAgent.h"

#include "platform/FileManager.h"

#include <array>
#include <string_view>

std::string& VarroAgent::basePath()
{
    // The first installation whose service program exists, else the fallback.
    static std::string value = [] {
        static constexpr std::array<std::string_view, 3> candidates {
            "/Library/Brindlecote/Ostrel_Agent",
            "/Library/Fennimark_Agent",
            "/Library/Wendlow_Agent",
        };
        for (auto candidate : candidates) {
            if (platform::FileManager::defaultManager().fileExists(std::string(candidate) + "/bin/zkagentservice"))
                return std::string(candidate);
        }
        return std::string("/Library/Ostrel_Agent");
    }();
    return value;
}

std::string& VarroAgent::agentPath()
{
    static std::string value = basePath() + "/bin";
    return value;
}

std::string& VarroAgent::systemDataPath()
{
    static std::string value = basePath() + "/SystemData";
    return value;
}

std::string& VarroAgent::logsPath()
{
    static std::string value = basePath() + "/logs";
    return value;
}

std::string& VarroAgent::userLogsPath()
{
    static std::string value = basePath() + "/logs" + "/UserLogs";
    return value;
}

std::string& VarroAgent::dataPath()
{
    static std::string value = basePath() + "/data";
    return value;
}
