// SPDX-License-Identifier: Apache-2.0
#include "platform/BodyProgressRecord.h"

#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

namespace platform {

BodyProgressRecord::BodyProgressRecord(BodyFolder const& folder, std::string bodyFileName)
    : m_folder(folder.descriptor())
    , m_name(bodyFileName + ".progress")
{
}

std::optional<ResumeData> BodyProgressRecord::read() const
{
    FileDescriptor fd(::openat(m_folder, m_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    auto status = fd ? statusOf(fd.get(), m_name) : std::unexpected(Error {});
    if (!status || !isOwnRegularFile(*status))
        return std::nullopt;
    auto contents = readAll(fd.get(), m_name, maximumResumeDataSize);
    auto decoded = contents ? decodeResumeData(*contents) : errorOf(contents);
    return decoded ? std::optional(*decoded) : std::nullopt;
}

bool BodyProgressRecord::write(Bytes const& data) const
{
    // One writer at a time: the record belongs to the body, which we hold locked.
    auto file = AtomicFile::create(m_folder, m_name, m_name, 0600);
    if (file && writeAll(file->descriptor(), data, m_name) && file->commit(AtomicFile::Durability::Unsynced))
        return true;
    // NOTE: an older record must not outlive the body it described: the body may now grow with another entity's bytes.
    remove();
    return false;
}

void BodyProgressRecord::remove() const
{
    ::unlinkat(m_folder, m_name.c_str(), 0);
}

}
