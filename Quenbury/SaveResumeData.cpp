// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/SaveResumeData.h"

#include "Quenbury/ResumeDownloadPlistName.h"

#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/TrustedPath.h"

using platform::NSLog;
using platform::URLErrorCode::Cancelled;
using platform::URLErrorCode::NetworkConnectionLost;
using platform::URLErrorCode::TimedOut;

bool saveResumeData(platform::Error const& error, std::string const& path)
{
    // A transfer cancelled by a signal to the process continues next run like a lost one.
    if (error.code == Cancelled) {
        NSLog("Download interrupted, saving resume data");
    } else if (error.code == NetworkConnectionLost || error.code == TimedOut) {
        NSLog("Connection lost, saving resume data");
    } else {
        NSLog("Not saving resume data");
        return false;
    }

    auto const* resumeData = error.bytes(platform::UserInfoKey::DownloadTaskResumeData);
    if (!resumeData) {
        NSLog("No resume data generated");
        return false;
    }

    auto writeFailed = [](platform::Error const& failure) {
        NSLog("Data write failed with error:" + failure.description());
        return false;
    };
    auto& fileManager = platform::FileManager::defaultManager();
    auto slash = path.find_last_of('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);

    // NOTE: the resume area lies beside a world-writable folder; a planted link
    // or a folder of another user must not decide where root writes.
    if (auto trusted = platform::checkTrustedFolder(directory, resumeStateArea); !trusted)
        return writeFailed(trusted.error());
    if (!fileManager.fileExists(directory)) {
        NSLog("Creating directory " + directory);
        if (auto created = fileManager.createDirectory(directory, true); !created)
            return writeFailed(created.error());
        // A link planted between the check and mkdir would have been walked
        // through; what now stands must pass the same check.
        if (auto trusted = platform::checkTrustedFolder(directory, resumeStateArea); !trusted)
            return writeFailed(trusted.error());
    }
    NSLog("Directory is " + directory);

    if (fileManager.fileExists(path)) {
        NSLog("Removing resume data already present at: " + path);
        if (auto removed = fileManager.removeItem(path); !removed)
            return writeFailed(removed.error());
    }
    if (auto written = fileManager.createFile(path, *resumeData); !written)
        return writeFailed(written.error());
    NSLog("Resume data written");
    return true;
}
