// SPDX-License-Identifier: Apache-2.0
#include "platform/Path.h"

#include <algorithm>

namespace platform {

PathParts splitPath(std::string_view path)
{
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return { {}, std::string(path) };
    return { std::string(path.substr(0, slash == 0 ? 1 : slash)), std::string(path.substr(slash + 1)) };
}

std::vector<std::string> pathComponents(std::string_view path)
{
    std::vector<std::string> names;
    for (size_t start = 0; start <= path.size();) {
        size_t end = std::min(path.find('/', start), path.size());
        if (end > start)
            names.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

std::string joinPath(std::string_view folder, std::string_view name)
{
    return std::string(folder == "/" ? "" : folder) + "/" + std::string(name);
}

}
