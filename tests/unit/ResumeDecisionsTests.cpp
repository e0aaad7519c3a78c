#include "TestSupport.h"
#include "platform/ResumeDecisions.h"

using platform::ResponseUse;
using platform::ResumeData;

namespace {

ResumeData resume(std::string tag = "\"t\"", std::string date = "Tue, 05 Mar 2024 10:00:00 GMT", std::optional<std::uint64_t> total = 200)
{
    return { "http://h/p", "body-x", 100, std::move(tag), std::move(date), total };
}

platform::ResponseHeaders response(long status, std::string contentRange = {}, std::string tag = "\"t\"", bool ranges = true,
    std::optional<std::uint64_t> length = std::nullopt)
{
    platform::ResponseHeaders headers;
    headers.status = status;
    headers.contentRange = std::move(contentRange);
    headers.entityTag = std::move(tag);
    headers.lastModified = "Tue, 05 Mar 2024 10:00:00 GMT";
    headers.acceptsByteRanges = ranges;
    headers.contentLength = length;
    return headers;
}

}

TEST(ResumeDecisions, EveryRow)
{
    // Where a task begins: continue at the recorded length, else from byte 0.
    struct Start {
        std::optional<ResumeData> given;
        std::uint64_t bodySize;
        platform::StartingPoint expected;
    };
    auto noBytes = resume();
    noBytes.bytesReceived = 0;
    for (auto const& row : std::vector<Start> {
             { std::nullopt, 5, { std::nullopt, 0, false } },
             { resume(), 100, { 100, 100, false } },
             { resume(), 150, { 100, 100, false } },
             { resume(), 50, { std::nullopt, 0, true } },
             { resume(), 0, { std::nullopt, 0, false } },
             { noBytes, 10, { std::nullopt, 0, true } },
         })
        EXPECT_EQ(platform::startingPoint(row.given, row.bodySize), row.expected) << row.bodySize;

    // If-Range only with a strong tag or a date, never a weak tag.
    using Lines = std::vector<std::string>;
    EXPECT_EQ(platform::rangeRequestHeaders(resume(), 100), (Lines { "Range: bytes=100-", "If-Range: \"t\"" }));
    EXPECT_EQ(platform::rangeRequestHeaders(resume("W/\"t\""), 100), (Lines { "Range: bytes=100-", "If-Range: Tue, 05 Mar 2024 10:00:00 GMT" }));
    EXPECT_EQ(platform::rangeRequestHeaders(resume("W/\"t\"", ""), 7), (Lines { "Range: bytes=7-" }));

    // What a response means for a body resumed at 100.
    struct Use {
        char const* name;
        platform::ResponseHeaders headers;
        ResumeData given;
        ResponseUse expected;
    };
    for (auto const& row : std::vector<Use> {
             { "continues", response(206, "bytes 100-199/200"), resume(), ResponseUse::Append },
             { "total unknown", response(206, "bytes 100-199/*"), resume(), ResponseUse::Append },
             { "weak and strong alike", response(206, "bytes 100-199/200", "W/\"t\""), resume(), ResponseUse::Append },
             { "tag absent, date kept", response(206, "bytes 100-199/200", ""), resume(""), ResponseUse::Append },
             { "starts early", response(206, "bytes 99-199/200"), resume(), ResponseUse::StartOver },
             { "other tag", response(206, "bytes 100-199/200", "\"u\""), resume(), ResponseUse::StartOver },
             { "other length", response(206, "bytes 100-299/300", "W/\"t\""), resume("W/\"t\""), ResponseUse::StartOver },
             { "no Content-Range", response(206), resume(), ResponseUse::StartOver },
             { "not satisfiable", response(416), resume(), ResponseUse::StartOver },
             { "whole entity", response(200), resume(), ResponseUse::Replace },
         })
        EXPECT_EQ(platform::responseUse(row.headers, row.given, 100), row.expected) << row.name;
    EXPECT_EQ(platform::responseUse(response(206, "bytes 100-199/200"), resume(), std::nullopt), ResponseUse::Replace);

    // The resume data a failure leaves: only with a validator and byte ranges.
    struct Failure {
        char const* name;
        std::optional<platform::ResponseHeaders> headers;
        std::optional<std::uint64_t> rangeStart;
        std::optional<ResumeData> expected;
    };
    auto kept = [](std::string tag, std::optional<std::uint64_t> total) {
        auto data = resume(std::move(tag), "Tue, 05 Mar 2024 10:00:00 GMT", total);
        data.bytesReceived = 150;
        return data;
    };
    for (auto const& row : std::vector<Failure> {
             { "before any response", std::nullopt, 100, kept("\"t\"", 200) },
             { "fresh, before any response", std::nullopt, std::nullopt, std::nullopt },
             { "appended part", response(206, "bytes 100-199/200"), 100, kept("\"t\"", 200) },
             { "whole entity, strong", response(200, {}, "\"n\"", true, 300), std::nullopt, kept("\"n\"", 300) },
             { "whole entity, weak", response(200, {}, "W/\"n\"", true, 300), std::nullopt, kept("W/\"n\"", 300) },
             { "no byte ranges", response(200, {}, "\"n\"", false), std::nullopt, std::nullopt },
             { "shorter than received", response(200, {}, "\"n\"", true, 120), std::nullopt, std::nullopt },
             { "error page", response(500), std::nullopt, std::nullopt },
         }) {
        auto data = platform::resumeDataAfterFailure({ "http://h/p", "body-x", 150, resume(), row.rangeStart, row.headers });
        EXPECT_EQ(data, row.expected) << row.name;
    }
    auto bare = response(200, {}, "", true);
    bare.lastModified.clear();
    EXPECT_EQ(platform::resumeDataAfterFailure({ "http://h/p", "body-x", 150, std::nullopt, std::nullopt, bare }), std::nullopt);
}
