// The machine host with real processes: a `tq4815 host` on a socket of the test's own, and
// tool (or probe) processes that share its one machine as programs share the real device.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Process {
    pid_t pid = -1;
    std::string outPath, errPath;
};

struct Finished {
    int status = -1;
    std::string out, err;
};

// Starts `program args…` with TQ4815_HOST = socket and TQ4815_SIM unset (the host's card).
Process Spawn(const std::string &program, const std::vector<std::string> &args, const std::string &socket)
{
    static int runs = 0;
    std::string stem = ::testing::TempDir() + "host_" + std::to_string(getpid()) + "_" + std::to_string(++runs);
    Process p{-1, stem + "_out.txt", stem + "_err.txt"};
    p.pid = fork();
    if (p.pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test killed (by a time-out) leaves no host behind
        setenv("TQ4815_HOST", socket.c_str(), 1);
        unsetenv("TQ4815_SIM");
        if (!freopen(p.outPath.c_str(), "w", stdout) || !freopen(p.errPath.c_str(), "w", stderr))
            _exit(127);
        std::vector<char *> argv{const_cast<char *>(program.c_str())};
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return p;
}

Finished Finish(Process &p)
{
    Finished f;
    int wstatus = 0;
    waitpid(p.pid, &wstatus, 0);
    p.pid = -1;
    f.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    f.out = ReadFile(p.outPath);
    f.err = ReadFile(p.errPath);
    std::remove(p.outPath.c_str());
    std::remove(p.errPath.c_str());
    return f;
}

Finished RunTo(const std::vector<std::string> &args, const std::string &socket, const std::string &program = TQ4815_TOOL_PATH)
{
    Process p = Spawn(program, args, socket);
    return Finish(p);
}

bool Listening(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// Polls `condition` every 10 ms for at most 30 s.
template <typename F>
bool Eventually(F condition)
{
    for (int i = 0; i < 3000; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class MachineHost : public ::testing::Test {
protected:
    // Starts `tq4815 host` with the card `sim` and waits until it listens.
    void StartHost(const std::string &sim)
    {
        socket_ = ::testing::TempDir() + "tq4815-host-" + std::to_string(getpid()) + ".sock";
        host_ = Spawn(TQ4815_TOOL_PATH, {"host", "--socket", socket_, "--sim", sim}, socket_);
        ASSERT_TRUE(Eventually([&] { return Listening(socket_) || waitpid(host_.pid, nullptr, WNOHANG) != 0; }));
        ASSERT_TRUE(Listening(socket_)) << ReadFile(host_.errPath);
    }

    // Stops the host as a user does; it must end cleanly, its verifier silent. A host that
    // does not stop is killed, so that no test leaves one behind.
    void TearDown() override
    {
        if (host_.pid < 0)
            return;
        Finished stop = RunTo({"host", "--stop", "--socket", socket_}, socket_);
        if (stop.status != 0)
            kill(host_.pid, SIGKILL);
        Finished host = Finish(host_);
        EXPECT_EQ(stop.status, 0) << stop.err;
        EXPECT_EQ(host.status, 0) << host.err;
        EXPECT_EQ(host.err.find("verifier"), std::string::npos) << host.err;
        EXPECT_NE(host.err.find("machine shut down"), std::string::npos) << host.err;
    }

    unsigned AcquisitionInterrupts()
    {
        Finished status = RunTo({"board", "status", "--json"}, socket_);
        EXPECT_EQ(status.status, 0) << status.err;
        return status.status == 0 ? nlohmann::json::parse(status.out)["acquisition_interrupts"].get<unsigned>() : 0;
    }

    std::string socket_;
    Process host_;
};

// While one process acquires, another sees the same card: its interrupt count rises, and a
// second acquisition is refused with 102 (whose Initial, as the driver does, also stops the first).
TEST_F(MachineHost, ProcessesShareOneCard)
{
    StartHost("ch0=count");
    Process first = Spawn(TQ4815_TOOL_PATH, {"acquire", "--channels", "1", "--rate", "100", "--seconds", "600", "--quiet"}, socket_);
    unsigned seen = 0;
    ASSERT_TRUE(Eventually([&] { return (seen = AcquisitionInterrupts()) > 0; }));
    ASSERT_TRUE(Eventually([&] { return AcquisitionInterrupts() > seen; }));
    // The error number is the device's last one, fetched by a request of its own: a request
    // of the first process in between (refused with 110 once its acquisition was stopped)
    // can come first, on Windows as here.
    Finished second = RunTo({"acquire", "--seconds", "1", "--quiet"}, socket_);
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(second.err.find("Initial failed: error 102") != std::string::npos ||
                second.err.find("Initial failed: error 110") != std::string::npos)
        << second.err;
    // Stopped under it, the first acquisition ends by itself instead of waiting for ever.
    bool endedAlone = Eventually([&] {
        siginfo_t info{};
        return waitid(P_PID, first.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == first.pid;
    });
    if (!endedAlone)
        kill(first.pid, SIGINT);
    EXPECT_TRUE(endedAlone);
    Finished ended = Finish(first);
    EXPECT_EQ(ended.status, 1) << ended.err;
    EXPECT_NE(ended.err.find("error 110"), std::string::npos) << ended.err;
}

// EEPROM words written at the same time by two processes are both kept: one chip, one driver.
TEST_F(MachineHost, EepromWritesOfTwoProcessesAreBothKept)
{
    const std::string file = ::testing::TempDir() + "host_eeprom_" + std::to_string(getpid()) + ".txt";
    std::remove(file.c_str());
    StartHost("eeprom=" + file);
    for (int round = 0; round < 10; ++round) {
        const std::string a = std::to_string(0x1000 + round), b = std::to_string(0x2000 + round);
        Process one = Spawn(TQ4815_TOOL_PATH, {"eeprom", "write", "40", a}, socket_);
        Process two = Spawn(TQ4815_TOOL_PATH, {"eeprom", "write", "41", b}, socket_);
        ASSERT_EQ(Finish(one).status, 0);
        ASSERT_EQ(Finish(two).status, 0);
        Finished read = RunTo({"eeprom", "read", "40", "2", "--json"}, socket_);
        ASSERT_EQ(read.status, 0) << read.err;
        EXPECT_EQ(nlohmann::json::parse(read.out)["words"], nlohmann::json({0x1000 + round, 0x2000 + round}))
            << "round " << round;
    }
    std::remove(file.c_str());
}

// A client killed during an acquisition, with a notification request pending: the host goes
// on serving, the request was cancelled (a new one waits and gets the posted value), and the
// next Initial stops the orphaned acquisition with 102; the one after succeeds.
TEST_F(MachineHost, KilledClientLeavesHostServing)
{
    StartHost("ch0=count;speed=10");
    Process acquiring =
        Spawn(TQ4815_TOOL_PATH, {"acquire", "--channels", "1", "--rate", "1000", "--seconds", "6000", "--quiet"}, socket_);
    Process waiting = Spawn(TQ4815_HOST_PROBE_PATH, {"wait"}, socket_);
    ASSERT_TRUE(Eventually([&] { return AcquisitionInterrupts() > 0 && ReadFile(waiting.outPath) == "waiting\n"; }));
    kill(acquiring.pid, SIGKILL);
    kill(waiting.pid, SIGKILL);
    EXPECT_EQ(Finish(acquiring).status, 128 + SIGKILL);
    EXPECT_EQ(Finish(waiting).status, 128 + SIGKILL);

    // The host closes a dead client's handles when it sees the connection end, a moment
    // after the process is gone, so the first attempts may still find the slot taken.
    Finished rendezvous;
    Eventually([&] { return (rendezvous = RunTo({"rendezvous"}, socket_, TQ4815_HOST_PROBE_PATH)).status == 0; });
    EXPECT_EQ(rendezvous.status, 0) << rendezvous.out << rendezvous.err;
    Finished orphaned = RunTo({"acquire", "--seconds", "1", "--quiet"}, socket_);
    EXPECT_EQ(orphaned.status, 1);
    EXPECT_NE(orphaned.err.find("Initial failed: error 102"), std::string::npos) << orphaned.err;
    Finished next = RunTo({"acquire", "--seconds", "1", "--quiet"}, socket_);
    EXPECT_EQ(next.status, 0) << next.err;
}

// A program that asks for another card gets it once nobody uses the running one; a host
// named but not listening, and a client of another protocol version, are refused by name.
TEST_F(MachineHost, ConfigurationAndRefusals)
{
    StartHost("di=0x12,0x34");
    Finished shared = RunTo({"board", "di", "--json"}, socket_);
    ASSERT_EQ(shared.status, 0) << shared.err;
    EXPECT_EQ(nlohmann::json::parse(shared.out)["high"], 0x34);
    Finished own = RunTo({"board", "di", "--json", "--sim", "di=0x56,0x78"}, socket_);
    ASSERT_EQ(own.status, 0) << own.err;
    EXPECT_EQ(nlohmann::json::parse(own.out)["high"], 0x78);
    Finished nobody = RunTo({"info"}, socket_ + ".none");
    EXPECT_EQ(nobody.status, 1);
    EXPECT_NE(nobody.err.find("no machine host listens at " + socket_ + ".none"), std::string::npos) << nobody.err;

    // A hello of version 999: length, type 1, then magic "TQHS", version, kind (session), …
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const uint32_t hello[2 + 10] = {40, 1, 0x53485154, 999, 1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(write(fd, hello, sizeof hello), static_cast<ssize_t>(sizeof hello));
    char reply[512] = {};
    ssize_t got = 0, n = 0;
    while ((n = read(fd, reply + got, sizeof reply - 1 - got)) > 0)
        got += n;
    close(fd);
    ASSERT_GT(got, 32);
    uint32_t status = 0;
    std::memcpy(&status, reply + 8 + 8, 4);
    EXPECT_EQ(status, 1u);  // refused: version
    EXPECT_NE(std::string(reply + 8 + 32, reply + got).find("client of protocol version 999; this host speaks version 1"),
              std::string::npos);

    // And the other way: a host of version 999 (this test) is refused by the client.
    const std::string other = socket_ + ".v999";
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", other.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    std::thread answer([listener] {
        int client = accept(listener, nullptr, nullptr);
        uint32_t hello[12] = {};
        if (client >= 0 && read(client, hello, sizeof hello) > 0) {
            const uint32_t reply[2 + 8] = {32, 2, 0x53485154, 999, 1, 0, 0, 0, 0, 0};  // HelloReply, refused
            [[maybe_unused]] ssize_t sent = write(client, reply, sizeof reply);
        }
        close(client);
    });
    Finished refused = RunTo({"info"}, other);
    answer.join();
    close(listener);
    std::remove(other.c_str());
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("speaks protocol version 999; this program speaks version 1"), std::string::npos)
        << refused.err;
}

}  // namespace
