// The machine host (tq_machine_host.h, host_protocol.h): one simulated machine, booted once,
// that client processes reach through a Unix-domain socket.
//
// Per client process a session: its open files (one file object here per handle there),
// its requests in flight, and a proxy event per event handle it passed in a start request.
// Every connection is served by a thread of its own, so that requests of different
// clients (and of different threads of one client) reach the driver side by side, as on
// Windows; the driver's own locks serialise what must be. When a client's session
// connection ends (the process exited or was killed), its requests in flight are cancelled
// and its files closed, as Windows does at process exit: cleanup and close reach the driver
// per handle; an acquisition it left running goes on until somebody stops it.
//
// What the driver signals of a client's event reaches it as a message: the start request's
// event handle (a handle of the client's, meaningless here) is replaced by a host event,
// whose waiter thread tells the client each time the driver sets it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host_protocol.h"
#include "kernel_bridge.h"
#include "tq4815_ioctl.h"
#include "tq_machine_host.h"

namespace tqwin32::host {
namespace {

// How long a client that asks for another machine configuration waits for the programs
// using the running one to end before it shares the running one. A client that exits ends
// its session before it goes; this covers one that was killed, whose end the host learns
// from its connection's end a moment later.
constexpr auto kReconfigureWait = std::chrono::seconds(5);
// How often the end of a session cancels again a request that was on its way into the
// driver when the first cancel went out.
constexpr auto kCancelRetry = std::chrono::milliseconds(10);

struct InFlight {
    kernel::IoStatusWords io{};
};

struct Proxy {
    std::uint32_t clientHandle = 0;
    void *handle = nullptr;
    std::atomic<bool> stop{false};
    std::thread waiter;
};

struct HostFile {
    void *handle = nullptr;
    bool overlapped = false;
};

struct Session {
    std::uint64_t id = 0;
    std::uint64_t key = 0;
    std::uint32_t pid = 0;
    int fd = -1;                // the session connection
    std::mutex writeMutex;      // writes to fd
    std::mutex mutex;           // everything below
    std::condition_variable drained;
    bool ended = false;
    std::unordered_map<std::uint32_t, HostFile> files;
    std::unordered_map<std::uint64_t, InFlight *> inflight;
    std::unordered_map<std::uint32_t, std::unique_ptr<Proxy>> proxies;
    std::vector<int> threadFds;
};

struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
};

struct Host {
    std::string path;
    int listenFd = -1;
    int wake[2] = {-1, -1};
    std::string defaultConfig;  // TQ4815_SIM of the host's own start
    std::mutex mutex;           // everything below
    std::condition_variable changed;
    std::unordered_map<std::uint64_t, std::shared_ptr<Session>> sessions;
    bool machineUp = false;
    std::string config;
    bool stopping = false;
    std::vector<int> stopFds;  // connections waiting to hear that the host has ended
    std::uint64_t nextSession = 1;
    std::mt19937_64 keys{std::random_device{}()};
};

Host *gHost = nullptr;  // for the signal handler

void WakeAcceptor(Host &host)
{
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = write(host.wake[1], &byte, 1);
}

extern "C" void OnStopSignal(int)
{
    if (gHost != nullptr) {
        char byte = 1;
        [[maybe_unused]] ssize_t ignored = write(gHost->wake[1], &byte, 1);
    }
}

bool SendText(int fd, const std::string &text)
{
    return text.empty() || SendFrame(fd, Type::MachineText, text.data(), text.size());
}

void RefuseHello(int fd, std::int32_t why, const std::string &text)
{
    HelloReply reply{kMagic, kVersion, why, static_cast<std::uint32_t>(text.size()), 0, 0};
    Send(fd, Type::HelloReply, reply, text.data(), text.size());
}

// Boots the machine with `wanted` (TQ4815_SIM's text; empty for the card's defaults).
// Called with host.mutex held and no session alive.
bool BootMachine(Host &host, const std::string &wanted, std::string &text)
{
    if (host.machineUp) {
        kernel::ResetMachine();  // a new card: the whole stand-in back to its boot state
        host.machineUp = false;
    }
    if (wanted.empty())
        unsetenv("TQ4815_SIM");
    else
        setenv("TQ4815_SIM", wanted.c_str(), 1);
    if (!kernel::BootCollectingMessages(&text))
        return false;
    host.machineUp = true;
    host.config = wanted;
    std::fprintf(stderr, "tq4815 host: machine booted (TQ4815_SIM='%s')\n", wanted.c_str());
    return true;
}

// The proxy event standing for the client's event `clientHandle`, made on first use.
void *ProxyFor(Session &session, std::uint32_t clientHandle)
{
    std::lock_guard lock(session.mutex);
    if (session.ended)
        return nullptr;  // its proxies are gone already; the request will be refused
    auto &slot = session.proxies[clientHandle];
    if (slot)
        return slot->handle;
    auto proxy = std::make_unique<Proxy>();
    proxy->clientHandle = clientHandle;
    if (!kernel::Succeeded(kernel::CreateEventObject(false, false, &proxy->handle))) {
        session.proxies.erase(clientHandle);
        return nullptr;
    }
    Proxy *p = proxy.get();
    Session *s = &session;
    // Each wake-up is one setting by the driver (the proxy resets as it wakes its waiter);
    // settings while the client is being told fold into one, as on an auto-reset event.
    p->waiter = std::thread([p, s] {
        for (;;) {
            if (!kernel::Succeeded(kernel::Wait(p->handle, 0xFFFFFFFF)) || p->stop.load())
                return;
            std::lock_guard write(s->writeMutex);
            Send(s->fd, Type::EventSignal, EventSignal{p->clientHandle, 0});
        }
    });
    slot = std::move(proxy);
    return p->handle;
}

// Asks the client on `fd` whether its handle names an event.
bool ClientHandleIsEvent(int fd, std::uint32_t handle)
{
    if (handle == 0 || !Send(fd, Type::HandleQuery, HandleQuery{handle, 0}))
        return false;
    Frame frame;
    HandleAnswer answer{};
    return ReceiveFrame(fd, frame) && frame.type == Type::HandleAnswer && frame.Get(answer) && answer.isEvent != 0;
}

// A ring-mode start request carries the client's event handle: here it becomes the handle
// of the session's proxy for it, or 0 (which the driver refuses as it refuses a handle
// that names no event) when the client says it names none.
void SubstituteEventHandle(Session &session, int fd, std::vector<unsigned char> &input)
{
    TqStartRecord record;
    std::memcpy(&record, input.data(), sizeof record);
    if (record.SnapshotFlag != 0)
        return;
    void *proxy = ClientHandleIsEvent(fd, record.EventHandle) ? ProxyFor(session, record.EventHandle) : nullptr;
    record.EventHandle = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(proxy));
    std::memcpy(input.data(), &record, sizeof record);
}

