// SPDX-License-Identifier: Apache-2.0
#pragma once

// A file that appears whole or not at all (the resume state, a body's record, a copy across volumes): written as a
// unique sibling of its final name, then renamed over it in one step, or unlinked.

#include "platform/Posix.h"

namespace platform {

/// The sibling is ".<name>.quenbury-" and 16 random letters and digits, made O_EXCL|O_NOFOLLOW and locked while it
/// lives, so that a later writer tells it from one a killed writer abandoned.
class AtomicFile {
public:
    /// Synced: the file and then its folder reach the disk, so a power loss leaves the old file or the new, whole.
    /// Unsynced: like a rename; what a power loss tears, a later check catches.
    enum class Durability { Synced, Unsynced };

    /// Removes siblings of `name` that killed writers left in the folder open at `folder`, then creates a new one with
    /// `mode` (the umask only narrows). `path` names the final file in errors.
    [[nodiscard]] static std::expected<AtomicFile, Error> create(
        int folder, std::string name, std::string path, mode_t mode);

    static void removeAbandonedSiblings(int folder, std::string const& name);

    AtomicFile(AtomicFile&&) noexcept = default;
    ~AtomicFile();

    int descriptor() const { return m_fd.get(); }
    /// Closes the sibling (synced first when asked) and renames it over the final name; on failure the old file stands.
    [[nodiscard]] std::expected<void, Error> commit(Durability durability);

private:
    static std::string siblingPrefix(std::string const& name) { return "." + name + ".quenbury-"; }
    AtomicFile(int folder, FileDescriptor fd, std::string temporary, std::string name, std::string path);
    /// Unlinks the sibling; the error is that of `operation` on the final path.
    std::unexpected<Error> abandon(std::string_view operation, int errnoValue);

    int m_folder;
    FileDescriptor m_fd;
    std::string m_temporary;
    std::string m_name;
    std::string m_path;
};

}
