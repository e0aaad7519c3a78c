// SPDX-License-Identifier: Apache-2.0
#include "TestSupport.h"
#include "platform/HttpHeaders.h"
#include "platform/PropertyList.h"
#include "platform/ResumeData.h"

namespace {

platform::ResumeData const sample { "http://127.0.0.1:8080/pkgs/a%20b.pkg", "body-" + std::string(64, 'a'), 1048576,
    "\"5897c93bb78591a5\"", "Tue, 05 Mar 2024 10:00:00 GMT", 4194304 };

/// The sample's encoding after `change` has edited the dictionary.
platform::Bytes tampered(std::function<void(platform::PropertyList&)> const& change)
{
    auto list = platform::PropertyList::fromBytes(*platform::encodeResumeData(sample));
    change(*list);
    return *list->binaryData();
}

}

TEST(ResumeData, RoundTripAndTheRangeValidator)
{
    auto encoded = platform::encodeResumeData(sample);
    ASSERT_TRUE(encoded);
    EXPECT_LE(encoded->size(), platform::maximumResumeDataSize);
    EXPECT_EQ(platform::decodeResumeData(*encoded), sample);
    EXPECT_EQ(platform::decodeResumeData(tampered([](auto&) {})), sample);
    EXPECT_EQ(sample.rangeValidator(), "\"5897c93bb78591a5\"");
    // A weak tag is kept, but never sent as the range's condition; names and tags at their longest are kept.
    auto weak = platform::ResumeData { sample.url, "body-" + std::string(123, 'a'), 10,
        "W/\"" + std::string(1020, 'x') + "\"", "", std::nullopt };
    EXPECT_EQ(platform::decodeResumeData(*platform::encodeResumeData(weak)), weak);
    EXPECT_EQ(weak.rangeValidator(), "");
    // The body's folder is kept; data without one (older versions) still decodes.
    auto placed = sample;
    placed.bodyFolder = "/Library/Agent/store/sub dir/.quenbury-partial";
    EXPECT_EQ(platform::decodeResumeData(*platform::encodeResumeData(placed)), placed);
}

TEST(ResumeData, EveryFieldIsChecked)
{
    auto truncated = *platform::encodeResumeData(sample);
    truncated.resize(truncated.size() / 2);
    std::vector<std::pair<platform::Bytes, std::string>> const rows {
        { {}, "not a binary property list" },
        { { '<', '?', 'x', 'm', 'l' }, "not a binary property list" },
        { platform::Bytes(platform::maximumResumeDataSize + 1, 'b'), "larger than" },
        { truncated, "malformed property list" },
        { tampered([](auto& l) { l.set("QuenburyResumeVersion", std::uint64_t { 2 }); }),
            "version mismatch: expected 1, got 2" },
        { tampered([](auto& l) { l.set("URL", "file:///etc/passwd"); }), "URL missing or not http/https" },
        { tampered([](auto& l) { l.set("BodyFileName", "body-a/../../etc"); }), "body file name" },
        { tampered([](auto& l) { l.set("BodyFileName", "../x"); }), "body file name" },
        { tampered([](auto& l) { l.set("BodyFileName", "body-" + std::string(124, 'a')); }), "body file name" },
        { tampered([](auto& l) { l.set("BytesReceived", std::uint64_t { 1 } << 63); }), "byte count" },
        { tampered([](auto& l) { l.set("BytesReceived", "10"); }), "byte count" },
        { tampered([](auto& l) { l.set("EntityTag", "W/x"); }), "entity tag not a quoted tag" },
        { tampered([](auto& l) { l.set("EntityTag", "\"x\"\r\nX-Injected: 1"); }), "entity tag not a quoted tag" },
        { tampered([](auto& l) { l.set("TotalLength", std::uint64_t { 5 }); }), "total length out of range" },
        { tampered([](auto& l) { l.set("TotalLength", "5"); }), "total length not an integer" },
        { tampered([](auto& l) { l.set("LastModified", "x\r\nHost: evil"); }), "Last-Modified not a header value" },
        { tampered([](auto& l) { l.set("LastModified", ""); }), "Last-Modified not a header value" },
        { tampered([](auto& l) { l.set("EntityTag", "\"" + std::string(1100, 'x') + "\""); }),
            "entity tag not a quoted tag" },
        { tampered([](auto& l) { l.set("LastModified", "Tue, 05 Mar 2024 caf\xc3\xa9"); }),
            "Last-Modified not a header value" },
        { tampered([](auto& l) { l.set("BodyFolder", "var/tmp/quenbury-AbC123"); }),
            "body folder not an absolute path" },
        { tampered([](auto& l) { l.set("BodyFolder", "/" + std::string(4096, 'a')); }),
            "body folder not an absolute path" },
        { tampered([](auto& l) { l.set("BodyFolder", std::uint64_t { 1 }); }), "body folder not text" },
    };
    for (auto const& [bytes, reason] : rows) {
        auto decoded = platform::decodeResumeData(bytes);
        ASSERT_FALSE(decoded) << reason;
        auto said = decoded.error().string(platform::UserInfoKey::UnderlyingError);
        EXPECT_TRUE(said && said->starts_with("Resume data could not be decoded: " + reason)) << reason;
    }
}

