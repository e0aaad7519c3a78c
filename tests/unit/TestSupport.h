#pragma once

#include "platform/FileManager.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace test {

/// A fresh folder removed with everything in it at the end of the test.
class TemporaryDirectory {
public:
    TemporaryDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "quenbury-test-XXXXXX").string();
        m_path = ::mkdtemp(pattern.data());
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::string const& path() const { return m_path; }
    std::string operator/(std::string_view name) const { return m_path + "/" + std::string(name); }

private:
    std::string m_path;
};

inline void writeFile(std::string const& path, std::string_view contents)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(contents.data(), 1, contents.size(), file);
    std::fclose(file);
}

inline std::string readFile(std::string const& path)
{
    std::string contents;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            contents.append(buffer, got);
        std::fclose(file);
    }
    return contents;
}

/// The messages of the log records in captured standard error; a record's
/// later lines belong to it.
inline std::vector<std::string> logMessages(std::string const& stderrText)
{
    static const std::regex prefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} quenbury\[\d+:\d+\] )");
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < stderrText.size()) {
        size_t end = stderrText.find('\n', start);
        std::string line = stderrText.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::smatch match;
        if (std::regex_search(line, match, prefix))
            messages.push_back(match.suffix());
        else if (!messages.empty())
            messages.back() += "\n" + line;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return messages;
}

/// Runs `body` and returns the messages it logged.
inline std::vector<std::string> loggedBy(std::function<void()> const& body)
{
    testing::internal::CaptureStderr();
    body();
    return logMessages(testing::internal::GetCapturedStderr());
}

/// The real file manager, except that the named operations on the named paths
/// fail with EACCES; it records the paths asked about by fileExists.
class FaultyFileManager : public platform::FileManager {
public:
    FaultyFileManager() { platform::FileManager::setDefaultManager(this); }
    ~FaultyFileManager() override { platform::FileManager::setDefaultManager(nullptr); }

    std::set<std::pair<std::string, std::string>> failing; // (operation, path)
    std::vector<std::string> existenceQueries;
    std::vector<std::string> reads;
    std::set<std::string> existing; // Paths that exist for fileExists, besides real ones.

    bool fileExists(std::string const& path) override
    {
        existenceQueries.push_back(path);
        return existing.contains(path) || FileManager::fileExists(path);
    }
    std::expected<platform::Bytes, platform::Error> contentsOfFile(std::string const& path) override
    {
        reads.push_back(path);
        return FileManager::contentsOfFile(path);
    }
    std::expected<void, platform::Error> createDirectory(std::string const& path, bool intermediate) override
    {
        if (fails("createDirectory", path))
            return denied("mkdir", path);
        return FileManager::createDirectory(path, intermediate);
    }
    std::expected<void, platform::Error> removeItem(std::string const& path) override
    {
        if (fails("removeItem", path))
            return denied("unlink", path);
        return FileManager::removeItem(path);
    }
    std::expected<void, platform::Error> moveItem(std::string const& source, std::string const& destination) override
    {
        if (fails("moveItem", destination))
            return denied("rename", destination);
        return FileManager::moveItem(source, destination);
    }
    std::expected<void, platform::Error> createFile(std::string const& path, platform::Bytes const& contents) override
    {
        if (fails("createFile", path))
            return denied("open", path);
        return FileManager::createFile(path, contents);
    }

private:
    bool fails(std::string const& operation, std::string const& path) const { return failing.contains({ operation, path }); }
    static std::unexpected<platform::Error> denied(std::string_view operation, std::string const& path)
    {
        return std::unexpected(platform::Error::fromErrno(operation, path, EACCES));
    }
};

inline std::string deniedDescription(std::string_view operation, std::string const& path)
{
    return platform::Error::fromErrno(operation, path, EACCES).description();
}

}
