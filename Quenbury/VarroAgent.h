// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

/// The agent's installation folder and the folders derived from it. Each property is set up lazily, once per process,
/// on its first access; a derived one is built from `basePath` as it is at that moment.
class VarroAgent {
public:
    VarroAgent() = delete;

    static std::string& basePath();
    static std::string& agentPath();
    static std::string& systemDataPath();
    static std::string& logsPath();
    static std::string& userLogsPath();
    static std::string& dataPath();
};
