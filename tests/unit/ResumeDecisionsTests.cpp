// SPDX-License-Identifier: Apache-2.0
// Every resume decision as a table: what a task continues from, where it begins, the range it asks for, what a
// response means for the body, when a clean end is short, and the resume data a failure leaves.
#include "TestSupport.h"
#include "platform/ResumeDecisions.h"
#include "platform/Url.h"

using platform::ResponseUse;
using platform::ResumeData;

namespace {

std::string const date = "Tue, 05 Mar 2024 10:00:00 GMT";

ResumeData resume(std::string tag = "\"t\"", std::string lastModified = date, std::optional<std::uint64_t> total = 200,
    std::uint64_t received = 100)
{
    return { "http://h/p", "body-x", received, std::move(tag), std::move(lastModified), total };
}

platform::ResponseHeaders response(long status, std::string contentRange = {}, std::string tag = "\"t\"",
    std::optional<std::uint64_t> length = std::nullopt, bool ranges = true, std::string lastModified = date)
{
    return { status, false, ranges, std::move(tag), std::move(lastModified), std::move(contentRange), length };
}

}

TEST(ResumeDecisions, EveryRow)
{
    // Resume data continues its own resource, in the form a task sends: a re-signed link of it too, nothing else.
    for (auto const& [name, stored, url, expected] :
        std::vector<std::tuple<char const*, char const*, char const*, bool>> {
            { "the same URL", "http://h/p", "http://h/p", true },
            { "another query", "http://h/p?sig=1&exp=5", "http://h/p?sig=2", true },
            { "a query and a fragment dropped", "http://h/p?sig=1#top", "http://h/p", true },
            { "the host in another case", "http://H/p", "http://h/p", true },
            { "the default port written", "http://h:80/p", "http://h/p", true },
            { "dot segments, removed as sent", "http://h/a/../p", "http://h/p", true },
            { "another scheme", "https://h/p", "http://h/p", false },
            { "another host", "http://mirror/p?sig=1", "http://h/p?sig=1", false },
            { "another port", "http://h:81/p", "http://h/p", false },
            { "another path", "http://h/q?sig=1", "http://h/p?sig=1", false },
            { "the path in another case", "http://h/P", "http://h/p", false },
            { "the path encoded otherwise", "http://h/%70", "http://h/p", false },
            { "another user", "http://u@h/p", "http://h/p", false },
        }) {
        EXPECT_EQ(platform::sameResource(stored, url), expected) << name;
    }

    // What a task continues from: only data of this body and folder. Its record names the transfer the body holds:
    // of this resource it is taken, over stored data of another transfer; of another, the body starts over.
    auto recorded = [](std::uint64_t received, std::string url = "http://h/p", std::string tag = "\"t\"",
                        std::optional<std::uint64_t> total = 200, std::string body = "body-x") {
        return ResumeData { std::move(url), std::move(body), received, std::move(tag), date, total, "/f" };
    };
    using Continued = std::optional<ResumeData>;
    Continued const none;
    for (auto const& [name, stored, record, folder, expected] :
        std::vector<std::tuple<char const*, Continued, Continued, char const*, Continued>> {
            { "fresh, no record", none, none, "/f", none },
            { "fresh, this URL's record", none, recorded(150), "/f", recorded(150) },
            { "fresh, a re-signed URL's record", none, recorded(150, "http://h/p?v=2"), "/f",
                recorded(150, "http://h/p?v=2") },
            { "fresh, another URL's record", none, recorded(150, "http://h/q"), "/f", none },
            { "fresh, another body's record", none, recorded(150, "http://h/p", "\"t\"", 200, "body-y"), "/f", none },
            { "fresh, a record naming another folder", none, recorded(150), "/g", none },
            { "stored, no record", recorded(100), none, "/f", recorded(100) },
            { "stored of another body, no record", recorded(100, "http://h/p", "\"t\"", 200, "body-y"), none, "/f",
                none },
            { "stored of another folder, no record", recorded(100), none, "/g", none },
            { "stored, another body's record", recorded(100), recorded(150, "http://h/p", "\"t\"", 200, "body-y"), "/f",
                recorded(100) },
            { "stored, a record further on", recorded(100), recorded(150), "/f", recorded(150) },
            { "stored, a record no further", recorded(100), recorded(100), "/f", recorded(100) },
            { "stored, a record behind", recorded(150), recorded(100), "/f", recorded(150) },
            { "stored, a record of another tag", recorded(100), recorded(150, "http://h/p", "\"u\""), "/f",
                recorded(150, "http://h/p", "\"u\"") },
            { "stored, a record of another length behind", recorded(100), recorded(50, "http://h/p", "\"t\"", 300),
                "/f", recorded(50, "http://h/p", "\"t\"", 300) },
            { "stored, a record of another URL", recorded(100), recorded(150, "http://h/q"), "/f", none },
            { "stored, a re-signed record further on", recorded(100, "http://h/p?v=1"), recorded(150, "http://h/p?v=2"),
                "/f", recorded(150, "http://h/p?v=2") },
        })
        EXPECT_EQ(platform::continuation(stored, record, "http://h/p", folder, "body-x"), expected) << name;

    // Where a task begins: continue at the recorded length, else from byte 0.
    for (auto const& [name, given, bodySize, expected] :
        std::vector<std::tuple<char const*, Continued, std::uint64_t, platform::StartingPoint>> {
            { "fresh", none, 5, { std::nullopt, 0, false } },
            { "the body as recorded", resume(), 100, { 100, 100, false } },
            { "the body longer, cut back", resume(), 150, { 100, 100, false } },
            { "the body shorter, dropped", resume(), 50, { std::nullopt, 0, true } },
            { "the body gone", resume(), 0, { std::nullopt, 0, false } },
            { "nothing recorded, the body dropped", resume("\"t\"", "", 200, 0), 10, { std::nullopt, 0, true } },
        })
        EXPECT_EQ(platform::startingPoint(given, bodySize), expected) << name;

    // If-Range only with a strong tag or a date, never a weak tag.
    using Lines = std::vector<std::string>;
    EXPECT_EQ(platform::rangeRequestHeaders(resume(), 100), (Lines { "Range: bytes=100-", "If-Range: \"t\"" }));
    EXPECT_EQ(
        platform::rangeRequestHeaders(resume("W/\"t\""), 100), (Lines { "Range: bytes=100-", "If-Range: " + date }));
    EXPECT_EQ(platform::rangeRequestHeaders(resume("W/\"t\"", ""), 7), (Lines { "Range: bytes=7-" }));

    // What a response means for a body resumed at 100.
    for (auto const& [name, headers, given, expected] :
        std::vector<std::tuple<char const*, platform::ResponseHeaders, ResumeData, ResponseUse>> {
            { "continues", response(206, "bytes 100-199/200"), resume(), ResponseUse::Append },
            { "total unknown", response(206, "bytes 100-199/*"), resume(), ResponseUse::Append },
            { "weak and strong alike", response(206, "bytes 100-199/200", "W/\"t\""), resume(), ResponseUse::Append },
            { "tag absent, date kept", response(206, "bytes 100-199/200", ""), resume(""), ResponseUse::Append },
            { "starts early", response(206, "bytes 99-199/200"), resume(), ResponseUse::StartOver },
            { "other tag", response(206, "bytes 100-199/200", "\"u\""), resume(), ResponseUse::StartOver },
            { "other length", response(206, "bytes 100-299/300", "W/\"t\""), resume("W/\"t\""),
                ResponseUse::StartOver },
            { "no Content-Range", response(206), resume(), ResponseUse::StartOver },
            { "not satisfiable", response(416), resume(), ResponseUse::StartOver },
            { "busy", response(503, {}, ""), resume(), ResponseUse::Fail },
            { "whole entity", response(200), resume(), ResponseUse::Replace },
        })
        EXPECT_EQ(platform::responseUse(headers, given, 100), expected) << name;
    EXPECT_EQ(platform::responseUse(response(206, "bytes 100-199/200"), resume(), std::nullopt), ResponseUse::Replace);
    EXPECT_EQ(platform::responseUse(response(503, {}, ""), std::nullopt, std::nullopt), ResponseUse::Replace);
    // A body that holds the whole entity (its move failed) is confirmed by a 416 for exactly its length.
    auto const whole = resume("\"t\"", date, 200, 200);
    for (auto const& [name, headers, rangeStart, expected] :
        std::vector<std::tuple<char const*, platform::ResponseHeaders, std::uint64_t, ResponseUse>> {
            { "nothing past the body", response(416, "bytes */200"), 200, ResponseUse::Complete },
            { "another length", response(416, "bytes */300"), 200, ResponseUse::StartOver },
            { "another entity", response(416, "bytes */200", "\"u\""), 200, ResponseUse::StartOver },
            { "no length said", response(416), 200, ResponseUse::StartOver },
            { "asked short of the end", response(416, "bytes */200"), 100, ResponseUse::StartOver },
        })
        EXPECT_EQ(platform::responseUse(headers, whole, rangeStart), expected) << name;

    // The most the body may hold for the final response: a part appended at 100 ends one past the last byte its
    // Content-Range names and never past the entity's recorded length; a whole entity ends at its Content-Length.
    using Limit = std::optional<std::uint64_t>;
    auto const total300 = resume("\"t\"", date, 300);
    auto const untold = resume("\"t\"", date, std::nullopt);
    auto chunked = response(200, {}, "\"n\"");
    chunked.hasTransferEncoding = true;
    for (auto const& [name, headers, given, rangeStart, expected] :
        std::vector<std::tuple<char const*, platform::ResponseHeaders, ResumeData, Limit, Limit>> {
            { "part to the total", response(206, "bytes 100-199/200"), resume(), 100, 200 },
            { "part short of the total", response(206, "bytes 100-149/200"), resume(), 100, 150 },
            { "part longer than its Content-Length says", response(206, "bytes 100-149/200", "\"t\"", 500), resume(),
                100, 150 },
            { "part without a total, the recorded length", response(206, "bytes 100-299/*"), resume(), 100, 200 },
            { "part without a total, short of the recorded length", response(206, "bytes 100-149/*"), resume(), 100,
                150 },
            { "part without a total, no length recorded", response(206, "bytes 100-299/*"), untold, 100, 300 },
            { "part to the last offset", response(206, "bytes 100-18446744073709551615/*"), untold, 100, std::nullopt },
            { "part to the last offset, the recorded length", response(206, "bytes 100-18446744073709551615/*"),
                total300, 100, 300 },
            { "whole entity, its Content-Length", response(200, {}, "\"n\"", 300), resume(), std::nullopt, 300 },
            { "whole entity for a range, its Content-Length", response(200, {}, "\"n\"", 120), resume(), 100, 120 },
            { "whole entity without a length", response(200), resume(), std::nullopt, std::nullopt },
            { "whole entity chunked", chunked, resume(), std::nullopt, std::nullopt },
            { "part that starts over, nothing taken", response(206, "bytes 99-199/200"), resume(), 100, 100 },
            { "error answer, nothing taken", response(503, {}, "", 10), resume(), 100, 100 },
        })
        EXPECT_EQ(platform::bodyLimit(headers, given, rangeStart), expected) << name;

    // Which failures leave their body for a later task to continue, and why: domain and code together.
    using platform::ResumableFailure;
    auto failure = [](std::string_view domain, long code) { return platform::Error { std::string(domain), code, {} }; };
    for (auto const& [name, error, expected] :
        std::vector<std::tuple<char const*, platform::Error, std::optional<ResumableFailure>>> {
            { "cancelled", failure(platform::ErrorDomain::URL, -999), ResumableFailure::Interrupted },
            { "connection lost", failure(platform::ErrorDomain::URL, -1005), ResumableFailure::ConnectionLost },
            { "timed out", failure(platform::ErrorDomain::URL, -1001), ResumableFailure::ConnectionLost },
            { "bad server response", failure(platform::ErrorDomain::URL, -1011), std::nullopt },
            { "cannot write the body", failure(platform::ErrorDomain::URL, -3003), std::nullopt },
            { "a lost connection's code in another domain", failure(platform::ErrorDomain::POSIX, -1005),
                std::nullopt },
        })
        EXPECT_EQ(platform::resumableFailure(error), expected) << name;

    // What becomes of a failed transfer's body: it stays for resume data made now, else for what it continued
    // from while it still holds those bytes, else it goes.
    using platform::BodyFate;
    for (auto const& [name, made, continued, dropped, expected] :
        std::vector<std::tuple<char const*, bool, bool, bool, BodyFate>> {
            { "resume data made", true, false, false, BodyFate::KeepForResume },
            { "resume data made over dropped bytes", true, true, true, BodyFate::KeepForResume },
            { "continued, none made", false, true, false, BodyFate::Keep },
            { "continued, its bytes dropped", false, true, true, BodyFate::Discard },
            { "fresh, none made", false, false, false, BodyFate::Discard },
        })
        EXPECT_EQ(platform::failedBodyFate(made, continued, dropped), expected) << name;

    // A clean end short of the length the responses made known.
    using Start = std::optional<std::uint64_t>;
    for (auto const& [name, headers, given, rangeStart, bodyLength, expected] :
        std::vector<std::tuple<char const*, platform::ResponseHeaders, ResumeData, Start, std::uint64_t, bool>> {
            { "part to the total", response(206, "bytes 100-199/200", "\"t\"", 100), resume(), 100, 200, false },
            { "part short of the total", response(206, "bytes 100-149/200", "\"t\"", 50), resume(), 100, 150, true },
            { "part without a total, the recorded length", response(206, "bytes 100-199/*"), resume(), 100, 150, true },
            { "part with its length alone", response(206, "bytes 100-199/*", "\"t\"", 100), untold, 100, 150, true },
            { "part with no length at all", response(206, "bytes 100-199/*"), untold, 100, 150, false },
            { "part reaching the last offset", response(206, "bytes 100-199/*", "\"t\"", UINT64_MAX - 100), untold, 100,
                150, true },
            { "part past the last offset", response(206, "bytes 100-199/*", "\"t\"", UINT64_MAX - 99), untold, 100, 150,
                false },
            { "whole entity short", response(200, {}, "\"n\"", 300), resume(), std::nullopt, 250, true },
            { "whole entity without a length", response(200), resume(), std::nullopt, 5, false },
            { "a new entity in place of ours", response(200, {}, "\"n\"", 120), resume(), 100, 120, false },
        })
        EXPECT_EQ(platform::endsShortOfEntity(headers, given, rangeStart, bodyLength), expected) << name;

    // The resume data a failure leaves: only with a validator and byte ranges.
    auto const at150 = resume("\"t\"", date, 200, 150);
    using Headers = std::optional<platform::ResponseHeaders>;
    for (auto const& [name, headers, rangeStart, expected] :
        std::vector<std::tuple<char const*, Headers, Start, Continued>> {
            { "before any response", std::nullopt, 100, at150 },
            { "fresh, before any response", std::nullopt, std::nullopt, none },
            { "appended part", response(206, "bytes 100-199/200"), 100, at150 },
            { "whole entity, strong", response(200, {}, "\"n\"", 300), std::nullopt, resume("\"n\"", date, 300, 150) },
            { "whole entity, weak", response(200, {}, "W/\"n\"", 300), std::nullopt,
                resume("W/\"n\"", date, 300, 150) },
            { "no byte ranges", response(200, {}, "\"n\"", std::nullopt, false), std::nullopt, none },
            { "shorter than received", response(200, {}, "\"n\"", 120), std::nullopt, none },
            { "no validator", response(200, {}, "", std::nullopt, true, ""), std::nullopt, none },
            { "error page", response(500), std::nullopt, none },
        })
        EXPECT_EQ(
            platform::resumeDataAfterFailure({ "http://h/p", "body-x", 150, resume(), rangeStart, headers }), expected)
            << name;
}
