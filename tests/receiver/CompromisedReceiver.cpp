// SPDX-License-Identifier: Apache-2.0
// A receiver taken over by whoever controls libcurl: preloaded into quenbury-receiver (LD_PRELOAD; the tool passes its
// environment on), it wraps only calls the root process never makes, so there it does nothing. Each request's
// curl_easy_perform runs after the receiver confined itself; QUENBURY_TEST_RECEIVER says what it then does:
//   attack     tries to write, make devices, signal or trace the root process, regain root or a capability, and run
//              another program; if any of that works, it forges the body, so that the run is rejected
//   forge      flips every body byte it hands over
//   malformed  sends a packet of no known type instead of performing
//   oversized  sends a packet longer than any message instead of performing
//   headless   ends the request as a success without a header or a body
//   overrun    after a ranged request's whole body, sends more body pieces than the response holds
//   unsent     announces a piece of the body before it put the piece's bytes in the pipe

#define CURL_DISABLE_TYPECHECK
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <string>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int channel = 3;
constexpr int bodyPipe = 4;
/// A Piece of 1000 bytes, as the receiver announces them.
std::string const pieceOf1000("P\xe8\x03\x00\x00", 5);

using WriteFunction = size_t (*)(char*, size_t, size_t, void*);
WriteFunction realWrite = nullptr;
void* realWriteData = nullptr;
bool forging = false;
bool ranged = false;
bool unsent = false;

bool sendPacket(std::string const& packet)
{
    return ::send(channel, packet.data(), packet.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size());
}

size_t forgedWrite(char* data, size_t size, size_t count, void*)
{
    if (unsent) { // Nothing follows in the pipe: the transfer ends here.
        (void)sendPacket(pieceOf1000);
        return 0;
    }
    if (forging)
        for (size_t i = 0; i < size * count; ++i)
            data[i] = static_cast<char>(~data[i]);
    return realWrite(data, size, count, realWriteData);
}

/// Each thing a confined receiver must not be able to do; true when any of them worked.
bool escaped()
{
    pid_t parent = ::getppid();
    // The store, the body's folder and the resume folder (there on a resumed run) are where the root process itself
    // may write, and so may a receiver that kept root's identity or escaped its own file rules.
    bool any = false;
    for (char const* path : { "/Library/Brindlecote/Ostrel_Agent/store/planted.pkg",
             "/Library/Brindlecote/Ostrel_Agent/store/.quenbury-partial/planted",
             "/private/tmp/Library/Brindlecote/Ostrel_Agent/store/planted", "/private/tmp/planted", "/tmp/planted" }) {
        if (int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644); fd >= 0) {
            any = true;
            ::close(fd);
        }
    }
    any |= ::mknod("/tmp/planted-device", S_IFBLK | 0600, ::makedev(7, 0)) == 0;
    any |= ::setuid(0) == 0;
    if (::ptrace(PTRACE_ATTACH, parent, nullptr, nullptr) == 0) {
        // Let the root process go on, so that the forged body shows what happened.
        (void)::waitpid(parent, nullptr, __WALL);
        (void)::ptrace(PTRACE_DETACH, parent, nullptr, nullptr);
        any = true;
    }
    __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct raised[2] {};
    raised[0].effective = raised[0].permitted = 1U << CAP_DAC_OVERRIDE;
    any |= ::syscall(SYS_capset, &header, raised) == 0;
    // A dead root process or a program in the receiver's place fails the run on its own.
    (void)::kill(parent, SIGKILL);
    char program[] = "/bin/true";
    char* argv[] = { program, nullptr };
    (void)::execve(program, argv, environ);
    return any;
}

}

extern "C" CURLcode curl_easy_setopt(CURL* curl, CURLoption option, ...)
{
    static auto real = reinterpret_cast<CURLcode (*)(CURL*, CURLoption, ...)>(::dlsym(RTLD_NEXT, "curl_easy_setopt"));
    va_list arguments;
    // NOTE: libcurl's own signature names an enumeration last; its values are ints, as passed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wvarargs"
    va_start(arguments, option);
#pragma GCC diagnostic pop
    CURLcode result;
    if (option < CURLOPTTYPE_OBJECTPOINT) {
        result = real(curl, option, va_arg(arguments, long));
    } else if (option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB) {
        result = real(curl, option, va_arg(arguments, curl_off_t));
    } else {
        void* value = va_arg(arguments, void*);
        if (option == CURLOPT_WRITEFUNCTION) {
            realWrite = reinterpret_cast<WriteFunction>(value);
            value = reinterpret_cast<void*>(&forgedWrite);
        } else if (option == CURLOPT_WRITEDATA) {
            realWriteData = value;
        } else if (option == CURLOPT_HTTPHEADER) {
            ranged = false;
            for (auto const* line = static_cast<curl_slist const*>(value); line; line = line->next)
                ranged |= std::strncmp(line->data, "Range:", 6) == 0;
        }
        result = real(curl, option, value);
    }
    va_end(arguments);
    return result;
}

extern "C" CURLcode curl_easy_perform(CURL* curl)
{
    static auto real = reinterpret_cast<CURLcode (*)(CURL*)>(::dlsym(RTLD_NEXT, "curl_easy_perform"));
    char const* mode = std::getenv("QUENBURY_TEST_RECEIVER");
    std::string const wanted = mode ? mode : "";
    if (wanted == "malformed" || wanted == "oversized" || wanted == "headless") {
        if (wanted != "headless")
            (void)sendPacket(wanted == "malformed" ? std::string("Zgarbage") : std::string(70000, 'P'));
        return CURLE_OK; // The receiver's own End follows.
    }
    forging = wanted == "forge" || (wanted == "attack" && escaped());
    unsent = wanted == "unsent";
    CURLcode result = real(curl);
    if (wanted == "overrun" && ranged && result == CURLE_OK)
        for (int i = 0; i < 4; ++i)
            if (::write(bodyPipe, std::string(1000, 'j').data(), 1000) == 1000)
                (void)sendPacket(pieceOf1000);
    return result;
}
