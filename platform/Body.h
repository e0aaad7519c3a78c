// SPDX-License-Identifier: Apache-2.0
#pragma once

// The body of a download, from its folder to its fate:
//
//   body folder   BodyFolder: where chooseBodyFolder (BodyFolderChoice) says,
//                 beside the destination; opened, checked and held before the
//                 process confines itself, and removed at exit when empty.
//   locked file   BodyFile: a regular file of ours, one writer at a time,
//                 written through the HashingWriter, which hashes it as it lands.
//   record        BodyProgressRecord: beside the file, what a later task needs
//                 to continue it, replaced every few seconds while it grows.
//   fate          handOver (finished: to the completion handler, and placed by
//                 it, or left waiting where a later run finds it should the
//                 move fail), keepForResume, or discard; bodyFate
//                 (ResumeDecisions) says which, for a failed transfer.
//
// Body owns the file, the record and the fate; the rule that the record goes
// with its body is Body's.

#include "platform/BodyFile.h"
#include "platform/BodyFolder.h"
#include "platform/BodyProgressRecord.h"
#include "platform/Error.h"
#include "platform/ResumeData.h"
#include "platform/Url.h"

#include <expected>
#include <optional>
#include <string>

namespace platform {

class Body {
public:
    /// Opens the body of a task for `url`, an HTTP or HTTPS one, in `folder`
    /// (which outlives it): the destination's body (one of its own while a
    /// live run holds that), locked. Then clears what killed runs left beside
    /// it and week-old bodies, sparing its own record. What it
    /// continues from is what `continuation` takes of `stored` and the
    /// progress record beside it. The folder is registered to go when the
    /// process ends with it empty. The error is the task's own.
    [[nodiscard]] static std::expected<Body, Error> open(
        ChosenBodyFolder const& folder, std::string const& url, std::optional<ResumeData> const& stored);

    Body(Body&&) noexcept = default;
    Body& operator=(Body&&) = delete;

    BodyFile& file() { return m_file; }
    std::optional<ResumeData> const& continuesFrom() const { return m_continuesFrom; }
    std::string const& folderPath() const { return m_folder->folder.path(); }

    /// Replaces the progress record with `data` (encoded resume data), or
    /// removes it when there is none; false when no record stays.
    bool recordProgress(std::optional<Bytes> const& data);
    /// A failed transfer that a later task continues from `data`: the record
    /// says so, and the body stays with it.
    void keepForResume(Bytes const& data);
    /// Nothing can continue the body: it goes now, with its record.
    void discard();
    /// The transfer finished. The digest goes to verification, and the record,
    /// `complete` when it can tell a later task that the body is whole, stays
    /// until the body is placed. When the process ends, or the task once its
    /// handler returned, the body and its record go, unless the body is still
    /// here and a later run finds it where it lies. The body's location, for
    /// the completion handler.
    URL handOver(std::optional<Bytes> const& complete);

private:
    Body(ChosenBodyFolder const& folder, BodyFile file, std::optional<ResumeData> continuesFrom);

    ChosenBodyFolder const* m_folder;
    BodyFile m_file;
    BodyProgressRecord m_record;
    std::optional<ResumeData> m_continuesFrom;
};

}
