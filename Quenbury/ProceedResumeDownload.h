// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

/// Whether the agent's configuration allows this run to download; logs one line.
bool proceedResumeDownload();

/// The same decision for the configuration files in `dataPath`.
bool proceedResumeDownload(std::string const& dataPath);
