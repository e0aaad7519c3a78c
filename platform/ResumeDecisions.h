// SPDX-License-Identifier: Apache-2.0
#pragma once

// The download service's resume decisions, free of libcurl and of the disk, so that one table can hold every case.

#include "platform/HttpHeaders.h"
#include "platform/ResumeData.h"

namespace platform {

/// What a task continues from: only data of this body counts. A record names the transfer the body holds: of this URL's
/// resource it is taken (or stored data of that very transfer that got further); of another, nothing is.
[[nodiscard]] std::optional<ResumeData> continuation(std::optional<ResumeData> const& stored,
    std::optional<ResumeData> const& record, std::string_view url, std::string_view bodyFolder,
    std::string_view bodyFileName);

struct StartingPoint {
    /// Nothing asks for the whole entity.
    std::optional<std::uint64_t> rangeStart;
    /// The length the body is cut to before the request.
    std::uint64_t keptLength = 0;
    bool dropsResumedBytes = false;

    bool operator==(StartingPoint const&) const = default;
};

/// Continues at the recorded length when the body holds at least that much (a longer body is cut back); otherwise
/// starts over from byte 0.
[[nodiscard]] StartingPoint startingPoint(std::optional<ResumeData> const& resume, std::uint64_t bodySize);

/// Range, and If-Range only with a strong entity tag or a Last-Modified date.
[[nodiscard]] std::vector<std::string> rangeRequestHeaders(ResumeData const& resume, std::uint64_t rangeStart);

/// What the final response's body means for the body file.
enum class ResponseUse {
    Append,
    /// A whole entity of its own: empty the body and take it.
    Replace,
    /// The server cannot continue our bytes: ask again for the whole entity.
    StartOver,
    /// An error answer to a range says nothing about our bytes: the body and the resume data stay for a later task.
    Fail,
    /// The body already holds the whole entity.
    Complete,
};

/// A 206 is appended only when it starts exactly at `rangeStart`, names the same entity (weak comparison of tags, else
/// Last-Modified) and offers the recorded length; a 416 that names the recorded length, asked from its end, completes;
/// any other 416 or 206 starts over; another status of 400 or more fails; anything else, or any answer to no range,
/// replaces.
[[nodiscard]] ResponseUse responseUse(
    ResponseHeaders const& response, std::optional<ResumeData> const& resume, std::optional<std::uint64_t> rangeStart);

/// The most the body may hold once the final response's bytes are written, or nothing where the response sets no bound.
/// Bytes past it are the server's fault, and are never written.
[[nodiscard]] std::optional<std::uint64_t> bodyLimit(
    ResponseHeaders const& response, std::optional<ResumeData> const& resume, std::optional<std::uint64_t> rangeStart);

enum class ResumableFailure { Interrupted, ConnectionLost };

/// Only these failures make resume data, and only they are saved: a cancel (as a signal to the process cancels), and a
/// connection lost or gone quiet for too long.
[[nodiscard]] std::optional<ResumableFailure> resumableFailure(Error const& error);

enum class BodyFate { KeepForResume, Keep, Discard };

/// What becomes of a failed transfer's body: kept for the resume data made for it (its record says so), kept while it
/// still holds what the resume data the task continued from describes, else discarded (a later task would splice it).
[[nodiscard]] BodyFate failedBodyFate(bool resumeDataMade, bool continuedFromResumeData, bool resumedBytesDropped);

/// True when a transfer that ended cleanly left the body shorter than the length the final response made known: such an
/// end is a lost connection, however cleanly it came.
[[nodiscard]] bool endsShortOfEntity(ResponseHeaders const& response, std::optional<ResumeData> const& resume,
    std::optional<std::uint64_t> rangeStart, std::uint64_t bodyLength);

/// What a transfer that failed knows about its body.
struct FailedTransfer {
    std::string url;
    std::string bodyFileName;
    /// Bytes of the body that belong to the entity.
    std::uint64_t bodyLength = 0;
    std::optional<ResumeData> resume;
    std::optional<std::uint64_t> rangeStart;
    std::optional<ResponseHeaders> response;
    std::string bodyFolder {};
};

/// Nothing unless a response gave a validator (an entity tag, weak or strong, or a date) and accepted byte ranges, as
/// the platform's own service requires.
[[nodiscard]] std::optional<ResumeData> resumeDataAfterFailure(FailedTransfer const& failed);

/// The same, encoded, and only when a later task will accept it.
[[nodiscard]] std::optional<Bytes> encodedResumeDataAfterFailure(FailedTransfer const& failed);

}
