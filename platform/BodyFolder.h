// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/Posix.h"

#include <chrono>
#include <expected>
#include <string>
#include <string_view>

namespace platform {

/// A private folder of the download service, held open so that every body is
/// created relative to the folder that was checked.
class BodyFolder {
public:
    /// The temporary folder: `configured` when given, else $TMPDIR when absolute, else /var/tmp.
    static std::string temporaryDirectory(std::string const& configured);

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
    /// A new folder `prefix` + six letters and digits (mode 0700) in `parent`:
    /// a name that no other user can have taken first.
    [[nodiscard]] static std::expected<BodyFolder, Error> createFresh(
        int parent, std::string const& parentPath, std::string_view prefix);
    /// The first (by name) folder in `parent` that createFresh made with
    /// `prefix` and openIn accepts; ENOENT when there is none.
    [[nodiscard]] static std::expected<BodyFolder, Error> openMade(
        int parent, std::string const& parentPath, std::string_view prefix);
    /// Whether `name` is one that createFresh makes with `prefix`.
    static bool isMadeName(std::string_view name, std::string_view prefix);
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

}
