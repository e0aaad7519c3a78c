// SPDX-License-Identifier: Apache-2.0
// Resume data as stored, and every field of hostile data refused.
#include "TestSupport.h"
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
