// The bytes of the agent's configuration file, as the policy gate reads them.
#include "Quenbury/ProceedResumeDownload.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    static std::string const folder = [] {
        char pattern[] = "/tmp/quenbury-fuzz-gate-XXXXXX";
        return std::string(::mkdtemp(pattern));
    }();
    std::string path = folder + "/zkpatch_data.plist";
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    (void)proceedResumeDownload(folder);
    return 0;
}
