// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/SaveResumeData.h"

#include "Quenbury/ResumeDownloadPlistName.h"

#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/Path.h"
#include "platform/ResumeDecisions.h"
#include "platform/TrustedPath.h"

using platform::NSLog;

bool saveResumeData(platform::Error const& error, std::string const& path)
{
    // A transfer cancelled by a signal to the process continues next run like a lost one.
    auto resumable = platform::resumableFailure(error);
    if (!resumable)
        return platform::logged(false, "Not saving resume data");
    NSLog(*resumable == platform::ResumableFailure::Interrupted ? "Download interrupted, saving resume data"
                                                                : "Connection lost, saving resume data");

    auto const* resumeData = error.bytes(platform::UserInfoKey::DownloadTaskResumeData);
    if (!resumeData)
        return platform::logged(false, "No resume data generated");

    auto writeFailed = [](platform::Error const& failure) {
        return platform::logged(false, "Data write failed with error:" + failure.description());
    };
    auto [folderPath, name] = platform::splitPath(path);

    // NOTE: the resume area lies beside a world-writable folder; a planted link or a folder of another user must not
    // decide where root writes. The walk opens each folder by descriptor, so what was checked is what is written.
    auto folder = platform::openTrustedFolder(folderPath, resumeStateArea, false);
    if (!folder && folder.error().is(platform::ErrorDomain::POSIX, ENOENT)) {
        NSLog("Creating directory " + folderPath);
        folder = platform::openTrustedFolder(folderPath, resumeStateArea, true);
    }
    if (!folder)
        return writeFailed(folder.error());
    NSLog("Directory is " + folderPath);

    if (platform::identityAt(folder->get(), name))
        NSLog("Removing resume data already present at: " + path);
    if (auto written = platform::FileManager::defaultManager().createFile(folder->get(), name, path, *resumeData);
        !written)
        return writeFailed(written.error());
    NSLog("Resume data written");
    return true;
}
