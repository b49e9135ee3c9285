// The client side of the machine host (host_client.h, host_protocol.h).
//
// A process that talks to a host has one session connection, opened by its first CreateFileA
// of a device, which the host watches for the process's end and on which it sends what
// happens later (the driver signalling an event whose handle the process passed, an
// overlapped request ending); a thread of the process reads it. Each thread that makes
// requests has a connection of its own, on which its requests and their results travel
// in turn, so that requests of different threads reach the driver side by side and a
// thread waiting for its request blocks nobody else.
#include "host_client.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "host_protocol.h"
#include "tq_machine_host.h"
#include "win32_internal.h"

namespace tqwin32::host {
namespace {

struct RemoteFile {
    std::uint32_t id = 0;  // the host's name for it
    bool overlapped = false;
};

// A request made with an OVERLAPPED, until its result is in the record.
struct PendingRequest {
    OVERLAPPED *overlapped = nullptr;
    void *out = nullptr;
    DWORD outLength = 0;
    HANDLE event = nullptr;  // the record's event, or the file's own
};

struct ClientSession {
    std::mutex mutex;  // everything below but the atomics
    int fd = -1;
    std::uint64_t id = 0;
    std::uint64_t key = 0;
    std::string path;
    std::unordered_map<HANDLE, RemoteFile> files;
    std::unordered_map<std::uint64_t, PendingRequest> pending;
    std::atomic<bool> alive{false};
    std::atomic<std::uint64_t> generation{0};  // one per session, so threads reconnect after a new one
    std::atomic<std::uint64_t> nextTag{1};
    std::mutex routeMutex;  // serialises choosing the route
    bool ending = false;    // the process is ending its session itself
    pid_t owner = 0;        // the process that opened it (a forked child shares the socket)
    std::condition_variable ended;
};

// Never destroyed: unload code after the exit handlers may still close handles.
ClientSession &Session()
{
    static ClientSession *session = new ClientSession;
    return *session;
}

// The calling thread's connection, and the session it belongs to.
thread_local int tFd = -1;
thread_local std::uint64_t tGeneration = 0;

// Closes a thread's connection when the thread ends (the host's thread serving it ends too).
pthread_key_t ConnectionKey()
{
    static pthread_key_t key = [] {
        pthread_key_t k;
        pthread_key_create(&k, [](void *value) { close(static_cast<int>(reinterpret_cast<intptr_t>(value)) - 1); });
        return k;
    }();
    return key;
}

int ConnectTo(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void PrintText(const unsigned char *text, std::size_t length)
{
    if (length > 0) {
        std::fwrite(text, 1, length, stderr);
        std::fflush(stderr);
    }
}

// Says hello on a new connection; the host's reply, or false when it sent none.
bool SayHello(int fd, ConnectionKind kind, const ClientSession &session, const std::string *sim, Frame &reply,
              HelloReply &answer)
{
    Hello hello{kMagic, kVersion, static_cast<std::uint32_t>(kind), sim != nullptr ? 1u : 0u, session.id, session.key,
                sim != nullptr ? static_cast<std::uint32_t>(sim->size()) : 0u, static_cast<std::uint32_t>(getpid())};
    if (!Send(fd, Type::Hello, hello, sim != nullptr ? sim->data() : nullptr, sim != nullptr ? sim->size() : 0))
        return false;
    return ReceiveFrame(fd, reply) && reply.type == Type::HelloReply && reply.Get(answer);
}

void FinishPending(std::uint64_t tag, kernel::Status status, std::uint64_t information, const unsigned char *bytes,
                   std::size_t count)
{
    ClientSession &session = Session();
    PendingRequest request;
    {
        std::lock_guard lock(session.mutex);
        auto it = session.pending.find(tag);
        if (it == session.pending.end())
            return;
        request = it->second;
        session.pending.erase(it);
    }
    if (request.out != nullptr && count > 0)
        std::memcpy(request.out, bytes, std::min<std::size_t>(count, request.outLength));
    request.overlapped->InternalHigh = static_cast<ULONG_PTR>(information);
    __atomic_store_n(&request.overlapped->Internal, static_cast<ULONG_PTR>(static_cast<std::uint32_t>(status)),
                     __ATOMIC_RELEASE);
    if (request.event != nullptr)
        kernel::SetEvent(request.event);
}

// Reads the session connection until the host goes: the signals of the process's events and
// the ends of its overlapped requests. When the host is gone every request still pending
// ends as one whose device went away.
void ReadSession(int fd, std::uint64_t generation)
{
    Frame frame;
    while (ReceiveFrame(fd, frame)) {
        if (EventSignal signal{}; frame.type == Type::EventSignal && frame.Get(signal)) {
            kernel::SetEvent(reinterpret_cast<void *>(static_cast<std::uintptr_t>(signal.handle)));
        } else if (Completion done{}; frame.type == Type::Completion && frame.Get(done)) {
            FinishPending(done.tag, done.status, done.information, frame.After<Completion>(),
                          std::min<std::size_t>(done.outCount, frame.BytesAfter<Completion>()));
        }
    }
    ClientSession &session = Session();
    std::vector<std::uint64_t> tags;
    bool ending;
    {
        std::lock_guard lock(session.mutex);
        if (session.generation.load() != generation)
            return;
        session.alive.store(false);
        close(session.fd);
        session.fd = -1;
        for (auto &[tag, request] : session.pending)
            tags.push_back(tag);
        ending = session.ending;
    }
    session.ended.notify_all();
    if (!ending)
        std::fprintf(stderr, "tq4815: the machine host at %s has gone; the device is gone with it\n",
                     session.path.c_str());
    for (std::uint64_t tag : tags)
        FinishPending(tag, kernel::kDeviceDoesNotExist, 0, nullptr, 0);
}

// Opens the session with the host at `path`: Host, or Refused (said why on stderr).
Route StartSession(ClientSession &session, const std::string &path, int fd)
{
    const char *simText = std::getenv("TQ4815_SIM");
    std::string sim = simText != nullptr ? simText : "";
    ClientSession anonymous;
    Frame reply;
    HelloReply answer{};
    if (!SayHello(fd, ConnectionKind::Session, anonymous, simText != nullptr ? &sim : nullptr, reply, answer)) {
        std::fprintf(stderr, "tq4815: the machine host at %s closed the connection without an answer\n", path.c_str());
        close(fd);
        return Route::Refused;
    }
    if (answer.magic != kMagic || answer.version != kVersion) {
        std::fprintf(stderr,
                     "tq4815: the machine host at %s speaks protocol version %u; this program speaks version %u: "
                     "use a host and programs of the same build\n",
                     path.c_str(), answer.version, kVersion);
        close(fd);
        return Route::Refused;
    }
    PrintText(reply.After<HelloReply>(), std::min<std::size_t>(answer.textLength, reply.BytesAfter<HelloReply>()));
    if (answer.status != 0) {
        close(fd);
        return Route::Refused;
    }
    std::uint64_t generation;
    {
        std::lock_guard lock(session.mutex);
        session.fd = fd;
        session.id = answer.sessionId;
        session.key = answer.sessionKey;
        session.path = path;
        session.owner = getpid();
        generation = session.generation.fetch_add(1) + 1;
        session.alive.store(true);
    }
    std::thread(ReadSession, fd, generation).detach();
    return Route::Host;
}

// The calling thread's connection to the session's host, made on first use; -1 if the
// host is gone.
int ThreadConnection()
{
    ClientSession &session = Session();
    if (!session.alive.load())
        return -1;
    const std::uint64_t generation = session.generation.load();
    if (tFd >= 0 && tGeneration == generation)
        return tFd;
    if (tFd >= 0) {
        close(tFd);
        pthread_setspecific(ConnectionKey(), nullptr);
        tFd = -1;
    }
    std::string path;
    {
        std::lock_guard lock(session.mutex);
        path = session.path;
    }
    int fd = ConnectTo(path);
    if (fd < 0)
        return -1;
    Frame reply;
    HelloReply answer{};
    if (!SayHello(fd, ConnectionKind::Thread, session, nullptr, reply, answer) || answer.status != 0) {
        close(fd);
        return -1;
    }
    tFd = fd;
    tGeneration = generation;
    pthread_setspecific(ConnectionKey(), reinterpret_cast<void *>(static_cast<intptr_t>(fd) + 1));
    return fd;
}

void DropThreadConnection()
{
    if (tFd >= 0) {
        close(tFd);
        pthread_setspecific(ConnectionKey(), nullptr);
        tFd = -1;
    }
}

// Sends a request on the thread's connection and reads up to its reply, answering the
// host's questions and showing the machine's messages on the way. False when the host is
// gone (the connection is dropped).
template <Record T>
bool Exchange(int fd, Type type, const T &record, Type expected, Frame &reply, const void *extra1 = nullptr,
              std::size_t extra1Size = 0, const void *extra2 = nullptr, std::size_t extra2Size = 0)
{
    if (!Send(fd, type, record, extra1, extra1Size, extra2, extra2Size)) {
        DropThreadConnection();
        return false;
    }
    while (ReceiveFrame(fd, reply)) {
        if (reply.type == expected)
            return true;
        if (HandleQuery query{}; reply.type == Type::HandleQuery && reply.Get(query)) {
            // The driver is to reference this handle as an event: it names one only if it is
            // an event of this process, not the stand-in's handle of a remote file.
            HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(query.handle));
            HandleAnswer answer{handle != nullptr && !IsRemote(handle) && kernel::HandleIsEvent(handle) ? 1u : 0u, 0};
            if (!Send(fd, Type::HandleAnswer, answer))
                break;
        } else if (reply.type == Type::MachineText) {
            PrintText(reply.payload.data(), reply.payload.size());
        } else {
            break;
        }
    }
    DropThreadConnection();
    return false;
}

bool FindFile(HANDLE handle, RemoteFile &file)
{
    ClientSession &session = Session();
    std::lock_guard lock(session.mutex);
    auto it = session.files.find(handle);
    if (it == session.files.end())
        return false;
    file = it->second;
    return true;
}

HANDLE OverlappedEvent(const OVERLAPPED *overlapped)
{
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~static_cast<ULONG_PTR>(1));
}

constexpr std::uint32_t kMethodMask = 3;
constexpr std::uint32_t kMethodBuffered = 0;

}  // namespace

