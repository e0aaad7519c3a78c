// SPDX-License-Identifier: Apache-2.0
// Resume data as stored, and every field of hostile data refused; what the tool reads of a server's headers.
#include "TestSupport.h"
#include "platform/HttpHeaders.h"
#include "platform/PropertyList.h"
#include "platform/ResumeData.h"

namespace {

platform::ResumeData const sample { "http://127.0.0.1:8080/pkgs/a%20b.pkg", "body-" + std::string(64, 'a'), 1048576,
    "\"5897c93bb78591a5\"", "Tue, 05 Mar 2024 10:00:00 GMT", 4194304 };

/// The sample's encoding with one field set to `value`.
template<typename Value> platform::Bytes with(std::string_view key, Value const& value)
{
    auto list = platform::PropertyList::fromBytes(*platform::encodeResumeData(sample));
    list->set(key, value);
    return *list->binaryData();
}

}

// Every resumed end-to-end row decodes what the run before encoded; these are the values at their longest, and
// data of older versions, without the body's folder.
TEST(ResumeData, RoundTripAtTheLimits)
{
    platform::ResumeData const longest { sample.url, "body-" + std::string(123, 'a'), 10,
        "W/\"" + std::string(1020, 'x') + "\"", "", std::nullopt, "/Library/Agent/store/sub dir/.quenbury-partial" };
    auto encoded = platform::encodeResumeData(longest);
    ASSERT_TRUE(encoded);
    EXPECT_LE(encoded->size(), platform::maximumResumeDataSize);
    EXPECT_EQ(platform::decodeResumeData(*encoded), longest);
    EXPECT_EQ(platform::decodeResumeData(*platform::encodeResumeData(sample)), sample);
}

TEST(ResumeData, EveryFieldIsChecked)
{
    auto truncated = *platform::encodeResumeData(sample);
    truncated.resize(truncated.size() / 2);
    // Nothing could tell whether the entity changed: the range would splice whatever the server has now.
    auto unvalidated = sample;
    unvalidated.entityTag = unvalidated.lastModified = "";
    std::vector<std::pair<platform::Bytes, std::string>> const rows {
        { {}, "not a binary property list" },
        { { '<', '?', 'x', 'm', 'l', ' ', 'v', 'e', 'r' }, "not a binary property list" },
        { platform::Bytes(platform::maximumResumeDataSize + 1, 'b'), "larger than" },
        { truncated, "malformed property list" },
        { with("QuenburyResumeVersion", std::uint64_t { 2 }), "version mismatch: expected 1, got 2" },
        { with("URL", "file:///etc/passwd"), "URL missing or not http/https" },
        { with("BodyFileName", "body-a/../../etc"), "body file name" },
        { with("BodyFileName", "../x"), "body file name" },
        { with("BodyFileName", "body-" + std::string(124, 'a')), "body file name" },
        { with("BytesReceived", std::uint64_t { 1 } << 63), "byte count" },
        { with("BytesReceived", "10"), "byte count" },
        { with("EntityTag", "W/x"), "entity tag not a quoted tag" },
        { with("EntityTag", "\"x\"\r\nX-Injected: 1"), "entity tag not a quoted tag" },
        { with("EntityTag", "\"" + std::string(1100, 'x') + "\""), "entity tag not a quoted tag" },
        { with("TotalLength", std::uint64_t { 5 }), "total length out of range" },
        { with("TotalLength", "5"), "total length not an integer" },
        { with("LastModified", "x\r\nHost: evil"), "Last-Modified not a header value" },
        { with("LastModified", ""), "Last-Modified not a header value" },
        { with("LastModified", "Tue, 05 Mar 2024 caf\xc3\xa9"), "Last-Modified not a header value" },
        { with("BodyFolder", "var/tmp/quenbury-AbC123"), "body folder not an absolute path" },
        { with("BodyFolder", "/" + std::string(4096, 'a')), "body folder not an absolute path" },
        { with("BodyFolder", std::uint64_t { 1 }), "body folder not text" },
        { *platform::encodeResumeData(unvalidated), "no validator" },
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
    EXPECT_EQ(platform::contentRangeLast("bytes 100-199/200"), 199u);
    EXPECT_EQ(platform::contentRangeLast("bytes 100-100/*"), 100u);
    for (char const* bad : { "bytes 200-100/300", "bytes 100-199/199", "bytes */200", "items 1-2/3", "bytes 1-2",
             "bytes 1-2/3x", "bytes 100x199/200", "" }) {
        EXPECT_EQ(platform::contentRangeStart(bad), std::nullopt) << bad;
        EXPECT_EQ(platform::contentRangeTotal(bad), std::nullopt) << bad;
        EXPECT_EQ(platform::contentRangeLast(bad), std::nullopt) << bad;
    }
    EXPECT_TRUE(platform::isStrongEntityTag("\"abc\""));
    for (char const* weak : { "W/\"abc\"", "abc", "\"a\"b\"", "\"caf\xc3\xa9\"", "\"" })
        EXPECT_FALSE(platform::isStrongEntityTag(weak)) << weak;
    EXPECT_TRUE(platform::isEntityTag("W/\"abc\""));
    EXPECT_FALSE(platform::isEntityTag("W/abc"));
    EXPECT_TRUE(platform::entityTagsMatchWeakly("W/\"abc\"", "\"abc\""));
    EXPECT_FALSE(platform::entityTagsMatchWeakly("W/\"abc\"", "W/\"abd\""));

    // Of a name given twice the later counts, as libcurl gives the last; names compare without case.
    platform::HeaderField const fields[]
        = { { "ETag", "\"old\"" }, { "accept-ranges", "none, Bytes" }, { "ETAG", " \"new\" " },
              { "ETa", "\"not a tag\"" }, { "Last-Modified", "Tue" }, { "Content-Range", "bytes 1-2/3" },
              { "Location", "" }, { "Content-Length", "41" }, { "Content-Length", "42" } };
    auto headers = platform::responseHeaders(200, fields);
    EXPECT_EQ(headers.status, 200);
    EXPECT_FALSE(headers.hasLocation);
    EXPECT_TRUE(headers.acceptsByteRanges);
    EXPECT_EQ(headers.entityTag, "\"new\"");
    EXPECT_EQ(headers.lastModified, "Tue");
    EXPECT_EQ(headers.contentRange, "bytes 1-2/3");
    EXPECT_EQ(headers.contentLength, 42u);
    // A chunked body ends where its chunks end, whichever field comes first.
    platform::HeaderField const chunked[] = { { "Content-Length", "42" }, { "Transfer-Encoding", "chunked" } };
    EXPECT_EQ(platform::responseHeaders(200, chunked).contentLength, std::nullopt);
    EXPECT_TRUE(platform::responseHeaders(200, chunked).hasTransferEncoding);
    platform::HeaderField const malformed[] = { { "Content-Length", "42, 42" }, { "Accept-Ranges", "bytesx" } };
    EXPECT_EQ(platform::responseHeaders(200, malformed).contentLength, std::nullopt);
    EXPECT_FALSE(platform::responseHeaders(200, malformed).acceptsByteRanges);
}