// The output bytes a request's result carries back: what the I/O manager copies back for
// a buffered request, the whole buffer for one whose driver wrote the caller's pages.
std::size_t OutputToReturn(std::uint32_t code, kernel::Status status, std::uint64_t information, std::uint32_t outLength)
{
    if ((code & 3) != 0)
        return outLength;
    return kernel::IsError(status) ? 0 : std::min<std::uint64_t>(information, outLength);
}

void Unregister(Session &session, std::uint64_t tag)
{
    std::lock_guard lock(session.mutex);
    auto it = session.inflight.find(tag);
    if (it != session.inflight.end()) {
        delete it->second;
        session.inflight.erase(it);
    }
    session.drained.notify_all();
}

void RunControl(const std::shared_ptr<Session> &session, int fd, const Frame &frame)
{
    Control request{};
    ControlReply reply{};
    if (!frame.Get(request) || request.outSent > request.outLength || request.outLength > kMaxBuffer ||
        frame.BytesAfter<Control>() != static_cast<std::size_t>(request.inLength) + request.outSent) {
        reply.status = kernel::kInvalidParameter;
        Send(fd, Type::ControlReply, reply);
        return;
    }
    // Buffers of at least one byte, so that a non-null pointer of length 0 stays non-null.
    auto input = std::make_shared<std::vector<unsigned char>>(std::max<std::uint32_t>(request.inLength, 1));
    auto output = std::make_shared<std::vector<unsigned char>>(std::max<std::uint32_t>(request.outLength, 1));
    std::memcpy(input->data(), frame.After<Control>(), request.inLength);
    std::memcpy(output->data(), frame.After<Control>() + request.inLength, request.outSent);
    if (request.code == IOCTL_START && request.inLength == sizeof(TqStartRecord))
        SubstituteEventHandle(*session, fd, *input);
    void *in = (request.flags & kInPointer) != 0 ? input->data() : nullptr;
    void *out = (request.flags & kOutPointer) != 0 ? output->data() : nullptr;

    HostFile file;
    InFlight *record = nullptr;
    {
        std::lock_guard lock(session->mutex);
        auto it = session->files.find(request.file);
        if (!session->ended && it != session->files.end()) {
            file = it->second;
            record = new InFlight;
            session->inflight[request.tag] = record;
        }
    }
    if (record == nullptr) {
        reply.status = kernel::kInvalidHandle;
        Send(fd, Type::ControlReply, reply);
        return;
    }
    std::string text;
    kernel::SetMessageSink(&text);
    if ((request.flags & kHasRecord) != 0 && file.overlapped) {
        // The client goes on while the request is pending; its end travels on the session
        // connection, from a thread that waits for it.
        void *event = nullptr;
        kernel::Status status = kernel::CreateEventObject(true, false, &event);
        if (kernel::Succeeded(status))
            status = kernel::DeviceControl(file.handle, event, &record->io, false, request.code, in,
                                           request.inLength, out, request.outLength);
        kernel::SetMessageSink(nullptr);
        SendText(fd, text);
        if (status == kernel::kPending) {
            reply.pending = 1;
            Send(fd, Type::ControlReply, reply);
            std::thread([session, record, event, input, output, request] {
                kernel::Wait(event, 0xFFFFFFFF);
                kernel::CloseHandle(event);
                const auto status = static_cast<kernel::Status>(static_cast<std::uint32_t>(record->io.status));
                const std::uint64_t information = record->io.information;
                const std::size_t count = OutputToReturn(request.code, status, information, request.outLength);
                Completion done{request.tag, status, static_cast<std::uint32_t>(count), information};
                {
                    std::lock_guard write(session->writeMutex);
                    Send(session->fd, Type::Completion, done, output->data(), count);
                }
                Unregister(*session, request.tag);
            }).detach();
            return;
        }
        if (event != nullptr)
            kernel::CloseHandle(event);
        reply.status = status;
    } else {
        reply.status = kernel::DeviceControl(file.handle, nullptr, &record->io, true, request.code, in,
                                             request.inLength, out, request.outLength);
        kernel::SetMessageSink(nullptr);
        SendText(fd, text);
    }
    reply.information = kernel::IsError(reply.status) ? 0 : record->io.information;
    const std::size_t count = OutputToReturn(request.code, reply.status, reply.information, request.outLength);
    reply.outCount = static_cast<std::uint32_t>(count);
    Unregister(*session, request.tag);
    Send(fd, Type::ControlReply, reply, output->data(), count);
}

