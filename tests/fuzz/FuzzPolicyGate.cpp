// SPDX-License-Identifier: Apache-2.0
// The bytes of the agent's configuration file, as the policy gate reads them.
#include "Quenbury/ProceedResumeDownload.h"

#include <cstdint>
#include <fstream>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    static std::string const folder = [] {
        char pattern[] = "/tmp/quenbury-fuzz-gate-XXXXXX";
        return std::string(::mkdtemp(pattern));
    }();
    std::ofstream(folder + "/zkpatch_data.plist", std::ios::binary)
        .write(reinterpret_cast<char const*>(data), static_cast<std::streamsize>(size));
    (void)proceedResumeDownload(folder);
    return 0;
}
