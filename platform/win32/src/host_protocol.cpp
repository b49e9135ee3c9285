// Framing of the machine host's protocol (host_protocol.h): whole frames written with one
// sendmsg, read back with blocking reads.
#include "host_protocol.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tqwin32::host {

bool SendFrame(int fd, Type type, const void *record, std::size_t recordSize, const void *extra1,
               std::size_t extra1Size, const void *extra2, std::size_t extra2Size)
{
    FrameHeader header{static_cast<std::uint32_t>(recordSize + extra1Size + extra2Size),
                       static_cast<std::uint32_t>(type)};
    iovec parts[4] = {{&header, sizeof header},
                      {const_cast<void *>(record), recordSize},
                      {const_cast<void *>(extra1), extra1Size},
                      {const_cast<void *>(extra2), extra2Size}};
    int count = 4;
    int first = 0;
    while (first < count) {
        msghdr message{};
        message.msg_iov = parts + first;
        message.msg_iovlen = static_cast<std::size_t>(count - first);
        ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        // A short write on a stream socket: go on from where it stopped.
        auto left = static_cast<std::size_t>(sent);
        while (first < count && left >= parts[first].iov_len) {
            left -= parts[first].iov_len;
            first++;
        }
        if (first < count) {
            parts[first].iov_base = static_cast<char *>(parts[first].iov_base) + left;
            parts[first].iov_len -= left;
        }
    }
    return true;
}

namespace {

bool ReadAll(int fd, void *buffer, std::size_t size)
{
    auto *at = static_cast<unsigned char *>(buffer);
    while (size > 0) {
        ssize_t got = recv(fd, at, size, MSG_WAITALL);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        at += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

bool ReceiveFrame(int fd, Frame &frame)
{
    FrameHeader header{};
    if (!ReadAll(fd, &header, sizeof header) || header.length > kMaxPayload)
        return false;
    frame.type = static_cast<Type>(header.type);
    frame.payload.resize(header.length);
    return header.length == 0 || ReadAll(fd, frame.payload.data(), header.length);
}

bool SocketPathFromEnvironment(std::string &path)
{
    const char *named = std::getenv("TQ4815_HOST");
    if (named == nullptr || *named == '\0')
        return false;
    path = named;
    return true;
}

std::string DefaultSocketPath()
{
    std::string path;
    if (SocketPathFromEnvironment(path))
        return path;
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0')
        return std::string(runtime) + "/tq4815-host.sock";
    return "/tmp/tq4815-" + std::to_string(getuid()) + "/tq4815-host.sock";
}

}  // namespace tqwin32::host
