// SPDX-License-Identifier: Apache-2.0
// The log record's exact form, the progress line, and what the URL argument goes through: white space trimmed and
// percent-encoding, one row for each kind of text. Records written verbatim, a percent sign and a space encoded, URLs
// that do not form and file URLs are end-to-end rows.
#include "TestSupport.h"
#include "platform/Log.h"
#include "platform/Progress.h"
#include "platform/Text.h"
#include "platform/Url.h"

TEST(Texts, RecordsAndProgress)
{
    setenv("TZ", "UTC", 1);
    tzset();
    // 2026-12-06 19:29:07.045 UTC
    EXPECT_EQ(platform::formatLogRecord("100%s done\nsecond line", 1796585347045LL, 42, 43),
        "2026-12-06 19:29:07.045 quenbury[42:43] 100%s done\nsecond line\n");
    EXPECT_EQ(platform::formatProgress(512 * 1024, 0, 0), "512.0 KiB, 0.0 KiB/s");
    EXPECT_EQ(platform::formatProgress(256ull << 20, 1024ull << 20, 64 << 20),
        "256.0 MiB of 1.00 GiB (25%), 64.0 MiB/s, 0:00:12 left");
}

TEST(PercentEncoding, QueryAllowedSetAndTextThatIsNotUTF8)
{
    std::vector<std::pair<std::string, std::optional<std::string>>> const rows {
        { "http://h/p#frag", "http://h/p%23frag" },
        { "http://u:p@h:8/x?q=1&r=(2)*!$',;~_.-", "http://u:p@h:8/x?q=1&r=(2)*!$',;~_.-" },
        { "a\"<>\\^`{|}[]", "a%22%3C%3E%5C%5E%60%7B%7C%7D%5B%5D" },
        { "\t\x7f", "%09%7F" },
        { "caf\xc3\xa9", "caf%C3%A9" },
        { "\xc0\xaf", std::nullopt },
        { "\xed\xa0\x80", std::nullopt },
    };
    for (auto const& [text, encoded] : rows)
        EXPECT_EQ(platform::percentEncodeQueryAllowed(text), encoded) << text;
}

// ASCII white space around the URL, and a tab kept, are end-to-end rows.
TEST(Text, TrimsWhitespaceAndNewlinesAtBothEnds)
{
    std::vector<std::pair<std::string, std::string>> const rows {
        { "\r\n\v\f\xc2\x85http://h/a b\xe2\x80\x83\xe3\x80\x80\xc2\xa0", "http://h/a b" }, { " \n ", "" },
        { "\xe2\x80\x8bx", "\xe2\x80\x8bx" }, // A zero-width space is not white space.
    };
    for (auto const& [text, trimmed] : rows)
        EXPECT_EQ(platform::trimmingWhitespaceAndNewlines(text), trimmed) << text;
}
