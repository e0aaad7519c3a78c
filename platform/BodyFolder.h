// SPDX-License-Identifier: Apache-2.0
#pragma once

// The download service's private folders, where bodies grow: beside the destination, so that placing a body is a
// rename and it outlives emptied temporary folders, else a fresh one in the temporary folder. A BodyFolder owns one,
// opened, checked and held under a shared lock; openBodyFolder carries out what chooseBodyFolder, a pure choice, plans.

#include "platform/Posix.h"
#include "platform/ResumeData.h"

#include <chrono>

namespace platform {

/// Held open so that every body is created relative to the folder that was checked.
class BodyFolder {
public:
    /// Opens (with `create`, first makes) `name` in `parent`, held under a shared lock while this object lives. Only a
    /// folder the service made is taken: ours, not a link, mode 0700, holding only bodies and records; anything else is
    /// refused (EPERM) and left untouched.
    [[nodiscard]] static std::expected<BodyFolder, Error> openIn(
        int parent, std::string const& parentPath, std::string const& name, bool create);
    /// The same for the absolute `path`, whose own folder is opened by name.
    [[nodiscard]] static std::expected<BodyFolder, Error> open(std::string const& path, bool create);

    std::string const& path() const { return m_path; }
    int descriptor() const { return m_fd.get(); }

    /// Only when no other run holds it and its name is still this folder; safe while the process ends.
    bool removeIfEmpty() const;
    /// Removes what killed runs left beside the locked body `body`: its unique siblings (see BodyFile::createUnique)
    /// and their records, and our own "body-" files untouched for a week but `kept`, unless a live run holds them.
    void removeLeftovers(std::string const& body, std::string const& kept) const;

private:
    BodyFolder(std::string path, FileDescriptor parent, FileDescriptor fd);
    std::string m_path;
    FileDescriptor m_parent;
    FileDescriptor m_fd;
};

struct ChosenBodyFolder {
    BodyFolder folder;
    /// Beside the destination, where a finished body that could not be moved waits for a later run without resume data.
    bool foundAgain = false;
    std::string bodyName; // See bodyFileNameForDestination.
};

struct BodyFolderLocations {
    /// The destination's folder as named (through any link); empty for no destination.
    std::string destinationFolder;
    std::string temporary;
};

namespace plan {
    /// ".quenbury-partial" in the destination's folder, or one of ours beside it where another user took that name.
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
    using FreshTemporary = std::monostate;
}
using BodyFolderPlan = std::variant<plan::Beside, plan::RecordedBeside, plan::RecordedTemporary, plan::FreshTemporary>;

/// A recorded folder is taken only when the service would choose it itself in this run; otherwise beside the
/// destination when its folder is open (at `destinationFolder`), else a fresh temporary folder.
[[nodiscard]] BodyFolderPlan chooseBodyFolder(std::optional<ResumeData> const& resume,
    BodyFolderLocations const& locations, std::optional<int> destinationFolder);

/// The folders openBodyFolder may open a body folder in, for `destination`: the destination's folder (held from now
/// on), and the temporary folder. Those that cannot be opened are left out.
[[nodiscard]] std::vector<FileDescriptor> openBodyFolderParents(
    std::string const& destination, std::string const& configuredTemporary);

/// Opens and holds the folder chooseBodyFolder plans for `resume` and `destination` (empty for none). A recorded folder
/// that is gone or not ours gives way to the plan without it; a foreign one beside the destination, to one of ours.
[[nodiscard]] std::expected<ChosenBodyFolder, Error> openBodyFolder(
    std::optional<ResumeData> const& resume, std::string const& destination, std::string const& configuredTemporary);

}
