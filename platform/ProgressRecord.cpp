// SPDX-License-Identifier: Apache-2.0
#include "platform/ProgressRecord.h"

#include "platform/Posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

ProgressRecord::ProgressRecord(BodyFolder const& folder, std::string bodyFileName)
    : m_folder(folder.descriptor())
    , m_name(bodyFileName + ".progress")
    , m_temporary(m_name + ".new")
{
}

std::optional<ResumeData> ProgressRecord::read() const
{
    FileDescriptor fd(::openat(m_folder, m_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status { };
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid())
        return std::nullopt;
    auto contents = readAll(fd.get(), maximumResumeDataSize);
    if (!contents)
        return std::nullopt;
    auto decoded = decodeResumeData(*contents);
    return decoded ? std::optional(*decoded) : std::nullopt;
}

bool ProgressRecord::write(Bytes const& data) const
{
    // One writer at a time: the record belongs to the body, which we hold
    // locked. A sibling that a killed writer left goes first.
    ::unlinkat(m_folder, m_temporary.c_str(), 0);
    FileDescriptor fd(
        ::openat(m_folder, m_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    bool written = fd && writeAll(fd.get(), data).has_value();
    if (fd && fd.close() == 0 && written && ::renameat(m_folder, m_temporary.c_str(), m_folder, m_name.c_str()) == 0)
        return true;
    // NOTE: an older record must not outlive the body it described: the body
    // may now grow with another entity's bytes.
    remove();
    return false;
}

void ProgressRecord::remove() const
{
    ::unlinkat(m_folder, m_name.c_str(), 0);
    ::unlinkat(m_folder, m_temporary.c_str(), 0);
}

}
