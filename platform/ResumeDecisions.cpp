// SPDX-License-Identifier: Apache-2.0
#include "platform/ResumeDecisions.h"

#include "platform/Url.h"

namespace platform {

std::optional<ResumeData> continuation(std::optional<ResumeData> const& stored, std::optional<ResumeData> const& record,
    std::string_view url, std::string_view bodyFolder, std::string_view bodyFileName)
{
    auto ofThisBody = [&](std::optional<ResumeData> const& data) {
        return data && data->bodyFileName == bodyFileName && data->bodyFolder == bodyFolder;
    };
    // NOTE: the record is written before any byte of a response lands, so it names the transfer the body holds: stored
    // data of another transfer would splice it.
    if (ofThisBody(record)) {
        if (!sameResource(record->url, url))
            return std::nullopt;
        bool sameTransfer = ofThisBody(stored) && stored->entityTag == record->entityTag
            && stored->lastModified == record->lastModified && stored->totalLength == record->totalLength;
        return sameTransfer && stored->bytesReceived > record->bytesReceived ? stored : record;
    }
    return ofThisBody(stored) ? stored : std::nullopt;
}

StartingPoint startingPoint(std::optional<ResumeData> const& resume, std::uint64_t bodySize)
{
    if (!resume)
        return {};
    if (bodySize < resume->bytesReceived || resume->bytesReceived == 0)
        return { std::nullopt, 0, bodySize != 0 };
    return { resume->bytesReceived, resume->bytesReceived, false };
}

std::vector<std::string> rangeRequestHeaders(ResumeData const& resume, std::uint64_t rangeStart)
{
    std::vector<std::string> lines { "Range: bytes=" + std::to_string(rangeStart) + "-" };
    // With a weak tag alone the range is asked without a condition.
    if (auto validator = resume.rangeValidator(); !validator.empty())
        lines.push_back("If-Range: " + validator);
    return lines;
}

ResponseUse responseUse(
    ResponseHeaders const& response, std::optional<ResumeData> const& resume, std::optional<std::uint64_t> rangeStart)
{
    if (!rangeStart || !resume)
        return ResponseUse::Replace;
    bool sameEntity = resume->entityTag.empty()
        ? (response.lastModified.empty() || response.lastModified == resume->lastModified)
        : (response.entityTag.empty() || entityTagsMatchWeakly(response.entityTag, resume->entityTag));
    if (response.status == 206) {
        // Only a part that starts exactly where our bytes end, of the entity we have, may be appended; anything else
        // would splice two bodies.
        auto start = contentRangeStart(response.contentRange);
        auto total = contentRangeTotal(response.contentRange);
        // A weak tag may name an entity that changed length; the length we recorded must then be the one the server
        // offers now.
        bool sameLength = !resume->totalLength || !total || *total == *resume->totalLength;
        return start && *start == *rangeStart && sameEntity && sameLength ? ResponseUse::Append
                                                                          : ResponseUse::StartOver;
    }
    if (response.status == 416) {
        // NOTE: a body finished by a run whose move then failed: the server confirms that nothing lies past it, for the
        // entity we hold.
        auto length = unsatisfiedRangeLength(response.contentRange);
        bool whole = resume->totalLength && *resume->totalLength == *rangeStart && length == resume->totalLength;
        return whole && sameEntity ? ResponseUse::Complete : ResponseUse::StartOver;
    }
    // NOTE: a busy or missing server is no new entity; taking its page for one would lose every byte received so far.
    if (response.status >= 400)
        return ResponseUse::Fail;
    return ResponseUse::Replace;
}

std::optional<std::uint64_t> bodyLimit(
    ResponseHeaders const& response, std::optional<ResumeData> const& resume, std::optional<std::uint64_t> rangeStart)
{
    auto use = responseUse(response, resume, rangeStart);
    if (use == ResponseUse::Replace)
        return response.contentLength;
    // Nothing of any other answer but a part is taken (only a range request gets these): the body stays as it was kept.
    if (use != ResponseUse::Append)
        return rangeStart;
    // NOTE: an appended part starts at rangeStart (responseUse checked it), so rangeStart + (last - first + 1) is one
    // past its last byte; a total in the Content-Range is above that last byte, and equals the recorded length, which
    // bounds a part whose total is "*".
    auto last = contentRangeLast(response.contentRange);
    std::optional<std::uint64_t> limit;
    if (last && *last < UINT64_MAX)
        limit = *last + 1;
    if (resume->totalLength && (!limit || *resume->totalLength < *limit))
        limit = resume->totalLength;
    return limit;
}

std::optional<ResumableFailure> resumableFailure(Error const& error)
{
    if (error.is(ErrorDomain::URL, URLErrorCode::Cancelled))
        return ResumableFailure::Interrupted;
    if (error.is(ErrorDomain::URL, URLErrorCode::NetworkConnectionLost)
        || error.is(ErrorDomain::URL, URLErrorCode::TimedOut))
        return ResumableFailure::ConnectionLost;
    return std::nullopt;
}

BodyFate failedBodyFate(bool resumeDataMade, bool continuedFromResumeData, bool resumedBytesDropped)
{
    if (resumeDataMade)
        return BodyFate::KeepForResume;
    return continuedFromResumeData && !resumedBytesDropped ? BodyFate::Keep : BodyFate::Discard;
}

bool endsShortOfEntity(ResponseHeaders const& response, std::optional<ResumeData> const& resume,
    std::optional<std::uint64_t> rangeStart, std::uint64_t bodyLength)
{
    auto known = response.contentLength;
    if (responseUse(response, resume, rangeStart) == ResponseUse::Append) {
        // A server may answer less of the range than was asked; the entity's length still says where the body must end.
        known = contentRangeTotal(response.contentRange).or_else([&] { return resume->totalLength; });
        if (!known && response.contentLength && *response.contentLength <= UINT64_MAX - *rangeStart)
            known = *rangeStart + *response.contentLength;
    }
    return known && bodyLength < *known;
}

std::optional<ResumeData> resumeDataAfterFailure(FailedTransfer const& failed)
{
    ResumeData data { .url = failed.url,
        .bodyFileName = failed.bodyFileName,
        .bytesReceived = failed.bodyLength,
        .bodyFolder = failed.bodyFolder };
    auto const& response = failed.response;
    auto const& resume = failed.resume;
    if (!response) {
        // No response yet: the body is still what the given resume data says.
        if (!failed.rangeStart || !resume)
            return std::nullopt;
        data.entityTag = resume->entityTag;
        data.lastModified = resume->lastModified;
        data.totalLength = resume->totalLength;
    } else if (response->status == 206 && failed.rangeStart && resume) {
        // A part that we appended: the validators we sent still name it.
        data.entityTag = resume->entityTag;
        data.lastModified = response->lastModified.empty() || !isHeaderSafe(response->lastModified)
            ? resume->lastModified
            : response->lastModified;
        data.totalLength = resume->totalLength ? resume->totalLength : contentRangeTotal(response->contentRange);
    } else {
        if (response->status != 200 || !response->acceptsByteRanges)
            return std::nullopt;
        // NOTE: a weak tag is kept too, as the platform's own service does; it is never sent in If-Range, and the
        // recorded length and the SHA-256 catch an entity it failed to tell apart.
        if (isEntityTag(response->entityTag))
            data.entityTag = response->entityTag;
        if (isHeaderSafe(response->lastModified))
            data.lastModified = response->lastModified;
        data.totalLength = response->contentLength;
    }
    if (data.entityTag.empty() && data.lastModified.empty())
        return std::nullopt;
    if (data.totalLength && *data.totalLength < data.bytesReceived)
        return std::nullopt;
    return data;
}

std::optional<Bytes> encodedResumeDataAfterFailure(FailedTransfer const& failed)
{
    // Only what the next run will accept: an oversized validator would turn into "Error in resume data..." there.
    auto data = resumeDataAfterFailure(failed);
    auto encoded = data ? encodeResumeData(*data) : std::unexpected(Error {});
    if (!encoded || !decodeResumeData(*encoded))
        return std::nullopt;
    return *encoded;
}

}
