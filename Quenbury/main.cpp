// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/CompletionHandlers.h"
#include "Quenbury/ProceedResumeDownload.h"
#include "Quenbury/ResumeDownloadPlistName.h"
#include "Quenbury/RunGlobals.h"
#include "Quenbury/Sha256Checksum.h"
#include "Quenbury/VarroAgent.h"
#include "platform/BodyFolder.h"
#include "platform/Confinement.h"
#include "platform/DownloadSession.h"
#include "platform/FileManager.h"
#include "platform/HeldFolders.h"
#include "platform/Log.h"
#include "platform/Path.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "platform/TrustedPath.h"
#include "platform/Url.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <semaphore>

using platform::exitProcess;
using platform::NSLog;

namespace {

[[noreturn]] void exitWith(int status, std::string const& line)
{
    NSLog(line);
    exitProcess(status);
}

/// True when `location` cannot name a file inside the store folder: it is empty, ends with "/", has a ".." component,
/// or `localFilePath` is an existing folder. Such a location is refused before anything is touched.
bool isRefusedDownloadLocation(std::string const& location, std::string const& localFilePath)
{
    if (location.empty() || location.back() == '/' || std::ranges::count(platform::pathComponents(location), "..") != 0)
        return true;
    // NOTE: a link to a folder is a folder here too: the move would land inside it. Nothing there is no folder.
    std::error_code error;
    return std::filesystem::is_directory(localFilePath, error);
}

/// The stored resume data, or nothing when it cannot be used: a file not our own, undecodable data, or data for another
/// resource would otherwise fail every later run the same way (a dead mirror must not keep a new one out).
std::optional<platform::ResumeData> storedResumeData(
    std::string const& resumeStatePath, platform::URL const& downloadURL)
{
    if (!platform::FileManager::defaultManager().fileExists(resumeStatePath))
        return std::nullopt;
    NSLog("Fetching resume data..for plist " + resumeStatePath);
    auto file = platform::openOwnRegularFileInTrustedFolder(resumeStatePath, resumeStateArea);
    auto read = file ? platform::readAll(file->get(), resumeStatePath, platform::maximumResumeDataSize)
                     : platform::errorOf(file);
    auto data = read ? platform::URLSession::resumableTransfer(*read, downloadURL) : std::nullopt;
    if (!data) {
        NSLog("Error in resume data...");
        return std::nullopt;
    }
    NSLog("The resume Plist size ->" + std::to_string(read->size()) + " bytes");
    return data;
}

}

int main(int argc, char** argv)
{
    platform::initializeProcess();

    if (argc <= 3) {
        NSLog("Arguments are low");
        std::fputs("usage: quenbury <url> <download-location> <sha256>\n", stderr);
        exitProcess(1);
    }
    std::string const urlArgument = argv[1];
    std::string const locationArgument = argv[2];
    checksumArgument = argv[3];
    NSLog("Given param -> 1 " + urlArgument + " \nGiven param -> 2 " + locationArgument + "\nGiven check_SHA256sum -> "
        + checksumArgument);

    urlString = platform::trimmingWhitespaceAndNewlines(urlArgument);
    auto encoded = platform::percentEncodeQueryAllowed(urlString);
    if (!encoded)
        exitWith(1, "Error in forming URL via addingPercentEncoding ");
    auto downloadURL = platform::URL::fromString(*encoded);
    if (!downloadURL)
        exitWith(1, "error in download url");

    localFilePath = VarroAgent::basePath() + "/store/" + locationArgument;
    NSLog("download location " + localFilePath);
    if (isRefusedDownloadLocation(locationArgument, localFilePath))
        exitWith(1, "Refused download location: it must name a file inside the store directory");
    if (!proceedResumeDownload())
        exitWith(0, "Quenbury -> set to false ");

    if (platform::FileManager::defaultManager().fileExists(localFilePath)) {
        NSLog("File already Exists");
        if (sha256Checksum(localFilePath, checksumArgument))
            exitWith(0, "SHA256 checksum validation passed");
        NSLog("SHA256 checksum validation Failed, hence downloading new file and replacing");
    }

    // NOTE: main never returns: the process ends inside the task's completion handler, and these are never destroyed.
    auto const sessionConfig = platform::URLSessionConfiguration::defaultConfiguration();
    platform::URLSession session(sessionConfig);

    auto plistName = resumeDownloadPlistName(localFilePath);
    if (!plistName)
        exitWith(1, "error in creating plist");
    std::string const resumeStatePath = platform::joinPath(resumeStateArea, *plistName);

    // NOTE: stored resume data is parsed only once confined to the folders its body may lie in; the task later narrows
    // that to the body's folder and the destination's.
    // The resume state's folder, or its deepest existing one, is checked and narrowed now: once confined no mode
    // changes, and a missing folder can be given no rule, so the resume area is made now.
    (void)platform::openTrustedFolder(resumeStateArea, {}, true);
    auto stateFolder = platform::openDeepestTrustedFolder(platform::splitPath(resumeStatePath).folder, resumeStateArea);
    // Each confinement narrows the one before, and comes before the service's thread starts, so that it is bound too.
    auto confineTo = [&stateFolder](std::vector<int> folders) {
        if (stateFolder)
            folders.push_back(stateFolder->get());
        (void)platform::confineWrites(folders);
    };
    {
        auto candidates = platform::openBodyFolderParents(localFilePath, sessionConfig.temporaryFolder);
        std::vector<int> folders;
        std::ranges::transform(candidates, std::back_inserter(folders), &platform::FileDescriptor::get);
        confineTo(folders);
        (void)platform::refuseEscapeCalls();
        // Of root's capabilities only CAP_DAC_OVERRIDE stays (see docs/security.md).
        (void)platform::dropCapabilities();
    }
    auto resumeData = storedResumeData(resumeStatePath, *downloadURL);
    auto task = session.downloadTask(*downloadURL, localFilePath,
        resumeData ? resumedDownloadCompletion(resumeStatePath) : freshDownloadCompletion(resumeStatePath), resumeData);
    confineTo(platform::heldFolders());
    task->resume();

    // Nothing signals it: the task's completion handler ends the process.
    std::counting_semaphore<>(0).acquire();
    exitProcess(1);
}
