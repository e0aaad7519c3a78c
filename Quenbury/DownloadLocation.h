// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

/// True when `location` cannot name a file inside the store folder: it is empty, ends with "/", has a ".." component,
/// or `localFilePath` is an existing folder. Such a location is refused before anything is touched.
bool isRefusedDownloadLocation(std::string const& location, std::string const& localFilePath);
