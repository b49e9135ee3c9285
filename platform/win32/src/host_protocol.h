// The machine host's protocol (platform/win32/README.md, "The machine host"): frames on a
// Unix-domain stream socket, each a header (payload length, message type) followed by one
// fixed little-endian record and, for some types, bytes whose count the record gives.
// Shared by the client side (host_client.cpp, inside CreateFileA and friends) and the host
// (host_server.cpp).
#ifndef TQ_WIN32_HOST_PROTOCOL_H
#define TQ_WIN32_HOST_PROTOCOL_H

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace tqwin32::host {

static_assert(std::endian::native == std::endian::little, "records travel as the host lays them out");

inline constexpr std::uint32_t kMagic = 0x53485154;  // "TQHS"
// Raised with every change of a record or of the meaning of a message.
inline constexpr std::uint32_t kVersion = 1;
// Largest buffer a forwarded device control may have (each of input and output), and the
// largest payload either side accepts: a device control's two buffers and some slack.
inline constexpr std::uint32_t kMaxBuffer = 32u << 20;
inline constexpr std::uint32_t kMaxPayload = 2 * kMaxBuffer + 4096;

enum class Type : std::uint32_t {
    Hello = 1,         // client → host, first frame of every connection
    HelloReply,        // host → client
    Open,              // thread connection: open a device path
    OpenReply,
    Close,             // close a file
    CloseReply,
    Control,           // device control
    ControlReply,      // its result (or "pending" for an overlapped request)
    Cancel,
    CancelReply,
    HandleQuery,       // host → client during a request: what is this handle of yours?
    HandleAnswer,
    MachineText,       // host → client: text the machine printed for this request
    EventSignal,       // session connection, host → client: the driver signalled your event
    Completion,        // session connection, host → client: an overlapped request ended
    Stop,              // stop connection: end the host
};

struct FrameHeader {
    std::uint32_t length;  // payload bytes after the header
    std::uint32_t type;
};

enum class ConnectionKind : std::uint32_t { Session = 1, Thread = 2, Stop = 3 };

// Hello: magic and version first, so that any version can read them. A session connection
// names the machine configuration the client wants (TQ4815_SIM; simLength bytes follow);
// a thread connection joins the session it names.
struct Hello {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t kind;
    std::uint32_t simPresent;
    std::uint64_t sessionId;
    std::uint64_t sessionKey;
    std::uint32_t simLength;
    std::uint32_t pid;
};

// Status 0: accepted. Otherwise refused; textLength bytes of text say why. Accepted or not,
// the text (what the machine printed while it booted) is the client's to show.
struct HelloReply {
    std::uint32_t magic;
    std::uint32_t version;
    std::int32_t status;
    std::uint32_t textLength;
    std::uint64_t sessionId;
    std::uint64_t sessionKey;
};
inline constexpr std::int32_t kRefusedVersion = 1;
inline constexpr std::int32_t kRefusedMachine = 2;
inline constexpr std::int32_t kRefusedSession = 3;

struct Open {
    std::uint32_t overlapped;
    std::uint32_t pathLength;  // path bytes follow
};

struct OpenReply {
    std::int32_t status;  // NTSTATUS
    std::uint32_t file;   // the host's name for the file, valid in this session only
};

struct Close {
    std::uint32_t file;
    std::uint32_t reserved;
};

struct StatusReply {
    std::int32_t status;
    std::uint32_t reserved;
};

// Control flags.
inline constexpr std::uint32_t kHasRecord = 1;     // the caller passed an OVERLAPPED
inline constexpr std::uint32_t kInPointer = 2;     // the input pointer was not null
inline constexpr std::uint32_t kOutPointer = 4;    // the output pointer was not null

// Device control: inLength input bytes follow, then outSent bytes of the output buffer's
// contents (all of it for the direct and neither methods, whose drivers may read it or
// leave parts unwritten; none for buffered ones).
struct Control {
    std::uint64_t tag;  // the client's name for this request (cancel, completion)
    std::uint32_t file;
    std::uint32_t code;
    std::uint32_t flags;
    std::uint32_t inLength;
    std::uint32_t outLength;
    std::uint32_t outSent;
};

// pending 1: the request stays in flight; a Completion on the session connection ends it.
// Otherwise status and information are final and outCount bytes of output follow.
struct ControlReply {
    std::int32_t status;
    std::uint32_t pending;
    std::uint64_t information;
    std::uint32_t outCount;
    std::uint32_t reserved;
};

struct Completion {
    std::uint64_t tag;
    std::int32_t status;
    std::uint32_t outCount;
    std::uint64_t information;
};

// Cancel: tag non-zero, the request with that tag (any file of the session); otherwise
// the requests on `file`, of the calling thread only or (anyThread) of every thread.
struct Cancel {
    std::uint64_t tag;
    std::uint32_t file;
    std::uint32_t anyThread;
};

struct HandleQuery {
    std::uint32_t handle;
    std::uint32_t reserved;
};

struct HandleAnswer {
    std::uint32_t isEvent;
    std::uint32_t reserved;
};

struct EventSignal {
    std::uint32_t handle;
    std::uint32_t reserved;
};

template <typename T>
concept Record = std::is_trivially_copyable_v<T> && std::has_unique_object_representations_v<T>;

// Sends one frame (header, record, then the extra byte ranges) in one write; false when
// the peer is gone. Never raises SIGPIPE.
bool SendFrame(int fd, Type type, const void *record, std::size_t recordSize, const void *extra1 = nullptr,
               std::size_t extra1Size = 0, const void *extra2 = nullptr, std::size_t extra2Size = 0);

template <Record T>
bool Send(int fd, Type type, const T &record, const void *extra1 = nullptr, std::size_t extra1Size = 0,
          const void *extra2 = nullptr, std::size_t extra2Size = 0)
{
    return SendFrame(fd, type, &record, sizeof record, extra1, extra1Size, extra2, extra2Size);
}

// One frame as received: its type and its whole payload.
struct Frame {
    Type type{};
    std::vector<unsigned char> payload;

    // The leading record, if the payload holds one; the bytes after it follow.
    template <Record T>
    bool Get(T &record) const
    {
        if (payload.size() < sizeof record)
            return false;
        std::memcpy(&record, payload.data(), sizeof record);
        return true;
    }
    template <Record T>
    const unsigned char *After() const
    {
        return payload.data() + sizeof(T);
    }
    template <Record T>
    std::size_t BytesAfter() const
    {
        return payload.size() - sizeof(T);
    }
};

// Reads one frame; false at end of stream, on an error or on a payload above kMaxPayload.
bool ReceiveFrame(int fd, Frame &frame);

// The socket a client uses and a host listens on: TQ4815_HOST, else tq4815-host.sock in
// $XDG_RUNTIME_DIR, else in /tmp/tq4815-UID/ (created mode 0700 by the host).
std::string DefaultSocketPath();
bool SocketPathFromEnvironment(std::string &path);

}  // namespace tqwin32::host

#endif
