// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/ResumeData.h"

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

// Which folder a body grows in: beside the place where the package will land,
// so that moving it there is a rename on every layout and it outlives emptied
// temporary folders; where that folder is missing, a fresh one in the
// temporary folder. A pure choice: opening it is openBodyFolder's.

namespace platform {

/// The hidden body folder's name inside the destination's folder.
inline constexpr char besideFolderName[] = ".quenbury-partial";
/// What a body folder of our own made beside the destination begins with,
/// where another user took besideFolderName first.
inline constexpr char freshBesideFolderPrefix[] = ".quenbury-partial-";
/// What a body folder made in the temporary folder begins with.
inline constexpr char freshTemporaryFolderPrefix[] = "quenbury-";

/// The folders the download service may put a body folder in, for one destination.
struct BodyFolderLocations {
    /// The destination's folder as named (through any link); empty for no destination.
    std::string destinationFolder;
    /// The folder in which a fresh "quenbury-XXXXXX" body folder is made when
    /// the destination's folder does not exist, and in which resume data of
    /// older versions finds "quenbury-<uid>".
    std::string temporary;

    /// "<destination's folder>/.quenbury-partial", or empty.
    std::string beside() const;
};

/// The locations for `destination` (a path; empty for none). The temporary
/// folder is `configuredTemporary` when given, else $TMPDIR when absolute,
/// else /var/tmp.
BodyFolderLocations bodyFolderLocations(std::string const& destination, std::string const& configuredTemporary);

/// Whether `name` is what the service makes with `prefix`: six letters and digits after it.
bool isMadeFolderName(std::string_view name, std::string_view prefix);

/// The folder that `resume` records: its own, or for data of older versions
/// "quenbury-<user>" in the temporary folder.
std::string recordedBodyFolder(ResumeData const& resume, BodyFolderLocations const& locations, uid_t user);

enum class BodyFolderChoice {
    /// The folder that the resume data records.
    Recorded,
    /// The hidden folder beside the destination (or one of ours beside it, where that is taken).
    Beside,
    /// A new folder in the temporary folder.
    FreshTemporary,
};

/// Which folder a task's body goes into. A recorded folder is taken only when
/// it is one the service itself would choose in this run: the folder beside
/// this destination or one it made there, a "quenbury-XXXXXX" it made in the
/// temporary folder, or "quenbury-<uid>" there for data of older versions.
/// Otherwise beside the destination when its folder exists, else a fresh
/// temporary folder.
[[nodiscard]] BodyFolderChoice chooseBodyFolder(std::optional<ResumeData> const& resume,
    BodyFolderLocations const& locations, bool destinationFolderExists, uid_t user);

}