void RunOpen(Session &session, int fd, const Frame &frame)
{
    Open request{};
    OpenReply reply{kernel::kInvalidParameter, 0};
    if (frame.Get(request) && frame.BytesAfter<Open>() == request.pathLength) {
        std::string path(reinterpret_cast<const char *>(frame.After<Open>()), request.pathLength);
        void *handle = nullptr;
        std::string text;
        kernel::SetMessageSink(&text);
        reply.status = kernel::OpenDevicePath(path.c_str(), request.overlapped != 0, &handle);
        kernel::SetMessageSink(nullptr);
        SendText(fd, text);
        if (kernel::Succeeded(reply.status)) {
            std::lock_guard lock(session.mutex);
            if (session.ended) {
                kernel::CloseHandle(handle);
                reply.status = kernel::kDeviceDoesNotExist;
            } else {
                reply.file = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
                session.files[reply.file] = HostFile{handle, request.overlapped != 0};
            }
        }
    }
    Send(fd, Type::OpenReply, reply);
}

void RunClose(Session &session, int fd, const Frame &frame)
{
    Close request{};
    StatusReply reply{kernel::kInvalidHandle, 0};
    HostFile file;
    if (frame.Get(request)) {
        std::lock_guard lock(session.mutex);
        auto it = session.files.find(request.file);
        if (it != session.files.end()) {
            file = it->second;
            session.files.erase(it);
        }
    }
    if (file.handle != nullptr) {
        std::string text;
        kernel::SetMessageSink(&text);
        reply.status = kernel::CloseHandle(file.handle);
        kernel::SetMessageSink(nullptr);
        SendText(fd, text);
    }
    Send(fd, Type::CloseReply, reply);
}

