// SPDX-License-Identifier: Apache-2.0
// The channel between the root process and the receiver: every message at its limits survives the trip, and
// every check of the decoders refuses its own malformed packet.
#include "TestSupport.h"
#include "platform/ReceiverMessages.h"
#include "platform/Url.h"

#include <limits>

namespace {

using namespace platform;
using namespace platform::receiver;
using namespace std::string_literals;

Bytes packet(std::string const& text)
{
    return Bytes(text.begin(), text.end());
}

Bytes withTrailingByte(Bytes bytes)
{
    bytes.push_back(0);
    return bytes;
}

Bytes withoutLastByte(Bytes bytes)
{
    bytes.pop_back();
    return bytes;
}

std::string const longestURL = "https://h/" + std::string(maximumURLLength - 10, 'a');
std::string const longestHeaderLine = "If-Range: " + std::string(maximumHeaderLineLength - 10, 't');
std::string const overlongValidator(maximumValidatorLength + 1, 'x');
std::string const overlongContentRange(maximumContentRangeLength + 1, '1');
// A path is bytes: UTF-8 and control characters are allowed, only NUL is not.
std::string const longestPath = "/etc/caf\xc3\xa9\t" + std::string(maximumPathLength - 11, 'p');

Request const shortest { "http://h", {}, "", 1 };
Request const longest { longestURL, std::vector<std::string>(maximumHeaderLines, longestHeaderLine), longestPath,
    std::numeric_limits<std::int64_t>::max() };

Head const bare { { .status = 100 }, "" };
Head const full { { .status = 999,
                      .hasLocation = true,
                      .acceptsByteRanges = true,
                      .entityTag = std::string(maximumValidatorLength, '"'),
                      .lastModified = std::string(maximumValidatorLength, '~'),
                      .contentRange = std::string(maximumContentRangeLength, ' '),
                      .contentLength = std::numeric_limits<std::uint64_t>::max() },
    longestURL };
Head const chunked { { .status = 200, .hasTransferEncoding = true }, "http://h/x" };

/// The reason a refused packet gives, or "accepted".
template<typename Decoded> std::string reasonOf(Decoded const& decoded)
{
    if (decoded)
        return "accepted";
    EXPECT_TRUE(decoded.error().is(ErrorDomain::URL, URLErrorCode::BadServerResponse));
    auto said = decoded.error().string(UserInfoKey::UnderlyingError);
    return said ? std::string(*said) : "no reason";
}

/// A message comes back from its side's decoder as it went in.
void expectRoundTrip(auto decode, auto const& message)
{
    auto decoded = decode(encode(message));
    ASSERT_TRUE(decoded) << reasonOf(decoded);
    EXPECT_EQ(std::get<std::remove_cvref_t<decltype(message)>>(*decoded), message);
}

}

TEST(ReceiverMessages, RoundTripAtTheLimits)
{
    for (auto const& request : { shortest, longest })
        expectRoundTrip(decodeFromRoot, request);
    for (bool proceed : { false, true })
        expectRoundTrip(decodeFromRoot, Decision { proceed });
    for (auto const& head : { bare, full, chunked })
        expectRoundTrip(decodeFromReceiver, head);
    for (int code : { 0, 999 })
        expectRoundTrip(decodeFromReceiver, End { code });
    for (std::uint32_t length : { 1u, static_cast<std::uint32_t>(maximumPiece) })
        expectRoundTrip(decodeFromReceiver, Piece { length });
}

// A server's value the channel cannot carry is dropped, and the Head still goes through.
TEST(ReceiverMessages, HeadForDropsWhatDoesNotFit)
{
    ResponseHeaders const kept = full.headers;
    struct Row {
        ResponseHeaders headers;
        std::string effectiveURL;
        std::string keptURL;
    };
    std::vector<Row> const rows {
        { { .status = 206, .entityTag = overlongValidator }, longestURL, longestURL },
        { { .status = 206, .entityTag = "\"caf\xc3\xa9\"" }, longestURL, longestURL },
        { { .status = 206, .lastModified = "Tue\r\nX: 1" }, longestURL, longestURL },
        { { .status = 206, .lastModified = overlongValidator }, longestURL, longestURL },
        { { .status = 206, .contentRange = overlongContentRange }, longestURL, longestURL },
        { { .status = 206, .contentRange = "bytes\x7f" }, longestURL, longestURL },
        { { .status = 206 }, longestURL + "a", "" },
        { { .status = 206 }, "http://h/\x01", "" },
    };
    for (auto const& [headers, effectiveURL, keptURL] : rows) {
        auto head = headFor(headers, effectiveURL);
        EXPECT_EQ(head, (Head { { .status = 206 }, keptURL }));
        EXPECT_TRUE(decodeFromReceiver(encode(head)));
    }
    EXPECT_EQ(headFor(kept, longestURL), full);
}

