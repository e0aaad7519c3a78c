// SPDX-License-Identifier: Apache-2.0
#include "platform/Body.h"

#include "platform/CurlErrors.h"
#include "platform/Process.h"
#include "platform/ResumeDecisions.h"

#include <cerrno>
#include <curl/curl.h>

namespace platform {

std::expected<Body, Error> Body::open(
    ChosenBodyFolder const& chosen, std::string const& url, std::optional<ResumeData> const& stored)
{
    BodyFolder const& folder = chosen.folder;
    // NOTE: a handler that ends the process must not leave an empty folder behind.
    setExitTidy([&folder] { (void)BodyFolder::removeEmpty(folder.path(), folder.descriptor()); });
    if (auto parsed = URL::fromString(url); !parsed || (parsed->scheme != "http" && parsed->scheme != "https"))
        return std::unexpected(Error::url(URLErrorCode::UnsupportedURL, url, curlCodeText(CURLE_UNSUPPORTED_PROTOCOL)));
    std::expected<BodyFile, Error> file = std::unexpected(Error {});
    if (stored) {
        file = BodyFile::openLocked(folder, stored->bodyFileName);
        if (!file && file.error().is(ErrorDomain::POSIX, EWOULDBLOCK)) {
            // Another run is continuing this very transfer; its body is not ours to touch.
            return std::unexpected(Error::url(URLErrorCode::CannotWriteToFile, url,
                "The body is being written by another run: " + file.error().description()));
        }
    } else {
        auto name = bodyFileNameForURL(url);
        if (!name)
            return std::unexpected(Error::url(URLErrorCode::Unknown, url, name.error().description()));
        file = BodyFile::openLocked(folder, *name);
        // NOTE: a live run owns the body named after this URL; ours gets a
        // name of its own rather than failing.
        if (!file && file.error().is(ErrorDomain::POSIX, EWOULDBLOCK))
            file = BodyFile::createUnique(folder, *name);
    }
    if (!file)
        return std::unexpected(Error::url(URLErrorCode::CannotWriteToFile, url, file.error().description()));
    auto record = BodyProgressRecord(folder, file->name()).read();
    auto continuesFrom = continuation(stored, record, url, folder.path(), file->name());
    return Body(chosen, std::move(*file), std::move(continuesFrom));
}

Body::Body(ChosenBodyFolder const& folder, BodyFile file, std::optional<ResumeData> continuesFrom)
    : m_folder(&folder)
    , m_file(std::move(file))
    , m_record(folder.folder, m_file.name())
    , m_continuesFrom(std::move(continuesFrom))
{
}

Body::Body(Body&& other) noexcept
    : m_folder(other.m_folder)
    , m_file(std::move(other.m_file))
    , m_record(std::move(other.m_record))
    , m_continuesFrom(std::move(other.m_continuesFrom))
    , m_owner(std::exchange(other.m_owner, false))
{
}

Body::~Body()
{
    if (m_owner)
        tidyNow();
}

bool Body::recordProgress(std::optional<Bytes> const& data)
{
    if (data && m_record.write(*data))
        return true;
    m_record.remove();
    return false;
}

void Body::keepForResume(Bytes const& data)
{
    (void)recordProgress(data);
}

void Body::discard()
{
    m_file.remove();
    m_record.remove();
}

URL Body::handOver(std::optional<Bytes> const& complete)
{
    // The body was hashed as it arrived; verifying it need not read it again.
    m_file.handOverDigest();
    // NOTE: the record stays until the body is placed: should the move fail,
    // the next run finds the finished body through it, where it lies beside
    // the destination. Otherwise the body belongs to the service, and a
    // handler that ends the process without moving it leaves nothing behind.
    bool recorded = recordProgress(complete);
    // The names are still ours: the body is held locked, its record written by us alone.
    auto body = identityAt(m_folder->folder.descriptor(), m_file.name());
    auto record = recorded ? identityAt(m_folder->folder.descriptor(), m_record.name()) : std::nullopt;
    bool waits = recorded && m_folder->foundAgain;
    // NOTE: by name only while it is still our file: once the handler moved the
    // body away, the name may be a concurrent run's body, and its record too.
    setExitTidy([&folder = m_folder->folder, name = m_file.name(), recordName = m_record.name(), body, record, waits] {
        bool unmoved = body && identityAt(folder.descriptor(), name) == body;
        if (!(waits && unmoved)) {
            if (body)
                unlinkIfStill(folder.descriptor(), name, *body);
            if (record)
                unlinkIfStill(folder.descriptor(), recordName, *record);
        }
        // Fails, as it should, while a body (ours kept, or a concurrent run's) is still inside.
        (void)BodyFolder::removeEmpty(folder.path(), folder.descriptor());
    });
    return URL::fileURL(m_file.path());
}

}
