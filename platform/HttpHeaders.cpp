// SPDX-License-Identifier: Apache-2.0
#include "platform/HttpHeaders.h"

#include "platform/Text.h"

#include <algorithm>
#include <charconv>
#include <ranges>

namespace platform {

namespace {

    std::string_view trimmed(std::string_view text)
    {
        text.remove_prefix(std::min(text.find_first_not_of(" \t"), text.size()));
        return text.substr(0, text.find_last_not_of(" \t\r\n") + 1);
    }

    /// Removes `prefix` (compared without case) from the front of `text`; false when it is not there.
    bool take(std::string_view& text, std::string_view prefix)
    {
        if (!equalsIgnoringCase(text.substr(0, prefix.size()), prefix))
            return false;
        text.remove_prefix(prefix.size());
        return true;
    }

    /// Reads decimal digits from the front of `text`; nothing without any, or on overflow.
    std::optional<std::uint64_t> takeNumber(std::string_view& text)
    {
        std::uint64_t value = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end == text.data())
            return std::nullopt;
        text.remove_prefix(static_cast<size_t>(end - text.data()));
        return value;
    }

    bool listContainsToken(std::string_view list, std::string_view token)
    {
        return std::ranges::any_of(std::views::split(list, ','),
            [&](auto item) { return equalsIgnoringCase(trimmed(std::string_view(item.begin(), item.end())), token); });
    }

    struct ContentRange {
        std::uint64_t first = 0;
        std::uint64_t last = 0;
        std::optional<std::uint64_t> complete;
    };

    std::optional<ContentRange> parseContentRange(std::string_view value)
    {
        value = trimmed(value);
        if (!take(value, "bytes "))
            return std::nullopt;
        auto first = takeNumber(value);
        if (!first || !take(value, "-"))
            return std::nullopt;
        auto last = takeNumber(value);
        if (!last || *last < *first || !take(value, "/"))
            return std::nullopt;
        if (value == "*")
            return ContentRange { *first, *last, std::nullopt };
        auto complete = takeNumber(value);
        if (!complete || !value.empty() || *complete <= *last)
            return std::nullopt;
        return ContentRange { *first, *last, *complete };
    }

    std::string_view withoutWeakMark(std::string_view tag)
    {
        return tag.starts_with("W/") ? tag.substr(2) : tag;
    }

}

bool isStrongEntityTag(std::string_view tag)
{
    return tag.size() >= 2 && tag.front() == '"' && tag.back() == '"'
        && tag.substr(1, tag.size() - 2).find('"') == std::string_view::npos && isHeaderSafe(tag);
}

std::optional<std::uint64_t> contentRangeStart(std::string_view value)
{
    return parseContentRange(value).transform([](ContentRange const& range) { return range.first; });
}

std::optional<std::uint64_t> contentRangeLast(std::string_view value)
{
    return parseContentRange(value).transform([](ContentRange const& range) { return range.last; });
}

std::optional<std::uint64_t> contentRangeTotal(std::string_view value)
{
    return parseContentRange(value).and_then([](ContentRange const& range) { return range.complete; });
}

std::optional<std::uint64_t> unsatisfiedRangeLength(std::string_view value)
{
    value = trimmed(value);
    auto complete = take(value, "bytes */") ? takeNumber(value) : std::nullopt;
    return complete && value.empty() ? complete : std::nullopt;
}

bool isEntityTag(std::string_view tag)
{
    return isStrongEntityTag(withoutWeakMark(tag));
}

bool entityTagsMatchWeakly(std::string_view a, std::string_view b)
{
    return isEntityTag(a) && withoutWeakMark(a) == withoutWeakMark(b);
}

bool isHeaderSafe(std::string_view value)
{
    // NOTE: obs-text (0x80 and up) is refused too: it would not survive the property list's text encoding unchanged,
    // and validators we send back must be byte-exact.
    return std::ranges::all_of(value, [](unsigned char byte) { return byte >= 0x20 && byte < 0x7F; });
}

ResponseHeaders responseHeaders(long status, std::span<HeaderField const> fields)
{
    std::array<std::optional<std::string_view>, headerNamesRead.size()> last;
    for (auto const& field : fields) {
        for (size_t i = 0; i < headerNamesRead.size(); ++i) {
            if (equalsIgnoringCase(trimmed(field.name), headerNamesRead[i]))
                last[i] = trimmed(field.value);
        }
    }
    auto const& [entityTag, lastModified, acceptRanges, contentRange, location, transferEncoding, contentLength] = last;
    ResponseHeaders headers;
    headers.status = status;
    headers.entityTag = entityTag.value_or("");
    headers.lastModified = lastModified.value_or("");
    headers.acceptsByteRanges = acceptRanges && listContainsToken(*acceptRanges, "bytes");
    headers.contentRange = contentRange.value_or("");
    headers.hasLocation = location && !location->empty();
    headers.hasTransferEncoding = transferEncoding.has_value();
    // A chunked body ends where its chunks end, whatever length is announced beside them.
    auto digits = transferEncoding ? std::string_view() : contentLength.value_or("");
    if (auto length = takeNumber(digits); digits.empty())
        headers.contentLength = length;
    return headers;
}

}