void EndSessionAtExit()
{
    ClientSession &session = Session();
    std::unique_lock lock(session.mutex);
    if (!session.alive.load() || session.owner != getpid())
        return;
    // The host ends the session (closing what is still open) when this side stops sending,
    // then closes its side, which the session reader sees.
    session.ending = true;
    shutdown(session.fd, SHUT_WR);
    session.ended.wait_for(lock, std::chrono::seconds(10), [&] { return !session.alive.load(); });
}

Route ChooseRoute()
{
    ClientSession &session = Session();
    std::lock_guard route(session.routeMutex);
    if (session.alive.load())
        return Route::Host;
    if (kernel::MachineBooted())
        return Route::InProcess;
    std::string path;
    const bool named = SocketPathFromEnvironment(path);
    if (!named)
        path = DefaultSocketPath();
    int fd = ConnectTo(path);
    if (fd < 0) {
        if (!named)
            return Route::InProcess;  // nobody listens: the machine boots here, as without a host
        std::fprintf(stderr, "tq4815: no machine host listens at %s (TQ4815_HOST): %s\n", path.c_str(),
                     std::strerror(errno));
        return Route::Refused;
    }
    return StartSession(session, path, fd);
}

HANDLE OpenRemote(const std::string &path, bool overlapped)
{
    int fd = ThreadConnection();
    if (fd < 0) {
        FailWithStatus(kernel::kDeviceDoesNotExist);
        return INVALID_HANDLE_VALUE;
    }
    Frame reply;
    OpenReply result{};
    if (!Exchange(fd, Type::Open, Open{overlapped ? 1u : 0u, static_cast<std::uint32_t>(path.size())}, Type::OpenReply,
                  reply, path.data(), path.size()) ||
        !reply.Get(result)) {
        FailWithStatus(kernel::kDeviceDoesNotExist);
        return INVALID_HANDLE_VALUE;
    }
    if (!kernel::Succeeded(result.status)) {
        if (result.status == kernel::kObjectNameNotFound)
            FailWithError(path.find('\\', 4) != std::string::npos ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
        else
            FailWithStatus(result.status);
        return INVALID_HANDLE_VALUE;
    }
    // The local face of the remote file: an event, which the requests that carry no event
    // of their own set when they end, as a file object is signalled.
    void *handle = nullptr;
    kernel::Status status = kernel::CreateEventObject(true, false, &handle);
    if (!kernel::Succeeded(status)) {
        Exchange(fd, Type::Close, Close{result.file, 0}, Type::CloseReply, reply);
        FailWithStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    ClientSession &session = Session();
    {
        std::lock_guard lock(session.mutex);
        session.files[handle] = RemoteFile{result.file, overlapped};
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

bool IsRemote(HANDLE handle)
{
    RemoteFile file;
    return FindFile(handle, file);
}

bool RemoteIsSynchronous(HANDLE handle)
{
    RemoteFile file;
    return FindFile(handle, file) && !file.overlapped;
}

BOOL RemoteDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                           LPDWORD bytesReturned, LPOVERLAPPED overlapped)
{
    RemoteFile file;
    if (!FindFile(handle, file))
        return FailWithError(ERROR_INVALID_HANDLE);
    if (inLength > kMaxBuffer || outLength > kMaxBuffer)
        return FailWithStatus(kernel::kNoMemory);  // more than a host forwards (see host_protocol.h)
    int fd = ThreadConnection();
    if (fd < 0)
        return FailWithStatus(kernel::kDeviceDoesNotExist);
    ClientSession &session = Session();
    const std::uint64_t tag = session.nextTag.fetch_add(1);
    // The direct and neither methods hand the driver the caller's output pages themselves:
    // they travel both ways whole.
    const bool wholeOutput = (code & kMethodMask) != kMethodBuffered;
    Control request{tag,
                    file.id,
                    code,
                    (overlapped != nullptr ? kHasRecord : 0u) | (in != nullptr ? kInPointer : 0u) |
                        (out != nullptr ? kOutPointer : 0u),
                    inLength,
                    outLength,
                    wholeOutput ? outLength : 0u};
    if (overlapped != nullptr) {
        overlapped->InternalHigh = 0;
        HANDLE event = OverlappedEvent(overlapped);
        // As the I/O manager does: the request's event, or the file's, is reset at the start.
        kernel::ResetEvent(event != nullptr ? event : handle);
        std::lock_guard lock(session.mutex);
        session.pending[tag] = PendingRequest{overlapped, out, outLength, event != nullptr ? event : handle};
    }
    ThreadRecord &thread = CurrentThread();
    if (!file.overlapped)
        thread.inflightRemoteTag.store(tag);
    Frame reply;
    ControlReply result{};
    const bool answered = Exchange(fd, Type::Control, request, Type::ControlReply, reply, in, inLength, out,
                                   request.outSent) &&
                          reply.Get(result);
    thread.inflightRemoteTag.store(0);
    if (!answered) {
        std::lock_guard lock(session.mutex);
        session.pending.erase(tag);
        return FailWithStatus(kernel::kDeviceDoesNotExist);
    }
    if (result.pending != 0)
        return FailWithError(ERROR_IO_PENDING);  // the session connection brings the end
    const std::size_t count = std::min<std::size_t>(result.outCount, reply.BytesAfter<ControlReply>());
    if (overlapped != nullptr) {
        if (kernel::IsError(result.status)) {
            // An error without pending writes nothing into the record.
            std::lock_guard lock(session.mutex);
            session.pending.erase(tag);
            if (out != nullptr && count > 0)
                std::memcpy(out, reply.After<ControlReply>(), std::min<std::size_t>(count, outLength));
        } else {
            FinishPending(tag, result.status, result.information, reply.After<ControlReply>(), count);
            if (bytesReturned != nullptr)
                *bytesReturned = static_cast<DWORD>(result.information);
        }
    } else {
        if (out != nullptr && count > 0)
            std::memcpy(out, reply.After<ControlReply>(), std::min<std::size_t>(count, outLength));
        *bytesReturned = kernel::IsError(result.status) ? 0 : static_cast<DWORD>(result.information);
    }
    return kernel::Succeeded(result.status) ? TRUE : FailWithStatus(result.status);
}

BOOL RemoteClose(HANDLE handle)
{
    ClientSession &session = Session();
    RemoteFile file;
    {
        std::lock_guard lock(session.mutex);
        auto it = session.files.find(handle);
        if (it == session.files.end())
            return FailWithError(ERROR_INVALID_HANDLE);
        file = it->second;
        session.files.erase(it);
    }
    kernel::CloseHandle(handle);
    int fd = ThreadConnection();
    Frame reply;
    StatusReply result{};
    // A host that is gone has closed the file with the session.
    if (fd < 0 || !Exchange(fd, Type::Close, Close{file.id, 0}, Type::CloseReply, reply) || !reply.Get(result))
        return TRUE;
    return kernel::Succeeded(result.status) ? TRUE : FailWithStatus(result.status);
}

BOOL RemoteCancel(HANDLE handle, LPOVERLAPPED overlapped, bool callerOnly)
{
    RemoteFile file;
    if (!FindFile(handle, file))
        return FailWithError(ERROR_INVALID_HANDLE);
    Cancel request{0, file.id, callerOnly ? 0u : 1u};
    if (overlapped != nullptr) {
        ClientSession &session = Session();
        std::lock_guard lock(session.mutex);
        auto it = std::find_if(session.pending.begin(), session.pending.end(),
                               [&](const auto &entry) { return entry.second.overlapped == overlapped; });
        if (it == session.pending.end())
            return FailWithError(ERROR_NOT_FOUND);
        request.tag = it->first;
    }
    int fd = ThreadConnection();
    Frame reply;
    StatusReply result{};
    if (fd < 0 || !Exchange(fd, Type::Cancel, request, Type::CancelReply, reply) || !reply.Get(result))
        return FailWithStatus(kernel::kDeviceDoesNotExist);
    if (callerOnly && result.status == kernel::kNotFound)
        return TRUE;
    return kernel::Succeeded(result.status) ? TRUE : FailWithStatus(result.status);
}

bool RemoteCancelSynchronous(ThreadRecord &record, BOOL *outcome)
{
    const std::uint64_t tag = record.inflightRemoteTag.load();
    if (tag == 0)
        return false;
    int fd = ThreadConnection();
    Frame reply;
    StatusReply result{};
    if (fd < 0 || !Exchange(fd, Type::Cancel, Cancel{tag, 0, 1}, Type::CancelReply, reply) || !reply.Get(result))
        *outcome = FailWithStatus(kernel::kDeviceDoesNotExist);
    else
        *outcome = kernel::Succeeded(result.status) ? TRUE : FailWithStatus(result.status);
    return true;
}

}  // namespace tqwin32::host

bool tqhost::HostServesThisProcess()
{
    using namespace tqwin32::host;
    std::string path;
    if (SocketPathFromEnvironment(path))
        return true;
    int fd = ConnectTo(DefaultSocketPath());
    if (fd < 0)
        return false;
    close(fd);
    return true;
}