TEST(HttpHeaders, ContentRangeTagsAndTheFinalResponse)
{
    EXPECT_EQ(platform::contentRangeStart("bytes 100-199/200"), 100u);
    EXPECT_EQ(platform::contentRangeStart(" BYTES 100-199/*\r\n"), 100u);
    EXPECT_EQ(platform::contentRangeTotal("bytes 100-199/200"), 200u);
    EXPECT_EQ(platform::contentRangeTotal("bytes 100-199/*"), std::nullopt);
    for (char const* bad : { "bytes 200-100/300", "bytes 100-199/150", "bytes 100-199/199", "bytes */200",
             "items 1-2/3", "bytes 1-2", "bytes 1-2/3x", "bytes 100x199/200", "" }) {
        EXPECT_EQ(platform::contentRangeStart(bad), std::nullopt) << bad;
        EXPECT_EQ(platform::contentRangeTotal(bad), std::nullopt) << bad;
    }
    EXPECT_TRUE(platform::isStrongEntityTag("\"abc\""));
    for (char const* weak : { "W/\"abc\"", "abc", "\"a\"b\"", "\"caf\xc3\xa9\"", "\"" })
        EXPECT_FALSE(platform::isStrongEntityTag(weak)) << weak;
    EXPECT_TRUE(platform::isEntityTag("W/\"abc\""));
    EXPECT_FALSE(platform::isEntityTag("W/abc"));
    EXPECT_TRUE(platform::entityTagsMatchWeakly("W/\"abc\"", "\"abc\""));
    EXPECT_FALSE(platform::entityTagsMatchWeakly("W/\"abc\"", "W/\"abd\""));

    platform::ResponseHeaders headers;
    for (char const* line :
        { "HTTP/1.1 302 Found\r\n", "Location: /x\r\n", "ETag: \"old\"\r\n", "HTTP/1.1 200 OK\r\n",
            "accept-ranges: none, Bytes\r\n", "ETag:  \"new\" \r\n", "ETa: \"not a tag\"\r\n", "Last-Modified: Tue\r\n",
            "Content-Range: bytes 1-2/3\r\n", "HTTP/1.1 2000 Long\r\n", "Content-Length: 42\r\n" })
        headers.addLine(line);
    EXPECT_EQ(headers.status, 200);
    EXPECT_FALSE(headers.hasLocation);
    EXPECT_TRUE(headers.acceptsByteRanges);
    EXPECT_EQ(headers.entityTag, "\"new\"");
    EXPECT_EQ(headers.lastModified, "Tue");
    EXPECT_EQ(headers.contentRange, "bytes 1-2/3");
    EXPECT_EQ(headers.contentLength, 42u);
    // A chunked body ends where its chunks end, whatever Content-Length says, in either order.
    for (auto const& lines : { std::vector<char const*> { "Content-Length: 42\r\n", "Transfer-Encoding: chunked\r\n" },
             std::vector<char const*> { "Transfer-Encoding: chunked\r\n", "Content-Length: 42\r\n" } }) {
        platform::ResponseHeaders chunked;
        for (char const* line : lines)
            chunked.addLine(line);
        EXPECT_EQ(chunked.contentLength, std::nullopt) << lines[0];
    }
}
