// SPDX-License-Identifier: Apache-2.0
#pragma once

// The download service's own resume data: what it holds, its binary property list, and the decoder that treats stored
// bytes as untrusted.

#include "platform/Error.h"

#include <cstddef>

namespace platform {

/// What a later task needs to continue a broken transfer.
struct ResumeData {
    /// The URL the first task was created with, before any redirect.
    std::string url;
    /// The body's file name inside the service's private folder.
    std::string bodyFileName;
    /// Bytes of the body on disk that belong to the entity below.
    std::uint64_t bytesReceived = 0;
    /// The entity tag, strong or weak, or empty.
    std::string entityTag {};
    std::string lastModified {};
    std::optional<std::uint64_t> totalLength {};
    /// The absolute path of the body's folder; empty in older data, whose bodies lie in the temporary folder's
    /// "quenbury-<uid>". Used only where the service would choose it itself (see chooseBodyFolder).
    std::string bodyFolder {};

    /// The validator sent in If-Range: the strong entity tag, else Last-Modified, else none. A weak tag never goes
    /// there: a server may not answer a range to it, and the SHA-256 guards what it cannot.
    std::string rangeValidator() const;

    bool operator==(ResumeData const&) const = default;
};

inline constexpr std::uint64_t resumeDataFormatVersion = 1;
/// Resume data is small; anything larger is not ours.
inline constexpr std::size_t maximumResumeDataSize = 16 * 1024;

/// True for a name we could have given a body: "body-" and then letters, digits and "-".
bool isBodyFileName(std::string_view name);

[[nodiscard]] std::expected<Bytes, Error> encodeResumeData(ResumeData const& data);

/// Decodes untrusted bytes: every field is checked, and the error says which one is wrong (code Unknown, the reason
/// under NSUnderlyingError).
[[nodiscard]] std::expected<ResumeData, Error> decodeResumeData(Bytes const& bytes);

}
