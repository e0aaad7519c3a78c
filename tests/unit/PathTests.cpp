// SPDX-License-Identifier: Apache-2.0
// Paths split into a folder and a name, into components, and joined back: the root, a bare name and a trailing "/"
// are where a hand-written split goes wrong.
#include "TestSupport.h"
#include "platform/Path.h"

TEST(Path, SplitWalkAndJoin)
{
    struct Row {
        std::string path, folder, name;
        std::vector<std::string> components;
    };
    std::vector<Row> const rows {
        { "/a/b", "/a", "b", { "a", "b" } },
        { "/b", "/", "b", { "b" } },
        { "b", "", "b", { "b" } },
        { "/a/", "/a", "", { "a" } },
        { "a//b/../c", "a//b/..", "c", { "a", "b", "..", "c" } },
        { "", "", "", {} },
    };
    for (auto const& [path, folder, name, components] : rows) {
        auto parts = platform::splitPath(path);
        EXPECT_EQ(parts.folder, folder) << path;
        EXPECT_EQ(parts.name, name) << path;
        EXPECT_EQ(platform::pathComponents(path), components) << path;
        if (!folder.empty()) {
            EXPECT_EQ(platform::joinPath(parts.folder, parts.name), path) << path;
        }
    }
    EXPECT_EQ(platform::joinPath("a", "b"), "a/b");
}
