// SPDX-License-Identifier: Apache-2.0
#pragma once

// libcurl's result codes as the platform's URL-loading codes and as text, for the transfer and the receiver alike.

#include <string>

namespace platform {

/// The URL-loading code for a libcurl result code (an int, so that callers need no libcurl header).
long urlErrorCodeForCurlCode(int curlCode);

/// "CURLcode <n>: <libcurl's text for n>", the same for every run.
std::string curlCodeText(int curlCode);

}