void RunCancel(Session &session, int fd, const Frame &frame)
{
    Cancel request{};
    StatusReply reply{kernel::kNotFound, 0};
    if (frame.Get(request)) {
        std::lock_guard lock(session.mutex);  // keeps the request's record alive meanwhile
        if (request.tag != 0) {
            auto it = session.inflight.find(request.tag);
            if (it != session.inflight.end())
                reply.status = kernel::CancelFileIo(nullptr, true, &it->second->io);
        } else if (auto it = session.files.find(request.file); it != session.files.end()) {
            reply.status = kernel::CancelFileIo(it->second.handle, request.anyThread != 0, nullptr);
        } else {
            reply.status = kernel::kInvalidHandle;
        }
    }
    Send(fd, Type::CancelReply, reply);
}

// The end of a client process: its requests cancelled until none is in flight, then its
// files closed (cleanup and close reach the driver), then its proxies dropped.
void EndSession(Host &host, const std::shared_ptr<Session> &session)
{
    std::unordered_map<std::uint32_t, HostFile> files;
    std::unordered_map<std::uint32_t, std::unique_ptr<Proxy>> proxies;
    {
        std::unique_lock lock(session->mutex);
        session->ended = true;
        for (int fd : session->threadFds)
            shutdown(fd, SHUT_RDWR);
        while (!session->inflight.empty()) {
            for (auto &[tag, record] : session->inflight)
                kernel::CancelFileIo(nullptr, true, &record->io);
            session->drained.wait_for(lock, kCancelRetry);
        }
        files.swap(session->files);
        proxies.swap(session->proxies);
    }
    for (auto &[id, file] : files)
        kernel::CloseHandle(file.handle);
    for (auto &[handle, proxy] : proxies) {
        proxy->stop.store(true);
        kernel::SetEvent(proxy->handle);
        proxy->waiter.join();
        kernel::CloseHandle(proxy->handle);
    }
    {
        std::lock_guard lock(host.mutex);
        host.sessions.erase(session->id);
    }
    host.changed.notify_all();
    std::lock_guard write(session->writeMutex);
    close(session->fd);
    session->fd = -1;
}

void ServeSession(Host &host, int fd, const Hello &hello, const Frame &frame)
{
    std::string wanted = host.defaultConfig;
    if (hello.simPresent != 0)
        wanted.assign(reinterpret_cast<const char *>(frame.After<Hello>()),
                      std::min<std::size_t>(hello.simLength, frame.BytesAfter<Hello>()));
    std::string text;
    auto session = std::make_shared<Session>();
    {
        std::unique_lock lock(host.mutex);
        if (!host.machineUp || host.config != wanted) {
            // Another card: only once nobody uses the running one.
            host.changed.wait_for(lock, kReconfigureWait, [&] { return host.sessions.empty() || host.stopping; });
            if (host.stopping) {
                lock.unlock();
                RefuseHello(fd, kRefusedMachine, "tq4815: the machine host at " + host.path + " is ending\n");
                close(fd);
                return;
            }
            if (!host.sessions.empty()) {
                // One card, as on Windows: the program uses the card there is, and is told.
                text = "tq4815: note: the machine host at " + host.path + " runs TQ4815_SIM='" + host.config +
                       "' for " + std::to_string(host.sessions.size()) +
                       " other program(s); this program shares that card (it asked for TQ4815_SIM='" + wanted +
                       "')\n";
            } else if (!BootMachine(host, wanted, text)) {
                lock.unlock();
                RefuseHello(fd, kRefusedMachine, text);
                close(fd);
                return;
            }
        }
        session->id = host.nextSession++;
        session->key = host.keys();
        session->pid = hello.pid;
        session->fd = fd;
        host.sessions[session->id] = session;
    }
    HelloReply reply{kMagic, kVersion, 0, static_cast<std::uint32_t>(text.size()), session->id, session->key};
    {
        std::lock_guard write(session->writeMutex);
        Send(fd, Type::HelloReply, reply, text.data(), text.size());
    }
    // Nothing more comes on this connection: its end is the end of the client process.
    Frame ignored;
    while (ReceiveFrame(fd, ignored)) {
    }
    EndSession(host, session);
}