TEST(ReceiverMessages, EveryPacketFromTheReceiverIsChecked)
{
    Bytes const fields = encode(bare);
    std::vector<std::pair<Bytes, std::string>> const rows {
        { {}, "empty packet" },
        { packet("X"), "unknown type 88" },
        { encode(Decision { true }), "unknown type 68" },
        { packet("P\x01\x00\x00"s), "truncated Piece length" },
        { encode(Piece { 0 }), "Piece of 0 bytes" },
        { encode(Piece { maximumPiece + 1 }), "Piece of 1048577 bytes" },
        { encode(Piece { 0xFFFFFFFF }), "Piece of 4294967295 bytes" },
        { withTrailingByte(encode(Piece { 1 })), "trailing bytes after Piece" },
        { packet("E"s), "truncated curl code" },
        { packet("E\xe8\x03"s), "curl code 1000 out of range" },
        { encode(End { 65536 }), "curl code 65535 out of range" },
        { withTrailingByte(encode(End { 0 })), "trailing bytes after End" },
        { packet("H\x64"s), "truncated status" },
        { packet("H\x64\x00"s), "truncated flags" },
        { encode(Head { { .status = 99 } }), "status 99 out of range" },
        { encode(Head { { .status = 1000 } }), "status 1000 out of range" },
        { encode(Head { { .status = 65636 } }), "status 65535 out of range" },
        { packet("H\x64\x00\x10"s), "unknown flags" },
        { packet("H\x64\x00\x0c"s), "Content-Length with Transfer-Encoding" },
        { packet("H\x64\x00\x08\x01\x02\x03\x04\x05\x06\x07"s), "truncated Content-Length" },
        { packet("H\x64\x00\x00\x05"s), "truncated entity tag" },
        { packet("H\x64\x00\x00\x05\x00xx"s), "truncated entity tag" },
        { encode(Head { { .status = 200, .entityTag = overlongValidator } }), "entity tag over 1024 bytes" },
        { encode(Head { { .status = 200, .entityTag = std::string(0x10005, 'x') } }), "entity tag over 1024 bytes" },
        { encode(Head { { .status = 200, .entityTag = "\"a\"\r\nX: 1" } }), "entity tag not printable ASCII" },
        { encode(Head { { .status = 200, .lastModified = overlongValidator } }), "Last-Modified over 1024 bytes" },
        { encode(Head { { .status = 200, .lastModified = "caf\xc3\xa9" } }), "Last-Modified not printable ASCII" },
        { encode(Head { { .status = 200, .contentRange = overlongContentRange } }), "Content-Range over 128 bytes" },
        { encode(Head { { .status = 200, .contentRange = "bytes 1-2/3\x7f" } }), "Content-Range not printable ASCII" },
        { encode(Head { { .status = 200 }, longestURL + "a" }), "effective URL over 8192 bytes" },
        { encode(Head { { .status = 200 }, "http://h/\0"s }), "effective URL not printable ASCII" },
        { withoutLastByte(fields), "truncated effective URL" },
        { withTrailingByte(fields), "trailing bytes after Head" },
    };
    for (auto const& [bytes, reason] : rows)
        EXPECT_EQ(reasonOf(decodeFromReceiver(bytes)), "Malformed message: " + reason);
}

TEST(ReceiverMessages, EveryPacketFromTheRootIsChecked)
{
    auto with = [](auto change) {
        Request request = shortest;
        change(request);
        return encode(request);
    };
    std::vector<std::pair<Bytes, std::string>> const rows {
        { {}, "empty packet" },
        { encode(bare), "unknown type 72" },
        { packet("R\x05"s), "truncated URL" },
        { with([](Request& r) { r.url = ""; }), "URL not http or https" },
        { with([](Request& r) { r.url = "ftp://h/"; }), "URL not http or https" },
        { with([](Request& r) { r.url = "http://h/a b"; }), "URL not http or https" },
        { with([](Request& r) { r.url = longestURL + "a"; }), "URL over 8192 bytes" },
        { packet("R\x08\x00http://h"s), "truncated header line count" },
        { with([](Request& r) { r.headerLines.assign(5, "Range: bytes=1-"); }), "more than 4 header lines" },
        { with([](Request& r) { r.headerLines.assign(258, "Range: bytes=1-"); }), "more than 4 header lines" },
        { with([](Request& r) { r.headerLines = { "Range bytes=1-" }; }), "header line not \"Name: value\"" },
        { with([](Request& r) { r.headerLines = { ": bytes=1-" }; }), "header line not \"Name: value\"" },
        { with([](Request& r) { r.headerLines = { "Ra nge: bytes=1-" }; }), "header line not \"Name: value\"" },
        { with([](Request& r) { r.headerLines = { "If-Range: \"t\"\r\nHost: evil" }; }),
            "header line not \"Name: value\"" },
        { with([](Request& r) { r.headerLines = { longestHeaderLine + "t" }; }), "header line over 2048 bytes" },
        { with([](Request& r) { r.certificateAuthorities = "/etc/ca\0/x"s; }),
            "certificate authorities path holds a NUL byte" },
        { with([](Request& r) { r.certificateAuthorities = longestPath + "p"; }),
            "certificate authorities over 4096 bytes" },
        { with([](Request& r) { r.timeoutMilliseconds = 0; }), "timeout not above 0" },
        { with([](Request& r) { r.timeoutMilliseconds = -1; }), "timeout not above 0" },
        { withoutLastByte(encode(shortest)), "truncated timeout" },
        { withTrailingByte(encode(shortest)), "trailing bytes after Request" },
        { packet("D"), "truncated proceed" },
        { packet("D\x02"), "proceed neither 0 nor 1" },
        { withTrailingByte(encode(Decision { false })), "trailing bytes after Decision" },
    };
    for (auto const& [bytes, reason] : rows) {
        auto said = reasonOf(decodeFromRoot(bytes));
        EXPECT_TRUE(said.starts_with("Malformed message: " + reason)) << said << " / " << reason;
    }
}
