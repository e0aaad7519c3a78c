// SPDX-License-Identifier: Apache-2.0
#pragma once

// The body of a download, from its folder to its fate, and the transfer's one face of it. Body owns the locked file,
// its progress record and what goes when the process ends. The record, "<body>.progress" beside the file, is resume
// data for the body as it stands, replaced every few seconds while it grows, so that a kill or a power loss does not
// cost the bytes on disk; it begins with "body-", so the sweep of stale bodies takes it too.

#include "platform/BodyFile.h"
#include "platform/Process.h"
#include "platform/ResumeDecisions.h"
#include "platform/Url.h"

namespace platform {

inline constexpr std::chrono::seconds progressRecordInterval { 3 };

class Body {
public:
    /// Opens the body of a task for the HTTP or HTTPS `url` in `folder`, which outlives it and goes, when empty, with
    /// the process or the body: the destination's body (one of its own while a live run holds that), locked. It
    /// continues from what `continuation` takes of `stored` and the record beside it. The error is the task's own.
    [[nodiscard]] static std::expected<Body, Error> open(
        ChosenBodyFolder const& folder, std::string const& url, std::optional<ResumeData> const& stored);

    std::optional<ResumeData> const& continuesFrom() const { return m_continuesFrom; }
    std::string const& folderPath() const { return m_folder->folder.path(); }
    std::string const& name() const { return m_file.name(); }

    /// Where the transfer begins (see startingPoint), the body cut to the bytes it keeps.
    [[nodiscard]] std::expected<StartingPoint, Error> start();
    /// Empties the body for a whole entity: the bytes it continued with are dropped.
    [[nodiscard]] std::expected<void, Error> startOver();
    [[nodiscard]] std::expected<std::size_t, Error> appendFrom(int pipe, std::size_t count)
    {
        return m_file.appendFrom(pipe, count);
    }
    [[nodiscard]] std::expected<void, Error> flush() const { return m_file.flush(); }
    std::uint64_t length() const { return m_file.length(); }

    /// Replaces the progress record with `data`, or removes it for none; false when no record stays. Not synced: a torn
    /// record reads as none, and a body left shorter than its record starts again from byte 0.
    bool recordProgress(std::optional<Bytes> const& data);
    /// The transfer failed with `error`: the body stays, or goes with its record, as failedBodyFate says. The error,
    /// with `resumeData` only for a failure that resumableFailure names.
    [[nodiscard]] Error fail(Error error, std::optional<Bytes> resumeData);
    /// The digest goes to verification; the record (`complete` when it can tell that the body is whole) stays until
    /// the body is placed. The body and its record go with the process or the Body, unless the body is still here and
    /// a later run finds it where it lies. The body's location, for the completion handler.
    URL handOver(std::optional<Bytes> const& complete);

private:
    Body(ChosenBodyFolder const& folder, BodyFile file, ExitTidy folderTidy);

    ChosenBodyFolder const* m_folder;
    BodyFile m_file;
    std::string m_recordName;
    std::optional<ResumeData> m_continuesFrom;
    bool m_resumedBytesDropped = false; // The body no longer holds what it continued from.
    // Last, so that they run while the body is still open and locked; the body's own before its folder's.
    ExitTidy m_folderTidy;
    std::optional<ExitTidy> m_handedOverTidy;
};

}
