// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/RunGlobals.h"

std::string urlString;
std::string localFilePath;
std::string checksumArgument;
