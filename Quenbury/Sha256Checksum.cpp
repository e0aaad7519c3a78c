// SPDX-License-Identifier: Apache-2.0
#include "Quenbury/Sha256Checksum.h"

#include "platform/DigestHandOff.h"
#include "platform/Log.h"
#include "platform/Sha256.h"
#include "platform/Text.h"

bool sha256Checksum(
    std::string const& forFileAtPath, std::string const& compare, std::optional<platform::FileIdentity> placed)
{
    auto digest = platform::digestOfFile(forFileAtPath, placed);
    if (!digest) {
        platform::printLine("Error reading the file or calculating SHA-256: " + digest.error().description());
        return false;
    }
    std::string digestText = platform::hexString(*digest);
    platform::NSLog("downloaded file checksum ->" + digestText + "\nGiven checksum ->" + compare);
    bool matched = platform::equalsIgnoringCase(digestText, compare);
    platform::NSLog(matched ? "SHA256 checksum validated succesfully NSComparisonResult"
                            : "SHA256 checksum validation failed NSComparisonResult");
    return matched;
}
