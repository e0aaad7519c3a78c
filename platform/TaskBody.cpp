// SPDX-License-Identifier: Apache-2.0
#include "platform/TaskBody.h"

#include "platform/BodyProgressRecord.h"
#include "platform/CurlErrors.h"
#include "platform/ResumeDecisions.h"
#include "platform/Url.h"

#include <cerrno>
#include <curl/curl.h>

namespace platform {

std::expected<TaskBody, Error> openTaskBody(
    BodyFolder const& folder, std::string const& url, std::optional<ResumeData> const& stored)
{
    if (auto parsed = URL::fromString(url); !parsed || (parsed->scheme != "http" && parsed->scheme != "https"))
        return std::unexpected(Error::url(URLErrorCode::UnsupportedURL, url, curlCodeText(CURLE_UNSUPPORTED_PROTOCOL)));
    std::expected<BodyFile, Error> body = std::unexpected(Error {});
    if (stored) {
        body = BodyFile::openLocked(folder, stored->bodyFileName);
        if (!body && body.error().is(ErrorDomain::POSIX, EWOULDBLOCK)) {
            // Another run is continuing this very transfer; its body is not ours to touch.
            return std::unexpected(Error::url(URLErrorCode::CannotWriteToFile, url,
                "The body is being written by another run: " + body.error().description()));
        }
    } else {
        std::string name = bodyFileNameForURL(url);
        if (name.empty())
            return std::unexpected(Error::url(URLErrorCode::Unknown, url, "SHA-256 of the URL failed"));
        body = BodyFile::openLocked(folder, name);
        // NOTE: a live run owns the body named after this URL; ours gets a
        // name of its own rather than failing.
        if (!body && body.error().is(ErrorDomain::POSIX, EWOULDBLOCK))
            body = BodyFile::createUnique(folder, name);
    }
    if (!body)
        return std::unexpected(Error::url(URLErrorCode::CannotWriteToFile, url, body.error().description()));
    auto record = BodyProgressRecord(folder, body->name()).read();
    auto resume = continuation(stored, record, url, folder.path(), body->name());
    return TaskBody { std::move(*body), std::move(resume) };
}

}
