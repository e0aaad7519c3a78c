// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/Posix.h"
#include "platform/ResumeData.h"

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// A private folder of the download service, held open so that every body is
/// created relative to the folder that was checked.
class BodyFolder {
public:
    /// Opens `name` in the folder open at `parent` (named `parentPath`), first
    /// creating it (mode 0700) when `create` and it is missing. Refuses a
    /// symbolic link, a non-directory, a folder of another user and one that
    /// others may write (the service then takes another folder); one of ours
    /// that others may read is narrowed to 0700.
    /// The folder is held under a shared lock for as long as this object lives.
    [[nodiscard]] static std::expected<BodyFolder, Error> openIn(
        int parent, std::string const& parentPath, std::string const& name, bool create);
    /// The same for the absolute `path`, whose own folder is opened by name.
    [[nodiscard]] static std::expected<BodyFolder, Error> open(std::string const& path, bool create);
    /// A new folder `prefix` + six letters and digits (mode 0700) in `parent`
    /// (see isMadeFolderName):
    /// a name that no other user can have taken first.
    [[nodiscard]] static std::expected<BodyFolder, Error> createFresh(
        int parent, std::string const& parentPath, std::string_view prefix);
    /// The first (by name) folder in `parent` that createFresh made with
    /// `prefix` and openIn accepts; ENOENT when there is none.
    [[nodiscard]] static std::expected<BodyFolder, Error> openMade(
        int parent, std::string const& parentPath, std::string_view prefix);
    /// Removes the folder opened at `descriptor` when it is empty and no
    /// other run holds it; safe while the process ends.
    static bool removeEmpty(std::string const& path, int descriptor);

    std::string const& path() const { return m_path; }
    int descriptor() const { return m_fd.get(); }

    /// Removes our own "body-" files untouched for longer than `age`, unless
    /// a live run holds their lock.
    void removeStaleBodies(std::chrono::seconds age) const;

private:
    BodyFolder(std::string path, FileDescriptor fd);
    [[nodiscard]] static std::expected<BodyFolder, Error> openOnce(
        int parent, std::string const& path, std::string const& name, bool create);
    std::string m_path;
    FileDescriptor m_fd;
};

/// A task's body folder, opened and held.
struct ChosenBodyFolder {
    BodyFolder folder;
    /// It lies beside the destination, where a later run finds it again
    /// without resume data: a finished body that could not be moved waits there.
    bool foundAgain = false;
};

/// Opens the folder that chooseBodyFolder picks for a task continuing from
/// `resume` (if any) toward `destination` (a path; empty for none), and holds
/// it (see holdFolder). The destination's folder is resolved following only
/// root's and our own links, and held too. A recorded folder that is gone or
/// not ours gives way to the choice without it, and a folder beside the
/// destination that another user took to one of our own beside it.
[[nodiscard]] std::expected<ChosenBodyFolder, Error> openBodyFolder(
    std::optional<ResumeData> const& resume, std::string const& destination, std::string const& configuredTemporary);

}
