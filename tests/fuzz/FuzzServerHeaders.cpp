// SPDX-License-Identifier: Apache-2.0
// A server's header is hostile: through the receiver's reading of it, the Head the root process gets, and every
// resume decision it drives, some things must hold whatever it says. A body is appended only for a 206 that starts
// exactly at the offset asked, of the entity held; the body never runs past the entity; nothing a response says
// puts a control byte into a request header; every value that crosses to the root process is bounded.
//
// Input: a response's header as it comes over the wire ("HTTP/1.1 206 ...", fields, lines folded with a leading
// space or tab; a later status line starts the next response of a redirect chain, as libcurl's last request), a
// blank line, then what the earlier task left, as fields: Range-Start, Resume-ETag, Resume-Last-Modified,
// Resume-Total, and Received (the body's length when the transfer failed).
#include "FuzzChecks.h"
#include "platform/HttpHeaders.h"
#include "platform/ResumeData.h"
#include "platform/ResumeDecisions.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace platform;
using fuzz::printableWithin;
using fuzz::require;

constexpr std::string_view url = "https://example.org/pkg.bin";

std::string_view trimmed(std::string_view text)
{
    auto first = text.find_first_not_of(" \t");
    return first == std::string_view::npos ? "" : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<std::uint64_t> number(std::string_view text)
{
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

struct Field {
    std::string name;
    std::string value;
};

/// What libcurl would hold of the last response: its status and its fields, folded lines joined with a space.
struct Wire {
    long status = 0;
    std::vector<Field> fields;
};

/// Reads the lines of `text` up to the first blank one, without their line endings; `text` keeps what follows it.
Wire readWire(std::string_view& text)
{
    Wire wire;
    while (!text.empty()) {
        auto newline = text.find('\n');
        auto line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (line.empty())
            break;
        if (line.starts_with("HTTP/")) {
            // libcurl reads a status line's code as three digits.
            auto space = line.find(' ');
            auto code = space == std::string_view::npos ? std::nullopt : number(line.substr(space + 1, 3));
            wire = Wire { code && *code >= 100 && *code <= 999 ? static_cast<long>(*code) : 0, {} };
        } else if ((line.front() == ' ' || line.front() == '\t') && !wire.fields.empty()) {
            wire.fields.back().value += ' ';
            wire.fields.back().value += trimmed(line);
        } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
            wire.fields.push_back({ std::string(line.substr(0, colon)), std::string(trimmed(line.substr(colon + 1))) });
        }
    }
    return wire;
}

std::optional<std::string_view> valueOf(std::vector<Field> const& fields, std::string_view name)
{
    std::optional<std::string_view> found;
    for (auto const& field : fields) {
        if (field.name == name)
            found = field.value;
    }
    return found;
}

std::string_view opaque(std::string_view tag)
{
    return tag.starts_with("W/") ? tag.substr(2) : tag;
}

/// An appended part starts at the offset asked, of the entity held: read from the Content-Range text by hand.
void checkAppended(ResponseHeaders const& response, ResumeData const& resume, std::uint64_t rangeStart)
{
    require(response.status == 206);
    std::string range(trimmed(response.contentRange));
    for (auto& c : range)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    require(range.starts_with("bytes "));
    std::string_view rest = std::string_view(range).substr(6);
    auto dash = rest.find('-'), slash = rest.find('/');
    require(dash != std::string_view::npos && slash != std::string_view::npos);
    require(number(rest.substr(0, dash)) == rangeStart);
    auto total = rest.substr(slash + 1);
    if (resume.totalLength && total != "*")
        require(number(total) == resume.totalLength);
    if (!resume.entityTag.empty() && !response.entityTag.empty())
        require(opaque(response.entityTag) == opaque(resume.entityTag));
    if (resume.entityTag.empty() && !response.lastModified.empty())
        require(response.lastModified == resume.lastModified);
}

/// Lines the root process would send are ones the receiver takes, and carry no byte that ends or splits a header.
void checkRequestLines(std::vector<std::string> const& lines)
{
    receiver::Request request { std::string(url), lines, "", 1000 };
    fuzz::checkRequest(request);
    auto decoded = receiver::decodeFromRoot(receiver::encode(request));
    require(decoded && std::get<receiver::Request>(*decoded) == request);
}

void checkDecisions(ResponseHeaders const& response, std::optional<ResumeData> const& resume,
    std::optional<std::uint64_t> rangeStart, std::uint64_t received)
{
    auto use = responseUse(response, resume, rangeStart);
    auto limit = bodyLimit(response, resume, rangeStart);
    switch (use) {
    case ResponseUse::Append: {
        require(resume && rangeStart);
        checkAppended(response, *resume, *rangeStart);
        // At least a byte past the offset, never past the entity.
        require(limit && *limit > *rangeStart);
        require(!resume->totalLength || *limit <= *resume->totalLength);
        if (auto total = contentRangeTotal(response.contentRange))
            require(*limit <= *total);
        break;
    }
    case ResponseUse::Replace:
        require(limit == response.contentLength);
        if (limit)
            require(!endsShortOfEntity(response, resume, rangeStart, *limit));
        break;
    case ResponseUse::Complete:
        require(response.status == 416 && resume && rangeStart && resume->totalLength == rangeStart);
        require(limit == rangeStart);
        break;
    case ResponseUse::StartOver:
    case ResponseUse::Fail:
        require(resume && rangeStart && (response.status == 206 || response.status >= 400));
        require(limit == rangeStart);
        break;
    }

    FailedTransfer failed { std::string(url), "body-1", received, resume, rangeStart, response, "" };
    auto data = resumeDataAfterFailure(failed);
    if (!data)
        return;
    require(!data->entityTag.empty() || !data->lastModified.empty());
    require(printableWithin(data->entityTag, maximumValidatorLength));
    require(printableWithin(data->lastModified, maximumValidatorLength));
    require(!data->totalLength || *data->totalLength >= data->bytesReceived);
    auto encoded = encodedResumeDataAfterFailure(failed);
    if (!encoded)
        return;
    auto next = decodeResumeData(*encoded);
    require(next.has_value());
    if (next)
        checkRequestLines(rangeRequestHeaders(*next, next->bytesReceived));
}

/// The earlier task's resume data from the fields after the blank line, only when a run would accept it.
std::optional<ResumeData> earlierResume(std::vector<Field> const& fields)
{
    ResumeData resume;
    resume.url = url;
    resume.bodyFileName = "body-1";
    resume.entityTag = valueOf(fields, "Resume-ETag").value_or("");
    resume.lastModified = valueOf(fields, "Resume-Last-Modified").value_or("");
    if (auto total = valueOf(fields, "Resume-Total"))
        resume.totalLength = number(*total);
    auto start = valueOf(fields, "Range-Start");
    resume.bytesReceived = start ? number(*start).value_or(0) : 0;
    auto encoded = encodeResumeData(resume);
    if (!encoded)
        return std::nullopt;
    auto decoded = decodeResumeData(*encoded);
    return decoded ? std::optional(*decoded) : std::nullopt;
}

}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<char const*>(data), size);
    auto wire = readWire(text);
    auto earlier = readWire(text).fields;
    if (wire.status == 0)
        return 0; // No status line: libcurl fails the transfer, and no Head is sent.

    std::vector<HeaderField> fields;
    for (auto const& field : wire.fields)
        fields.push_back({ field.name, field.value });
    // What crosses to the root process: always decodes, every string bounded and printable.
    auto head = receiver::headFor(responseHeaders(wire.status, fields), std::string(url));
    fuzz::checkHead(head);
    auto decoded = receiver::decodeFromReceiver(receiver::encode(head));
    require(decoded && std::holds_alternative<receiver::Head>(*decoded) && std::get<receiver::Head>(*decoded) == head);
    auto const& response = head.headers;

    auto resume = earlierResume(earlier);
    auto received = valueOf(earlier, "Received");
    std::uint64_t bodyLength = received ? number(*received).value_or(0) : 0;
    if (resume)
        checkRequestLines(rangeRequestHeaders(*resume, resume->bytesReceived));
    checkDecisions(response, std::nullopt, std::nullopt, bodyLength);
    if (!resume)
        return 0;
    // The offset asked, and one either side of it: a part off by a byte must never be appended.
    std::uint64_t start = resume->bytesReceived;
    for (std::uint64_t asked : { start - 1, start, start + 1 }) {
        if (asked != UINT64_MAX)
            checkDecisions(response, resume, asked, bodyLength);
    }
    return 0;
}
