// SPDX-License-Identifier: Apache-2.0
#pragma once

// The one way the tool splits and joins paths: into a folder and a name, into components, and back. Text only: nothing
// here touches the disk, so what a name leads to is the business of whoever opens it.

#include <string>
#include <string_view>
#include <vector>

namespace platform {

/// A path split at its last "/": the folder before it ("/" for "/name", empty without "/") and the name after it (empty
/// when the path ends with "/").
struct PathParts {
    std::string folder;
    std::string name;
};
[[nodiscard]] PathParts splitPath(std::string_view path);

/// The names between the "/" of `path`, in order, empty ones left out ("." and ".." stay).
[[nodiscard]] std::vector<std::string> pathComponents(std::string_view path);

/// `name` inside `folder`: "/a" and "b" give "/a/b", "/" and "b" give "/b".
[[nodiscard]] std::string joinPath(std::string_view folder, std::string_view name);

}
