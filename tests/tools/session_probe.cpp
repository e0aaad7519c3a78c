// Runs one download task and prints what its completion handler received, so
// that tests can drive the download service against their servers.
//   session_probe [--idle-ms N] [--temporary DIR] [--save-resume FILE] (--url URL | --resume FILE)
#include "platform/DownloadSession.h"
#include "platform/FileManager.h"
#include "platform/Process.h"
#include "platform/Sha256.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>

int main(int argc, char** argv)
{
    platform::initializeProcess();
    auto configuration = platform::URLSessionConfiguration::defaultConfiguration();
    std::string url, resumeFile, saveResume;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i], value = argv[i + 1];
        if (option == "--idle-ms")
            configuration.timeoutIntervalForRequest = std::chrono::milliseconds(std::stol(value));
        else if (option == "--temporary")
            configuration.temporaryDirectory = value;
        else if (option == "--save-resume")
            saveResume = value;
        else if (option == "--url")
            url = value;
        else if (option == "--resume")
            resumeFile = value;
    }
    auto& files = platform::FileManager::defaultManager();
    std::promise<void> done;
    auto handler = [&](std::optional<platform::URL> location, std::optional<platform::URLResponse> response, std::optional<platform::Error> error) {
        std::printf("status=%ld\n", response ? response->statusCode : 0L);
        if (error) {
            std::printf("code=%ld\n", error->code);
            auto const* data = error->bytes(platform::UserInfoKey::DownloadTaskResumeData);
            std::printf("resume=%zu\n", data ? data->size() : 0);
            if (data && !saveResume.empty())
                (void)files.createFile(saveResume, *data);
            std::printf("error=%s\n", error->description().c_str());
        }
        if (location) {
            auto digest = platform::sha256OfFile(location->path);
            auto size = files.attributesOfItem(location->path);
            std::printf("code=0\nsize=%lld\nsha256=%s\n", size ? static_cast<long long>(size->size) : -1LL,
                digest ? platform::hexString(*digest).c_str() : "");
        }
        std::fflush(stdout);
        done.set_value();
    };
    {
        platform::URLSession session(configuration);
        if (!resumeFile.empty()) {
            auto data = files.contentsOfFile(resumeFile);
            session.downloadTask(data ? *data : platform::Bytes {}, handler)->resume();
        } else {
            auto parsed = platform::URL::fromString(url);
            if (!parsed)
                return 2;
            session.downloadTask(*parsed, handler)->resume();
        }
        done.get_future().wait();
    }
    // The peak of this process image alone (getrusage would count the
    // parent's memory from before exec).
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (std::strncmp(line, "VmHWM:", 6) == 0)
                std::printf("peak_kib=%ld\n", std::strtol(line + 6, nullptr, 10));
        std::fclose(status);
    }
    return 0;
}
