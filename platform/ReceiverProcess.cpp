// SPDX-License-Identifier: Apache-2.0
#include "platform/ReceiverProcess.h"

#include <climits>
#include <csignal>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

namespace {

    constexpr int channelDescriptor = 3;
    constexpr int bodyDescriptor = 4;

    std::expected<FileDescriptor, Error> openReceiverProgram()
    {
        char self[PATH_MAX];
        ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (length <= 0)
            return std::unexpected(Error::fromErrno("readlink", "/proc/self/exe", length < 0 ? errno : ENOENT));
        std::string folder(self, static_cast<size_t>(length));
        folder.erase(folder.find_last_of('/'));
        for (auto const& candidate :
            { folder + "/quenbury-receiver", folder + "/../libexec/quenbury/quenbury-receiver" }) {
            FileDescriptor fd(::open(candidate.c_str(), O_RDONLY | O_CLOEXEC));
            if (!fd)
                continue;
            auto status = statusOf(fd.get(), candidate);
            if (!status)
                return errorOf(status);
            if (!isProgramOfRootsOwn(*status))
                return std::unexpected(Error::refused(candidate, "not a program of root's own"));
            return fd;
        }
        return std::unexpected(Error::fromErrno("open", folder + "/quenbury-receiver", ENOENT));
    }

}

bool isProgramOfRootsOwn(struct stat const& status)
{
    return S_ISREG(status.st_mode) && (status.st_uid == 0 || status.st_uid == ::geteuid())
        && !(status.st_mode & (S_IWGRP | S_IWOTH));
}

std::expected<ReceiverProcess, Error> ReceiverProcess::start()
{
    auto program = openReceiverProgram();
    if (!program)
        return errorOf(program);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return std::unexpected(Error::fromErrno("socketpair", "", errno));
    FileDescriptor ours(pair[0]), theirs(pair[1]);
    // NOTE: the root process's end never blocks: a Piece's bytes are there when it comes, or the receiver lied.
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        return std::unexpected(Error::fromErrno("pipe2", "", errno));
    FileDescriptor bodyOut(pipe[0]), bodyIn(pipe[1]);
    // NOTE: the largest Piece where the system allows it, for fewer, larger hand-overs; a smaller pipe (a user over the
    // system's pipe quota) only means smaller pieces: the receiver asks.
    (void)::fcntl(bodyIn.get(), F_SETPIPE_SZ, static_cast<int>(receiver::maximumPiece));
    if (::fcntl(bodyOut.get(), F_SETFL, O_NONBLOCK) != 0)
        return std::unexpected(Error::fromErrno("fcntl", "", errno));
    // NOTE: above the receiver's numbers, so that putting them in place in the child overwrites none.
    FileDescriptor executable(::fcntl(program->get(), F_DUPFD_CLOEXEC, bodyDescriptor + 1));
    FileDescriptor channel(::fcntl(theirs.get(), F_DUPFD_CLOEXEC, bodyDescriptor + 1));
    FileDescriptor body(::fcntl(bodyIn.get(), F_DUPFD_CLOEXEC, bodyDescriptor + 1));
    // NOTE: the receiver gets none of our standard streams: whatever it were made to write could otherwise pass for a
    // record of the root process.
    FileDescriptor nothing(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!executable || !channel || !body || !nothing)
        return std::unexpected(Error::fromErrno("open", "", errno));
    // NOTE: TLS goes through OpenSSL; GnuTLS, loaded with libcurl, would otherwise set itself up for nothing.
    std::vector<char*> environment;
    for (char** variable = environ; *variable; ++variable)
        environment.push_back(*variable);
    char skipGnuTLS[] = "GNUTLS_NO_IMPLICIT_INIT=1";
    environment.push_back(skipGnuTLS);
    environment.push_back(nullptr);
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0)
        return std::unexpected(Error::fromErrno("fork", "", errno));
    if (pid == 0) {
        // NOTE: only calls safe after a fork until the program runs.
        if (::dup2(channel.get(), channelDescriptor) != channelDescriptor
            || ::dup2(body.get(), bodyDescriptor) != bodyDescriptor || ::dup2(nothing.get(), 0) != 0
            || ::dup2(nothing.get(), 1) != 1 || ::dup2(nothing.get(), 2) != 2 || ::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0
            || ::getppid() != parent)
            ::_exit(127);
        char name[] = "quenbury-receiver";
        char* argv[] = { name, nullptr };
        ::syscall(SYS_execveat, executable.get(), "", argv, environment.data(), AT_EMPTY_PATH);
        ::_exit(127);
    }
    ReceiverProcess process;
    process.m_pid = pid;
    process.m_socket = std::move(ours);
    process.m_body = std::move(bodyOut);
    return process;
}

ReceiverProcess::~ReceiverProcess()
{
    if (!m_socket)
        return; // Moved from: the process is the new owner's.
    stop();
    if (m_pid > 0)
        (void)::waitpid(m_pid, nullptr, WNOHANG);
}

bool ReceiverProcess::send(std::span<std::uint8_t const> packet)
{
    ssize_t sent = retryOnInterrupt([&] { return ::send(m_socket.get(), packet.data(), packet.size(), MSG_NOSIGNAL); });
    return sent == static_cast<ssize_t>(packet.size());
}

ReceiverProcess::Received ReceiverProcess::receive(std::chrono::milliseconds timeout)
{
    pollfd ready { m_socket.get(), POLLIN, 0 };
    int polled = ::poll(&ready, 1, static_cast<int>(timeout.count()));
    if (polled <= 0)
        return { polled < 0 && errno != EINTR ? Received::Kind::Gone : Received::Kind::Nothing };
    // NOTE: MSG_TRUNC gives a packet's real length, so an oversized one is seen as such, not read in part.
    ssize_t length = ::recv(m_socket.get(), m_buffer.data(), m_buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
    if (length < 0)
        return { errno == EAGAIN || errno == EINTR ? Received::Kind::Nothing : Received::Kind::Gone };
    if (length == 0)
        return { Received::Kind::Gone };
    if (static_cast<size_t>(length) > receiver::maximumPacket)
        return { Received::Kind::Refused, std::nullopt, "An oversized message" };
    auto message = receiver::decodeFromReceiver(std::span(m_buffer).first(static_cast<size_t>(length)));
    if (!message)
        return { Received::Kind::Refused, std::nullopt,
            std::string(message.error().string(UserInfoKey::UnderlyingError).value_or("A malformed message")) };
    return { Received::Kind::Message, std::move(*message) };
}

void ReceiverProcess::stop()
{
    // NOTE: once confined the receiver is another user and may not be signalled: the closed channel ends it at its next
    // step.
    if (m_socket)
        (void)::shutdown(m_socket.get(), SHUT_RDWR);
    if (m_pid > 0)
        (void)::kill(m_pid, SIGKILL);
}

void ReceiverProcess::finish()
{
    stop();
    for (int waited = 0; m_pid > 0 && waited < 2000; ++waited) {
        if (::waitpid(m_pid, nullptr, WNOHANG) != 0)
            m_pid = -1;
        else
            ::usleep(1000);
    }
}

}
