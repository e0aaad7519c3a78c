// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"

/// Stores the resume data that a lost connection, a time-out or an interruption left in `error` in the resume state
/// file at `path`; true when it was stored.
bool saveResumeData(platform::Error const& error, std::string const& path);
