// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/Posix.h"

#include <chrono>
#include <expected>
#include <string>

namespace platform {

/// A private folder of the download service, held open so that every body is
/// created relative to the folder that was checked.
class BodyFolder {
public:
    /// The temporary folder: `configured` when given, else $TMPDIR when absolute, else /var/tmp.
    static std::string temporaryDirectory(std::string const& configured);

    /// Opens the folder at `path`, first creating it (mode 0700) when `create`
    /// and it is missing. Refuses a symbolic link, a non-directory and a
    /// folder of another user; a folder of ours that others may use is
    /// narrowed to 0700. The folder is held under a shared lock for as long
    /// as this object lives.
    [[nodiscard]] static std::expected<BodyFolder, Error> open(std::string const& path, bool create);
    /// Removes the folder opened at `descriptor` when it is empty and no
    /// other run holds it; safe while the process ends.
    static bool removeEmpty(std::string const& path, int descriptor);
    /// A new folder "<parent>/quenbury-XXXXXX" (mode 0700): a name that no
    /// other user can have taken first.
    [[nodiscard]] static std::expected<BodyFolder, Error> createFresh(std::string const& parent);

    std::string const& path() const { return m_path; }
    int descriptor() const { return m_fd.get(); }

    /// Removes our own "body-" files untouched for longer than `age`, unless
    /// a live run holds their lock.
    void removeStaleBodies(std::chrono::seconds age) const;

private:
    BodyFolder(std::string path, FileDescriptor fd);
    [[nodiscard]] static std::expected<BodyFolder, Error> openOnce(std::string const& path, bool create);
    std::string m_path;
    FileDescriptor m_fd;
};

}
