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

/// Tells the download service where this run's package will land. Call once,
/// before the session is made; without it, bodies go to the temporary folder.
void setDownloadDestination(std::string destinationPath);

/// The folders the download service may write bodies into in this run.
struct BodyFolderLocations {
    /// The hidden folder beside the destination ("<destination's folder>/.quenbury-partial"),
    /// made when missing; empty when no destination was set.
    std::string beside;
    /// The folder in which a fresh "quenbury-XXXXXX" body folder is made when
    /// the destination's folder does not exist, and in which resume data of
    /// older versions finds "quenbury-<uid>".
    std::string temporary;
};

/// For confinement: nothing outside these two is ever written for a body.
/// `configuredTemporary` is the session configuration's temporaryDirectory.
BodyFolderLocations bodyFolderLocations(std::string const& configuredTemporary = {});

enum class BodyFolderChoice {
    /// The folder that the resume data records.
    Recorded,
    /// The hidden folder beside the destination.
    Beside,
    /// A new folder in the temporary folder.
    FreshTemporary,
};

/// Which folder a task's body goes into. A recorded folder is taken only when
/// it is one the service itself would choose in this run: the folder beside
/// this destination, a "quenbury-XXXXXX" it made in the temporary folder, or
/// "quenbury-<uid>" there for data of older versions. Otherwise beside the
/// destination when its folder exists, else a fresh temporary folder.
[[nodiscard]] BodyFolderChoice chooseBodyFolder(std::optional<ResumeData> const& resume,
    BodyFolderLocations const& locations, bool destinationFolderExists, uid_t user);

/// Opens the folder of `chooseBodyFolder` for a task; a recorded folder that
/// is gone or not ours gives way to the choice without it.
[[nodiscard]] std::expected<BodyFolder, Error> openBodyFolder(
    std::optional<ResumeData> const& resume, std::string const& configuredTemporary);

}
