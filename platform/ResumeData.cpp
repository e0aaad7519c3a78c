// SPDX-License-Identifier: Apache-2.0
#include "platform/ResumeData.h"

#include "platform/HttpHeaders.h"
#include "platform/PropertyList.h"
#include "platform/Url.h"

#include <algorithm>
#include <limits>

namespace platform {

namespace {

    // The format, one binary property list dictionary of these keys:
    constexpr std::string_view versionKey = "QuenburyResumeVersion"; // integer, resumeDataFormatVersion
    constexpr std::string_view urlKey = "URL"; // string, the original URL, http or https
    constexpr std::string_view bodyKey = "BodyFileName"; // string, see isBodyFileName
    constexpr std::string_view bytesKey = "BytesReceived"; // integer, body bytes on disk, at most 2^63 - 1
    constexpr std::string_view entityTagKey = "EntityTag"; // optional string, strong or weak ("W/")
    constexpr std::string_view lastModifiedKey = "LastModified"; // optional string; at least one of the two
    constexpr std::string_view totalLengthKey = "TotalLength"; // optional integer, the entity's complete length
    constexpr std::string_view bodyFolderKey = "BodyFolder"; // optional string, the absolute path of the body's folder
    constexpr auto largestLength = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

    constexpr size_t maximumFolderLength = 4096;

    std::unexpected<Error> undecodable(std::string_view reason)
    {
        return std::unexpected(
            Error::url(URLErrorCode::Unknown, "", "Resume data could not be decoded: " + std::string(reason)));
    }

    bool holdsNonText(PropertyList const& list, std::string_view key)
    {
        return list.boolean(key) || list.unsignedInteger(key) || list.holdsData(key);
    }

}

std::string ResumeData::rangeValidator() const
{
    return isStrongEntityTag(entityTag) ? entityTag : lastModified;
}

bool isBodyFileName(std::string_view name)
{
    constexpr std::string_view prefix = "body-";
    if (!name.starts_with(prefix) || name.size() == prefix.size() || name.size() > 128)
        return false;
    return std::ranges::all_of(name,
        [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'; });
}

std::expected<Bytes, Error> encodeResumeData(ResumeData const& data)
{
    auto list = PropertyList::dictionary();
    list.set(versionKey, resumeDataFormatVersion);
    list.set(urlKey, data.url);
    list.set(bodyKey, data.bodyFileName);
    list.set(bytesKey, data.bytesReceived);
    if (!data.entityTag.empty())
        list.set(entityTagKey, data.entityTag);
    if (!data.lastModified.empty())
        list.set(lastModifiedKey, data.lastModified);
    if (data.totalLength)
        list.set(totalLengthKey, *data.totalLength);
    if (!data.bodyFolder.empty())
        list.set(bodyFolderKey, data.bodyFolder);
    return list.binaryData();
}

std::expected<ResumeData, Error> decodeResumeData(Bytes const& bytes)
{
    if (bytes.size() > maximumResumeDataSize)
        return undecodable("larger than " + std::to_string(maximumResumeDataSize) + " bytes");
    // Only the binary form: the XML reader is a larger surface for bytes we did not write.
    if (!std::string_view(reinterpret_cast<char const*>(bytes.data()), bytes.size()).starts_with("bplist00"))
        return undecodable("not a binary property list");
    auto list = PropertyList::fromBytes(bytes);
    if (!list)
        return undecodable("malformed property list");
    if (!list->isDictionary())
        return undecodable("not a dictionary");

    auto version = list->unsignedInteger(versionKey);
    if (!version)
        return undecodable("no version");
    if (*version != resumeDataFormatVersion)
        return undecodable("version mismatch: expected " + std::to_string(resumeDataFormatVersion) + ", got "
            + std::to_string(*version));

    auto url = list->string(urlKey);
    if (!url || !isHTTPURL(*url))
        return undecodable("URL missing or not http/https");
    auto body = list->string(bodyKey);
    if (!body || !isBodyFileName(*body))
        return undecodable("body file name missing or not a plain body name");
    auto received = list->unsignedInteger(bytesKey);
    if (!received || *received > largestLength)
        return undecodable("byte count missing or out of range");
    ResumeData data { .url = *url, .bodyFileName = *body, .bytesReceived = *received };

    if (holdsNonText(*list, entityTagKey) || holdsNonText(*list, lastModifiedKey))
        return undecodable("validator not text");
    if (auto tag = list->string(entityTagKey)) {
        if (tag->size() > maximumValidatorLength || !isEntityTag(*tag))
            return undecodable("entity tag not a quoted tag");
        data.entityTag = *tag;
    }
    if (auto modified = list->string(lastModifiedKey)) {
        if (modified->empty() || modified->size() > maximumValidatorLength || !isHeaderSafe(*modified))
            return undecodable("Last-Modified not a header value");
        data.lastModified = *modified;
    }
    if (data.entityTag.empty() && data.lastModified.empty())
        return undecodable("no validator");
    if (list->boolean(totalLengthKey) || list->string(totalLengthKey) || list->holdsData(totalLengthKey))
        return undecodable("total length not an integer");
    if (auto total = list->unsignedInteger(totalLengthKey)) {
        if (*total < data.bytesReceived || *total > largestLength)
            return undecodable("total length out of range");
        data.totalLength = *total;
    }
    if (holdsNonText(*list, bodyFolderKey))
        return undecodable("body folder not text");
    if (auto folder = list->string(bodyFolderKey)) {
        // Only a bound here: a task takes a folder only when it is one it would choose itself, compared in full.
        if (folder->empty() || folder->front() != '/' || folder->size() > maximumFolderLength
            || folder->find('\0') != std::string::npos)
            return undecodable("body folder not an absolute path");
        data.bodyFolder = *folder;
    }
    return data;
}

}
