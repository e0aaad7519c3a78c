// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// Values of the run, written once by the run sequence before any task starts and only read afterwards, so the handler's
// thread needs no lock.

/// The URL argument without surrounding white space, not percent-encoded.
extern std::string urlString;
/// The destination: the agent's store folder followed by the location argument.
extern std::string localFilePath;
/// The expected checksum argument, exactly as passed.
extern std::string checksumArgument;
