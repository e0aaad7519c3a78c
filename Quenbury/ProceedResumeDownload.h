// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "Quenbury/VarroAgent.h"

/// Whether the agent's configuration files in `dataPath` allow this run to download; logs one line.
bool proceedResumeDownload(std::string const& dataPath = VarroAgent::dataPath());
