// SPDX-License-Identifier: Apache-2.0
// What the unit tests share: a temporary folder, the records a piece of code logs, and a file manager that fails.
#pragma once

#include "platform/FileManager.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sstream>

namespace test {

/// A fresh folder, removed with everything in it at the end of the test.
struct TemporaryDirectory {
    std::string path = std::filesystem::temp_directory_path() / "quenbury-test-XXXXXX";
    TemporaryDirectory() { ::mkdtemp(path.data()); }
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

/// Runs `body` and returns the messages it logged; a record's later lines belong to it.
inline std::vector<std::string> loggedBy(std::function<void()> const& body)
{
    testing::internal::CaptureStderr();
    body();
    std::string text = testing::internal::GetCapturedStderr();
    static std::regex const prefix(R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} quenbury\[\d+:\d+\] )");
    std::vector<std::string> messages;
    for (std::sregex_token_iterator piece(text.begin(), text.end() - text.ends_with('\n'), prefix, -1), end;
         piece != end; ++piece) {
        if (piece->length())
            messages.push_back(*piece);
    }
    return messages;
}

/// The real file manager, except that the named operations fail with EACCES on the named paths.
struct FaultyFileManager : platform::FileManager {
    using Result = std::expected<void, platform::Error>;
    std::set<std::pair<std::string, std::string>> failing; // (operation, path)

    FaultyFileManager() { setDefaultManager(this); }
    ~FaultyFileManager() override { setDefaultManager(nullptr); }
    std::expected<platform::FileDescriptor, platform::Error> openTrustedDirectory(
        std::string const& path, std::string_view area, bool create) override
    {
        if (create && failing.contains({ "mkdir", path }))
            return std::unexpected(platform::Error::fromErrno("mkdir", path, EACCES));
        return FileManager::openTrustedDirectory(path, area, create);
    }
    Result removeItem(std::string const& path) override
    {
        return check("unlink", path, [&] { return FileManager::removeItem(path); });
    }
    Result moveItem(std::string const& from, std::string const& to) override
    {
        return check("rename", to, [&] { return FileManager::moveItem(from, to); });
    }
    Result createFile(
        int folder, std::string const& name, std::string const& path, platform::Bytes const& data) override
    {
        return check("rename", path, [&] { return FileManager::createFile(folder, name, path, data); });
    }
    Result check(std::string const& operation, std::string const& path, std::function<Result()> const& real)
    {
        return failing.contains({ operation, path })
            ? std::unexpected(platform::Error::fromErrno(operation, path, EACCES))
            : real();
    }
};

}
