#include "TestSupport.h"
#include "platform/HttpHeaders.h"
#include "platform/PropertyList.h"
#include "platform/ResumeData.h"

namespace {

platform::ResumeData sample()
{
    return { "http://127.0.0.1:8080/pkgs/a%20b.pkg", "body-" + std::string(64, 'a'), 1048576, "\"5897c93bb78591a5\"", "Tue, 05 Mar 2024 10:00:00 GMT", 4194304 };
}

/// Encodes `data` after `change` has edited the dictionary.
platform::Bytes tampered(std::function<void(platform::PropertyList&)> const& change)
{
    auto list = platform::PropertyList::dictionary();
    auto data = sample();
    list.set("QuenburyResumeVersion", std::uint64_t { 1 });
    list.set("URL", data.url);
    list.set("BodyFileName", data.bodyFileName);
    list.set("BytesReceived", data.bytesReceived);
    list.set("EntityTag", data.entityTag);
    list.set("LastModified", data.lastModified);
    list.set("TotalLength", *data.totalLength);
    change(list);
    return *list.binaryData();
}

}

TEST(ResumeData, RoundTripAndTheRangeValidator)
{
    auto encoded = platform::encodeResumeData(sample());
    ASSERT_TRUE(encoded);
    EXPECT_LE(encoded->size(), platform::maximumResumeDataSize);
    auto decoded = platform::decodeResumeData(*encoded);
    ASSERT_TRUE(decoded) << decoded.error().description();
    EXPECT_EQ(*decoded, sample());
    EXPECT_EQ(decoded->rangeValidator(), "\"5897c93bb78591a5\"");
    auto onlyDate = sample();
    onlyDate.entityTag.clear();
    EXPECT_EQ(platform::decodeResumeData(*platform::encodeResumeData(onlyDate))->rangeValidator(), "Tue, 05 Mar 2024 10:00:00 GMT");
    // A weak tag is kept but never sent as the range's condition.
    auto weak = onlyDate;
    weak.entityTag = "W/\"x\"";
    EXPECT_EQ(platform::decodeResumeData(*platform::encodeResumeData(weak))->rangeValidator(), "Tue, 05 Mar 2024 10:00:00 GMT");
    weak.lastModified.clear();
    weak.totalLength.reset();
    EXPECT_EQ(*platform::decodeResumeData(*platform::encodeResumeData(weak)), weak);
    EXPECT_EQ(weak.rangeValidator(), "");
    EXPECT_TRUE(platform::decodeResumeData(tampered([](auto&) {})));
}

TEST(ResumeData, EveryFieldIsChecked)
{
    struct Row {
        char const* name;
        platform::Bytes bytes;
        char const* reason;
    };
    std::vector<Row> rows {
        { "empty", {}, "not a binary property list" },
        { "XML", { '<', '?', 'x', 'm', 'l' }, "not a binary property list" },
        { "oversized", platform::Bytes(platform::maximumResumeDataSize + 1, 'b'), "larger than" },
        { "version", tampered([](auto& l) { l.set("QuenburyResumeVersion", std::uint64_t { 2 }); }), "version mismatch: expected 1, got 2" },
        { "scheme", tampered([](auto& l) { l.set("URL", "file:///etc/passwd"); }), "URL missing or not http/https" },
        { "body with a slash", tampered([](auto& l) { l.set("BodyFileName", "body-a/../../etc"); }), "body file name" },
        { "body outside", tampered([](auto& l) { l.set("BodyFileName", "../x"); }), "body file name" },
        { "unquoted tag", tampered([](auto& l) { l.set("EntityTag", "W/x"); }), "entity tag not a quoted tag" },
        { "total below received", tampered([](auto& l) { l.set("TotalLength", std::uint64_t { 5 }); }), "total length out of range" },
        { "total as text", tampered([](auto& l) { l.set("TotalLength", "5"); }), "total length not an integer" },
        { "header injection", tampered([](auto& l) { l.set("LastModified", "x\r\nHost: evil"); }), "Last-Modified not a header value" },
        { "date with obs-text", tampered([](auto& l) { l.set("LastModified", "Tue, 05 Mar 2024 caf\xc3\xa9"); }), "Last-Modified not a header value" },
        { "byte count type", tampered([](auto& l) { l.set("BytesReceived", "10"); }), "byte count" },
    };
    auto truncated = *platform::encodeResumeData(sample());
    truncated.resize(truncated.size() / 2);
    rows.push_back({ "truncated", truncated, "malformed property list" });
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        auto decoded = platform::decodeResumeData(row.bytes);
        ASSERT_FALSE(decoded);
        auto reason = decoded.error().string(platform::UserInfoKey::UnderlyingError);
        ASSERT_TRUE(reason);
        EXPECT_NE(reason->find(row.reason), std::string_view::npos) << *reason;
    }
}

TEST(HttpHeaders, ContentRangeAndTags)
{
    EXPECT_EQ(platform::contentRangeStart("bytes 100-199/200"), 100u);
    EXPECT_EQ(platform::contentRangeStart("bytes 100-199/*"), 100u);
    EXPECT_EQ(platform::contentRangeTotal("bytes 100-199/200"), 200u);
    EXPECT_EQ(platform::contentRangeTotal("bytes 100-199/*"), std::nullopt);
    for (char const* bad : { "bytes 200-100/300", "bytes 100-199/150", "bytes */200", "items 1-2/3", "bytes 1-2", "" }) {
        EXPECT_EQ(platform::contentRangeStart(bad), std::nullopt) << bad;
        EXPECT_EQ(platform::contentRangeTotal(bad), std::nullopt) << bad;
    }
    EXPECT_TRUE(platform::isEntityTag("W/\"abc\""));
    EXPECT_FALSE(platform::isEntityTag("W/abc"));
    EXPECT_TRUE(platform::entityTagsMatchWeakly("W/\"abc\"", "\"abc\""));
    EXPECT_FALSE(platform::entityTagsMatchWeakly("W/\"abc\"", "W/\"abd\""));
    EXPECT_TRUE(platform::isStrongEntityTag("\"abc\""));
    EXPECT_FALSE(platform::isStrongEntityTag("W/\"abc\""));
    EXPECT_FALSE(platform::isStrongEntityTag("abc"));
    EXPECT_FALSE(platform::isStrongEntityTag("\"caf\xc3\xa9\""));

    platform::ResponseHeaders headers;
    for (char const* line : { "HTTP/1.1 302 Found\r\n", "Location: /x\r\n", "ETag: \"old\"\r\n", "HTTP/1.1 200 OK\r\n", "accept-ranges: bytes\r\n", "ETag: \"new\"\r\n", "Content-Length: 42\r\n" })
        headers.addLine(line);
    EXPECT_EQ(headers.status, 200);
    EXPECT_FALSE(headers.hasLocation);
    EXPECT_TRUE(headers.acceptsByteRanges);
    EXPECT_EQ(headers.entityTag, "\"new\"");
    EXPECT_EQ(headers.contentLength, 42u);
}
