// SPDX-License-Identifier: Apache-2.0
#pragma once

// Which folder a body grows in: beside the destination, so that placing it is a rename and it outlives emptied
// temporary folders, else a fresh one in the temporary folder. A pure choice made into a plan; openBodyFolder carries
// it out.

#include "platform/ResumeData.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace platform {

/// The hidden body folder's name inside the destination's folder.
inline constexpr char besideFolderName[] = ".quenbury-partial";
/// Ours beside the destination where another user took besideFolderName first.
inline constexpr char freshBesideFolderPrefix[] = ".quenbury-partial-";
inline constexpr char freshTemporaryFolderPrefix[] = "quenbury-";

/// The folders the download service may put a body folder in, for one destination.
struct BodyFolderLocations {
    /// The destination's folder as named (through any link); empty for no destination.
    std::string destinationFolder;
    std::string temporary;
};

/// The locations for `destination` (a path; empty for none). The temporary folder is `configuredTemporary` when given,
/// else $TMPDIR when absolute, else /var/tmp.
BodyFolderLocations bodyFolderLocations(std::string const& destination, std::string const& configuredTemporary);

/// Whether `name` is what the service makes with `prefix`: six letters and digits after it.
bool isMadeFolderName(std::string_view name, std::string_view prefix);

namespace plan {
    /// ".quenbury-partial" in the destination's folder (open at `destinationFolder`), or one of ours beside it where
    /// another user took that name.
    struct Beside {
        int destinationFolder;
        bool operator==(Beside const&) const = default;
    };
    /// A folder the service made beside the destination, named `name`, that the resume data records.
    struct RecordedBeside {
        int destinationFolder;
        std::string name;
        bool operator==(RecordedBeside const&) const = default;
    };
    /// A "quenbury-XXXXXX" the service made in the temporary folder, that the resume data records.
    struct RecordedTemporary {
        std::string name;
        bool operator==(RecordedTemporary const&) const = default;
    };
    struct FreshTemporary {
        bool operator==(FreshTemporary const&) const = default;
    };
}
using BodyFolderPlan = std::variant<plan::Beside, plan::RecordedBeside, plan::RecordedTemporary, plan::FreshTemporary>;

/// A recorded folder is taken only when the service would choose it itself in this run; otherwise beside the
/// destination when its folder is open (at `destinationFolder`), else a fresh temporary folder.
[[nodiscard]] BodyFolderPlan chooseBodyFolder(std::optional<ResumeData> const& resume,
    BodyFolderLocations const& locations, std::optional<int> destinationFolder);

}
