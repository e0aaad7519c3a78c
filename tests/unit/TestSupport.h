// SPDX-License-Identifier: Apache-2.0
// What the unit tests share: a temporary folder, and files written and read whole.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <system_error>

namespace test {

/// A fresh folder, removed with everything in it at the end of the test.
struct TemporaryDirectory {
    std::string path = std::filesystem::temp_directory_path() / "quenbury-test-XXXXXX";
    TemporaryDirectory()
    {
        // Without the folder every test in it would fail far from the cause.
        if (::mkdtemp(path.data()) == nullptr)
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + path);
    }
    ~TemporaryDirectory() { std::filesystem::remove_all(path); }
    std::string operator/(std::string_view name) const { return path + "/" + std::string(name); }
};

inline void writeFile(std::string const& path, std::string_view contents)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

inline std::string readFile(std::string const& path)
{
    std::ostringstream contents;
    contents << std::ifstream(path, std::ios::binary).rdbuf();
    return contents.str();
}

}
