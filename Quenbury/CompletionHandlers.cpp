// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/CompletionHandlers.h"

#include "Quenbury/ResumeDownloadPlistName.h"
#include "Quenbury/RunGlobals.h"
#include "Quenbury/SaveResumeData.h"
#include "Quenbury/Sha256Checksum.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/Process.h"

using platform::NSLog;

namespace {

/// The run's exit status for a finished or failed task, once the body is placed, verified and cleaned up after.
int completeDownload(bool resumed, std::string const& resumeStatePath, std::optional<platform::URL> const& location,
    std::optional<platform::Error> const& error)
{
    if (error) {
        // NOTE: the record of a resumed task ends with a space, as it always has.
        NSLog("Download failed with error: " + error->description() + (resumed ? " " : ""));
        (void)saveResumeData(*error, resumeStatePath);
        return 1;
    }
    if (!location)
        return platform::logged(1, "Error moving the file nil");

    auto destination = platform::URL::fileURL(localFilePath);
    NSLog(" file Downloaded location Optional(" + location->absoluteString + "), move location "
        + destination.absoluteString);
    // NOTE: the body takes the old file's place in one step: a move that fails then leaves the old file, and the body
    // for the next run to place.
    auto& fileManager = platform::FileManager::defaultManager();
    auto replaced = fileManager.replaceItem(destination.path, location->path);
    if (!replaced)
        return platform::logged(1, "Error moving the file: " + replaced.error().description());
    if (replaced->replaced)
        NSLog("removing Old File");
    NSLog("Download successful. File saved to: " + destination.absoluteString);

    // NOTE: what is verified, and removed after a mismatch, is the file this run placed, never whatever the name means
    // by then.
    bool matched = sha256Checksum(localFilePath, checksumArgument, replaced->identity);
    if (resumed) {
        if (auto removed = fileManager.removeItem(resumeStatePath, resumeStateArea); !removed)
            NSLog("Resume plist cannot be deleted " + removed.error().description());
    }
    if (matched)
        return 0;
    if (auto removed = fileManager.removeItem(localFilePath, replaced->identity); !removed)
        NSLog(
            (resumed ? "Resume plist cannot be deleted " : "File cannot be deleted ") + removed.error().description());
    return 1;
}

platform::CompletionHandler handler(bool resumed, std::string resumeStatePath)
{
    return [resumed, resumeStatePath = std::move(resumeStatePath)](std::optional<platform::URL> location,
               std::optional<platform::URLResponse>, std::optional<platform::Error> error) {
        platform::exitProcess(completeDownload(resumed, resumeStatePath, location, error));
    };
}

}

platform::CompletionHandler freshDownloadCompletion(std::string resumeStatePath)
{
    return handler(false, std::move(resumeStatePath));
}

platform::CompletionHandler resumedDownloadCompletion(std::string resumeStatePath)
{
    return handler(true, std::move(resumeStatePath));
}