void ServeThread(Host &host, int fd, const Hello &hello)
{
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(host.mutex);
        auto it = host.sessions.find(hello.sessionId);
        if (it != host.sessions.end() && it->second->key == hello.sessionKey)
            session = it->second;
    }
    if (session) {
        std::lock_guard lock(session->mutex);
        if (session->ended)
            session.reset();
        else
            session->threadFds.push_back(fd);
    }
    if (!session) {
        RefuseHello(fd, kRefusedSession, "tq4815: no such session at the machine host\n");
        close(fd);
        return;
    }
    Send(fd, Type::HelloReply, HelloReply{kMagic, kVersion, 0, 0, session->id, session->key});
    Frame frame;
    while (ReceiveFrame(fd, frame)) {
        switch (frame.type) {
        case Type::Open:
            RunOpen(*session, fd, frame);
            break;
        case Type::Close:
            RunClose(*session, fd, frame);
            break;
        case Type::Control:
            RunControl(session, fd, frame);
            break;
        case Type::Cancel:
            RunCancel(*session, fd, frame);
            break;
        default:
            break;  // nothing else is asked on a thread connection
        }
    }
    {
        std::lock_guard lock(session->mutex);
        std::erase(session->threadFds, fd);
    }
    close(fd);
}

void Serve(Host &host, int fd)
{
    Frame frame;
    Hello hello{};
    if (!ReceiveFrame(fd, frame) || frame.type != Type::Hello || !frame.Get(hello) || hello.magic != kMagic) {
        close(fd);
        return;
    }
    if (hello.version != kVersion) {
        std::string why = "tq4815 host: refused a client of protocol version " + std::to_string(hello.version) +
                          "; this host speaks version " + std::to_string(kVersion) + "\n";
        std::fputs(why.c_str(), stderr);
        RefuseHello(fd, kRefusedVersion, why);
        close(fd);
        return;
    }
    switch (static_cast<ConnectionKind>(hello.kind)) {
    case ConnectionKind::Session:
        ServeSession(host, fd, hello, frame);
        break;
    case ConnectionKind::Thread:
        ServeThread(host, fd, hello);
        break;
    case ConnectionKind::Stop: {
        std::lock_guard lock(host.mutex);
        host.stopping = true;
        host.stopFds.push_back(fd);  // answered once the machine is down
        WakeAcceptor(host);
        break;
    }
    default:
        close(fd);
    }
}

// The folder of the default socket under /tmp is the user's own, mode 0700.
bool PrepareFolder(const std::string &path, std::string &error)
{
    auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return true;
    std::string folder = path.substr(0, slash);
    if (folder.rfind("/tmp/tq4815-", 0) != 0)
        return true;
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = folder + ": " + std::strerror(errno);
        return false;
    }
    struct stat info{};
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
        (info.st_mode & 077) != 0) {
        error = folder + " is not a folder of this user's with mode 0700";
        return false;
    }
    return true;
}

