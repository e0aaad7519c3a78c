// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/BodyFolder.h"
#include "platform/Error.h"
#include "platform/ResumeData.h"

#include <expected>
#include <optional>
#include <string>

// Where the download service grows a body: in a hidden folder beside the
// place where the package will land, so that moving it there is a rename on
// every layout and it outlives emptied temporary folders.

namespace platform {

/// The hidden body folder's name inside the destination's folder.
inline constexpr char besideFolderName[] = ".quenbury-partial";
/// What a body folder of our own made beside the destination begins with,
/// where another user took besideFolderName first.
inline constexpr char freshBesideFolderPrefix[] = ".quenbury-partial-";
/// What a body folder made in the temporary folder begins with.
inline constexpr char freshTemporaryFolderPrefix[] = "quenbury-";

/// Tells the download service where this run's package will land, and
/// resolves that folder once (following root's and our own links only) and
/// holds it (see holdFolder). Call once, before any task is made; without
/// it, bodies go to the temporary folder.
void setDownloadDestination(std::string destinationPath);

/// The folders the download service may write bodies into in this run.
struct BodyFolderLocations {
    /// The destination's folder as named (through any link); empty when no destination was set.
    std::string destinationFolder;
    /// The folder in which a fresh "quenbury-XXXXXX" body folder is made when
    /// the destination's folder does not exist, and in which resume data of
    /// older versions finds "quenbury-<uid>".
    std::string temporary;

    /// "<destination's folder>/.quenbury-partial", or empty.
    std::string beside() const;
};

/// `configuredTemporary` is the session configuration's temporaryDirectory.
BodyFolderLocations bodyFolderLocations(std::string const& configuredTemporary = {});

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

/// A task's body folder, opened and held.
struct ChosenBodyFolder {
    BodyFolder folder;
    /// It lies beside the destination, where a later run finds it again
    /// without resume data: a finished body that could not be moved waits there.
    bool foundAgain = false;
};

/// Opens the folder of `chooseBodyFolder` for a task and holds it (see
/// holdFolder); a recorded folder that is gone or not ours gives way to the
/// choice without it, and a folder beside the destination that another user
/// took gives way to one of our own beside it.
[[nodiscard]] std::expected<ChosenBodyFolder, Error> openBodyFolder(
    std::optional<ResumeData> const& resume, std::string const& configuredTemporary);

}
