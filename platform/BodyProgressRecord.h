// SPDX-License-Identifier: Apache-2.0
#pragma once

// The progress record beside a growing body: resume data for the body as it stands, replaced every few seconds, so
// that a kill or a power loss does not cost the bytes on disk. It owns the record's name only; the body is Body's.

#include "platform/BodyFolder.h"
#include "platform/Error.h"
#include "platform/ResumeData.h"

#include <chrono>
#include <optional>
#include <string>

namespace platform {

inline constexpr std::chrono::seconds progressRecordInterval { 3 };

/// The record beside the body `bodyFileName`: "<body>.progress" in the body's folder. It begins with "body-", so that
/// the folder's clean-up of stale bodies takes it too, and no body can bear its name.
class BodyProgressRecord {
public:
    BodyProgressRecord(BodyFolder const& folder, std::string bodyFileName);

    /// The record left there, decoded as untrusted resume data; nothing when it is missing, not a regular file of ours,
    /// or undecodable.
    [[nodiscard]] std::optional<ResumeData> read() const;
    /// Replaces the record with `data`; false when no record stays. Not synced: a torn record reads as none, and a body
    /// left shorter than its record starts again from byte 0.
    bool write(Bytes const& data) const;
    std::string const& name() const { return m_name; }
    /// Removes the record, once the body it describes is gone or handed over.
    void remove() const;

private:
    int m_folder;
    std::string m_name;
};

}