bool Listen(Host &host, std::string &error)
{
    // Bound under a temporary name and renamed into place once listening: whoever sees the
    // socket's name can connect (a client named by TQ4815_HOST does not wait for a host to
    // appear), and a socket file left by a host that ended without removing it is replaced.
    const std::string temporary = host.path + ".new";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (temporary.size() >= sizeof address.sun_path) {
        error = host.path + ": socket path too long";
        return false;
    }
    if (!PrepareFolder(host.path, error))
        return false;
    std::memcpy(address.sun_path, host.path.c_str(), host.path.size() + 1);
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool listening = probe >= 0 && connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (probe >= 0)
        close(probe);
    if (listening) {
        error = "a machine host already listens at " + host.path;
        return false;
    }
    std::memcpy(address.sun_path, temporary.c_str(), temporary.size() + 1);
    host.listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(temporary.c_str());
    if (host.listenFd < 0 || bind(host.listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        chmod(temporary.c_str(), 0600) != 0 || listen(host.listenFd, 64) != 0 ||
        rename(temporary.c_str(), host.path.c_str()) != 0) {
        error = host.path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace
}  // namespace tqwin32::host

namespace tqhost {

using namespace tqwin32::host;
namespace kernel = tqwin32::kernel;

std::string DefaultSocketPath() { return tqwin32::host::DefaultSocketPath(); }

int RunMachineHost(const std::string &socketPath, std::string &error)
{
    auto *host = new Host;  // never destroyed: detached completion threads may outlive the loop
    host->path = socketPath;
    if (const char *sim = std::getenv("TQ4815_SIM"))
        host->defaultConfig = sim;
    if (pipe2(host->wake, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return 1;
    }
    if (!Listen(*host, error)) {
        if (host->listenFd >= 0)
            close(host->listenFd);
        return 1;
    }
    {
        std::string text;
        std::lock_guard lock(host->mutex);
        if (!BootMachine(*host, host->defaultConfig, text)) {
            error = "the machine did not boot";
            close(host->listenFd);
            unlink(host->path.c_str());
            return 1;
        }
    }
    gHost = host;
    struct sigaction action{};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::fprintf(stderr, "tq4815 host: listening at %s\n", host->path.c_str());

    std::list<Connection> connections;
    for (;;) {
        pollfd waits[2] = {{host->listenFd, POLLIN, 0}, {host->wake[0], POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (waits[1].revents != 0)
            break;  // a stop request or a signal
        int fd = accept4(host->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        // Threads of connections that ended are joined as new ones come.
        for (auto it = connections.begin(); it != connections.end();) {
            if (it->done.load()) {
                it->thread.join();
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
        Connection &connection = connections.emplace_back();
        connection.thread = std::thread([host, fd, &connection] {
            Serve(*host, fd);
            connection.done.store(true);
        });
    }

    // The end: no new clients; every session ended as its process's end would end it; then
    // the machine goes through the driver's removal path with the verifier's unload checks.
    std::fprintf(stderr, "tq4815 host: stopping\n");
    close(host->listenFd);
    unlink(host->path.c_str());
    {
        std::lock_guard lock(host->mutex);
        host->stopping = true;
        for (auto &[id, session] : host->sessions) {
            std::lock_guard write(session->writeMutex);
            if (session->fd >= 0)
                shutdown(session->fd, SHUT_RDWR);
        }
    }
    host->changed.notify_all();
    for (Connection &connection : connections)
        connection.thread.join();
    kernel::ShutdownMachine();
    std::fprintf(stderr, "tq4815 host: machine shut down\n");
    std::vector<int> stopFds;
    {
        std::lock_guard lock(host->mutex);
        stopFds.swap(host->stopFds);
    }
    for (int fd : stopFds) {
        Send(fd, Type::HelloReply, HelloReply{kMagic, kVersion, 0, 0, 0, 0});
        close(fd);
    }
    return 0;  // gHost stays: the host record is never destroyed (see above)
}

int StopMachineHost(const std::string &socketPath, std::string &error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        error = socketPath + ": socket path too long";
        return 1;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        error = "no machine host listens at " + socketPath + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return 1;
    }
    Hello hello{kMagic, kVersion, static_cast<std::uint32_t>(ConnectionKind::Stop), 0, 0, 0, 0,
                static_cast<std::uint32_t>(getpid())};
    Frame reply;
    HelloReply answer{};
    // The answer comes once the host has shut its machine down.
    bool answered = Send(fd, Type::Hello, hello) && ReceiveFrame(fd, reply) && reply.Get(answer);
    close(fd);
    if (!answered || answer.status != 0) {
        error = "the machine host at " + socketPath + " did not confirm its end";
        return 1;
    }
    return 0;
}

}  // namespace tqhost
