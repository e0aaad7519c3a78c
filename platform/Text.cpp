// SPDX-License-Identifier: Apache-2.0
#include "platform/Text.h"

#include <algorithm>
#include <array>

namespace platform {

namespace {

    // The UTF-8 forms of the characters trimmed, longest first so a prefix test is exact.
    constexpr std::array<std::string_view, 24> trimmed {
        "\u1680",
        "\u2000",
        "\u2001",
        "\u2002",
        "\u2003",
        "\u2004",
        "\u2005",
        "\u2006",
        "\u2007",
        "\u2008",
        "\u2009",
        "\u200A",
        "\u2028",
        "\u2029",
        "\u202F",
        "\u205F",
        "\u3000",
        "\u00A0",
        "\u0085",
        " ",
        "\n",
        "\v",
        "\f",
        "\r",
    };

    size_t leadingLength(std::string_view text)
    {
        for (auto c : trimmed) {
            if (text.starts_with(c))
                return c.size();
        }
        return 0;
    }

    size_t trailingLength(std::string_view text)
    {
        for (auto c : trimmed) {
            if (text.ends_with(c))
                return c.size();
        }
        return 0;
    }

}

std::string trimmingWhitespaceAndNewlines(std::string_view text)
{
    while (size_t n = leadingLength(text))
        text.remove_prefix(n);
    while (size_t n = trailingLength(text))
        text.remove_suffix(n);
    return std::string(text);
}

}
