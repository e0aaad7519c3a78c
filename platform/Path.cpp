// SPDX-License-Identifier: Apache-2.0
#include "platform/Path.h"

#include <ranges>

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
    for (auto name : std::views::split(path, '/'))
        names.emplace_back(name.begin(), name.end());
    std::erase(names, "");
    return names;
}

std::string joinPath(std::string_view folder, std::string_view name)
{
    return std::string(folder == "/" ? "" : folder) + "/" + std::string(name);
}

}
