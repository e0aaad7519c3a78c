// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/Posix.h"

#include <chrono>
#include <expected>
#include <string>

namespace platform {

/// The download service's private folder, "<parent>/quenbury-<uid>", held open
/// so that every body is created relative to the folder that was checked.
class BodyFolder {
public:
    /// The parent: `configured` when given, else $TMPDIR when absolute, else /var/tmp.
    static std::string parentDirectory(std::string const& configured);

    /// Creates the folder (mode 0700) or opens the existing one. Refuses a
    /// symbolic link, a non-directory and a folder of another user; a folder
    /// of ours that others may use is narrowed to 0700.
    [[nodiscard]] static std::expected<BodyFolder, Error> open(std::string const& parent);

    std::string const& path() const { return m_path; }
    int descriptor() const { return m_fd.get(); }

    /// Removes our own "body-" files untouched for longer than `age`, unless
    /// a live run holds their lock.
    void removeStaleBodies(std::chrono::seconds age) const;

private:
    BodyFolder(std::string path, FileDescriptor fd);
    std::string m_path;
    FileDescriptor m_fd;
};

}
