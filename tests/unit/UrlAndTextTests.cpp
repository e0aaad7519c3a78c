#include "TestSupport.h"
#include "platform/Text.h"
#include "platform/Url.h"

TEST(PercentEncoding, QueryAllowedSet)
{
    struct Row {
        std::string text;
        std::string encoded;
    };
    for (auto const& row : std::vector<Row> {
             { "http://h/a b", "http://h/a%20b" },
             { "http://h/a%20b", "http://h/a%2520b" },
             { "http://h/p#frag", "http://h/p%23frag" },
             { "http://u:p@h:8/x?q=1&r=(2)*!$',;~_.-", "http://u:p@h:8/x?q=1&r=(2)*!$',;~_.-" },
             { "a\"<>\\^`{|}[]", "a%22%3C%3E%5C%5E%60%7B%7C%7D%5B%5D" },
             { "\t\x7f", "%09%7F" },
             { "caf\xc3\xa9", "caf%C3%A9" },
             { "\xf0\x9f\x93\xa6", "%F0%9F%93%A6" },
             { "", "" },
         }) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(platform::percentEncodeQueryAllowed(row.text), row.encoded);
    }
}

TEST(PercentEncoding, TextThatIsNotUTF8HasNoEncoding)
{
    for (std::string text : { "\xff", "a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80" })
        EXPECT_EQ(platform::percentEncodeQueryAllowed(text), std::nullopt) << text;
}

TEST(URL, ParsingAndFileURLs)
{
    auto url = platform::URL::fromString("http://127.0.0.1:8080/a%2520b?x=1");
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->absoluteString, "http://127.0.0.1:8080/a%2520b?x=1");
    EXPECT_EQ(url->scheme, "http");
    EXPECT_TRUE(platform::URL::fromString("ftp://h/x").has_value());
    for (char const* refused : { "", "not a url", "http://", "example.com/file" })
        EXPECT_FALSE(platform::URL::fromString(refused).has_value()) << refused;

    auto file = platform::URL::fileURL("/Library/Ostrel_Agent/store/a b%?#.pkg");
    EXPECT_EQ(file.absoluteString, "file:///Library/Ostrel_Agent/store/a%20b%25%3F%23.pkg");
    EXPECT_EQ(file.path, "/Library/Ostrel_Agent/store/a b%?#.pkg");
    EXPECT_EQ(platform::URL::fileURL("/x\xff").absoluteString, "file:///x%FF");
}

TEST(Text, TrimsWhitespaceAndNewlinesAtBothEnds)
{
    struct Row {
        std::string text;
        std::string trimmed;
    };
    for (auto const& row : std::vector<Row> {
             { "  http://h/x \n", "http://h/x" },
             { "\r\n\v\f\xc2\x85http://h/a b\xe2\x80\x83\xe3\x80\x80\xc2\xa0", "http://h/a b" },
             { " \n ", "" },
             { "\thttp://h/x\t", "\thttp://h/x\t" },
             { "\xe2\x80\x8bx", "\xe2\x80\x8bx" }, // A zero-width space is not white space.
         }) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(platform::trimmingWhitespaceAndNewlines(row.text), row.trimmed);
    }
}
