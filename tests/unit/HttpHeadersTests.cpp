// SPDX-License-Identifier: Apache-2.0
// What the tool reads of a server's headers: Content-Range, entity tags, and the fields of the final response.
#include "TestSupport.h"
#include "platform/HttpHeaders.h"

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
    for (char const* weak : { "W/\"abc\"", "abc", "\"abc", "abc\"", "\"a\"b\"", "\"caf\xc3\xa9\"", "\"" })
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
