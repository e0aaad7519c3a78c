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

    /// The length of the trimmed character `text` starts with (ends with, `atEnd`), or 0.
    size_t trimmedLength(std::string_view text, bool atEnd)
    {
        auto found
            = std::ranges::find_if(trimmed, [&](auto c) { return atEnd ? text.ends_with(c) : text.starts_with(c); });
        return found == trimmed.end() ? 0 : found->size();
    }

}

std::string trimmingWhitespaceAndNewlines(std::string_view text)
{
    while (size_t n = trimmedLength(text, false))
        text.remove_prefix(n);
    while (size_t n = trimmedLength(text, true))
        text.remove_suffix(n);
    return std::string(text);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::ranges::equal(a, b, {}, lower, lower);
}

}
