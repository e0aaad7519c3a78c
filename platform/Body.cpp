// SPDX-License-Identifier: Apache-2.0
#include "platform/Body.h"

#include "platform/AtomicFile.h"
#include "platform/CurlErrors.h"

#include <curl/curl.h>
#include <unistd.h>

namespace platform {

namespace {

    /// The record `name` in `folder`, decoded as untrusted resume data; nothing when missing, not ours, or undecodable.
    std::optional<ResumeData> readRecord(int folder, std::string const& name)
    {
        FileDescriptor fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        auto status = fd ? statusOf(fd.get(), name) : std::unexpected(Error {});
        if (!status || !isOwnRegularFile(*status))
            return std::nullopt;
        auto contents = readAll(fd.get(), name, maximumResumeDataSize);
        auto decoded = contents ? decodeResumeData(*contents) : errorOf(contents);
        return decoded ? std::optional(*decoded) : std::nullopt;
    }

}

std::expected<Body, Error> Body::open(
    ChosenBodyFolder const& chosen, std::string const& url, std::optional<ResumeData> const& stored)
{
    BodyFolder const& folder = chosen.folder;
    // NOTE: neither a handler that ends the process nor a task that cannot open its body leaves an empty folder behind.
    ExitTidy folderTidy([&folder] { (void)folder.removeIfEmpty(); });
    if (auto parsed = URL::fromString(url); !parsed || (parsed->scheme != "http" && parsed->scheme != "https"))
        return std::unexpected(Error::url(URLErrorCode::UnsupportedURL, url, curlCodeText(CURLE_UNSUPPORTED_PROTOCOL)));
    auto locked = BodyFile::openLocked(folder, chosen.bodyName);
    bool taken = !locked && locked.error().is(ErrorDomain::POSIX, EWOULDBLOCK);
    // Another run is continuing this very transfer; its body is not ours to touch.
    if (taken && stored)
        return std::unexpected(Error::url(URLErrorCode::CannotWriteToFile, url,
            "The body is being written by another run: " + locked.error().description()));
    // NOTE: a live run owns this destination's body; ours gets a name of its own rather than failing.
    auto file = taken ? BodyFile::createUnique(folder, chosen.bodyName) : std::move(locked);
    if (!file)
        return std::unexpected(Error::url(URLErrorCode::CannotWriteToFile, url, file.error().description()));
    Body body(chosen, std::move(*file), std::move(folderTidy));
    // NOTE: only now that this run's body is locked may what others left be cleared: the bodies of killed runs, and
    // week-old ones, but never this body (the only one a run continues) nor its record.
    folder.removeLeftovers(chosen.bodyName, body.m_recordName);
    body.m_continuesFrom
        = continuation(stored, readRecord(folder.descriptor(), body.m_recordName), url, folder.path(), body.name());
    return body;
}

Body::Body(ChosenBodyFolder const& folder, BodyFile file, ExitTidy folderTidy)
    : m_folder(&folder)
    , m_file(std::move(file))
    , m_recordName(m_file.name() + ".progress")
    , m_folderTidy(std::move(folderTidy))
{
}

std::expected<StartingPoint, Error> Body::start()
{
    auto size = m_file.sizeOnDisk();
    if (!size)
        return errorOf(size);
    auto start = startingPoint(m_continuesFrom, *size);
    m_resumedBytesDropped = start.dropsResumedBytes;
    if (auto cut = m_file.truncate(start.keptLength); !cut)
        return errorOf(cut);
    return start;
}

std::expected<void, Error> Body::startOver()
{
    m_resumedBytesDropped = true;
    return m_file.truncate(0);
}

bool Body::recordProgress(std::optional<Bytes> const& data)
{
    // One writer at a time: the record belongs to the body, which we hold locked.
    int folder = m_folder->folder.descriptor();
    auto file = data ? AtomicFile::create(folder, m_recordName, m_recordName, 0600) : std::unexpected(Error {});
    if (file && writeAll(file->descriptor(), *data, m_recordName) && file->commit(AtomicFile::Durability::Unsynced))
        return true;
    // NOTE: an older record must not outlive the body it described: the body may now grow with another entity's bytes.
    ::unlinkat(folder, m_recordName.c_str(), 0);
    return false;
}

Error Body::fail(Error error, std::optional<Bytes> resumeData)
{
    if (!resumableFailure(error))
        resumeData.reset();
    // A switch, so that a fate added later is not silently kept.
    switch (failedBodyFate(resumeData.has_value(), m_continuesFrom.has_value(), m_resumedBytesDropped)) {
    case BodyFate::KeepForResume:
        (void)recordProgress(*resumeData);
        error.userInfo.insert_or_assign(std::string(UserInfoKey::DownloadTaskResumeData), std::move(*resumeData));
        break;
    case BodyFate::Discard:
        m_file.remove();
        ::unlinkat(m_folder->folder.descriptor(), m_recordName.c_str(), 0);
        break;
    case BodyFate::Keep:
        break;
    }
    return error;
}

URL Body::handOver(std::optional<Bytes> const& complete)
{
    m_file.handOverDigest();
    // NOTE: should the move fail, the next run finds the finished body through its record, beside the destination.
    bool recorded = recordProgress(complete);
    // The names are still ours: the body is held locked, its record written by us alone.
    auto body = identityAt(m_folder->folder.descriptor(), m_file.name());
    auto record = recorded ? identityAt(m_folder->folder.descriptor(), m_recordName) : std::nullopt;
    bool waits = recorded && m_folder->foundAgain;
    // NOTE: by name only while it is still our file: once the handler moved the body away, the name may be a concurrent
    // run's body, and its record too; the folder, emptied or not, is its own tidy's.
    m_handedOverTidy.emplace(
        [folder = m_folder->folder.descriptor(), name = m_file.name(), recordName = m_recordName, body, record, waits] {
            if (waits && body && identityAt(folder, name) == body)
                return;
            if (body)
                unlinkIfStill(folder, name, *body);
            if (record)
                unlinkIfStill(folder, recordName, *record);
        });
    return URL::fileURL(m_file.path());
}

}
