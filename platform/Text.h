// SPDX-License-Identifier: Apache-2.0
#pragma once

// Text as the platform trims and compares it, for the tool's arguments and what servers and files say.

#include <string>
#include <string_view>

namespace platform {

/// `text` without the white space and line breaks at both ends: Unicode category Z, U+000A to U+000D and U+0085.
std::string trimmingWhitespaceAndNewlines(std::string_view text);

/// Equal when ASCII letters are compared without regard to case.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}
