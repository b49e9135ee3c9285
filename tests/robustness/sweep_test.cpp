// Every device-control code of device type 0x22 (functions 0x800…0xFFF, all four transfer
// methods) with a range of input and output lengths and null buffers, against the started
// driver on the simulated machine: the assigned codes give the documented status and
// LastError, the others STATUS_INVALID_DEVICE_REQUEST with LastError untouched; nothing is
// written outside the caller's buffers, the input buffer is never written, the verifier
// stays silent. TQ_ROBUST_LONG=1 sweeps every length pair for every code. A second sweep
// sends every form that takes a port from the caller with every port outside the card's
// ranges: each is refused with 121 before any port is touched.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "guarded_buffer.h"
#include "plat/hw.h"
#include "plat/user_io.h"
#include "plat/verifier.h"
#include "request_model.h"
#include "run_switches.h"
#include "support/driver_fixture.h"

namespace tqrobust {
namespace {

using runswitch::LongRun;

const std::vector<uint32_t> kAllLengths = {0, 1, 2, 3, 4, 7, 8, 31, 32, 33, 99, 100, 101};
const std::vector<uint32_t> kShortLengths = {0, 3, 4, 101};
constexpr LONG kSentinel = 0x5EED;
constexpr uint8_t kInputFill = 0x00;

class SweepTest : public tqtest::DriverTest {
protected:
    // Sends one request and checks it against the model; returns false on a mismatch
    // (reported through gtest with the request's description).
    bool Check(uint32_t code, uint32_t inLen, uint32_t outLen, bool opened, bool nullIn, bool nullOut)
    {
        std::ostringstream what;
        what << std::hex << "code 0x" << code << std::dec << " in " << inLen << (nullIn ? " (null)" : "")
             << " out " << outLen << (nullOut ? " (null)" : "") << (opened ? " opened" : " not opened");
        GuardedBuffer input(inLen, kInputFill);
        GuardedBuffer output(outLen, 0xA5);
        Dc()->LastError = kSentinel;
        ++requests_;

        Expectation expected = Expect(code, inLen, outLen, opened);
        bool nullSent = (nullIn && inLen != 0) || (nullOut && outLen != 0);
        if (expected.pends && !nullSent)
            return CheckWait(code, outLen, output, what.str());

        ULONG_PTR information = 0xDEAD;
        NTSTATUS status = Ioctl(code, nullIn ? nullptr : input.Data(), inLen, nullOut ? nullptr : output.Data(), outLen,
                                &information);
        bool ok = true;
        auto fail = [&](const std::string &msg) {
            ADD_FAILURE() << what.str() << ": " << msg;
            ok = false;
        };
        if (!input.GuardsIntact() || !output.GuardsIntact())
            fail("write outside the caller's buffers");
        if (!input.Unchanged(kInputFill) && input.Data() != output.Data())
            fail("input buffer written");
        if (plat::VerifierViolationCount() != 0)
            fail("verifier violation");
        LONG error = Dc()->LastError;
        if (nullSent) {
            if (status != STATUS_ACCESS_VIOLATION)
                fail("null buffer not refused: status " + Hex(status));
            if (error != kSentinel)
                fail("null buffer reached the driver: LastError " + std::to_string(error));
            return ok;
        }
        bool matched = false;
        for (size_t i = 0; i < expected.statuses.size(); ++i) {
            LONG wanted = expected.lastErrors[i] == kUnchanged ? kSentinel : expected.lastErrors[i];
            if (status == expected.statuses[i] && error == wanted)
                matched = true;
        }
        if (!matched) {
            std::string want;
            for (size_t i = 0; i < expected.statuses.size(); ++i)
                want.append(" ").append(Hex(expected.statuses[i])).append("/").append(std::to_string(expected.lastErrors[i]));
            fail("got " + Hex(status) + "/" + std::to_string(error == kSentinel ? kUnchanged : error) +
                 ", expected one of" + want);
        }
        if (information != outLen)
            fail("information " + std::to_string(information));
        if (code == IOCTL_INITIAL && status == STATUS_SUCCESS)
            opened_ = true;
        return ok;
    }

    // A queued notification wait: sent from a second thread and released by a post.
    bool CheckWait(uint32_t code, uint32_t outLen, GuardedBuffer &output, const std::string &what)
    {
        std::atomic<NTSTATUS> waitStatus{STATUS_PENDING};
        ULONG_PTR information = 0;
        std::thread waiter([&] { waitStatus = Ioctl(code, nullptr, 0, output.Data(), outLen, &information); });
        const uint8_t posted[4] = {1, 2, 3, 4};
        NTSTATUS post = STATUS_UNSUCCESSFUL;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (post != STATUS_SUCCESS && std::chrono::steady_clock::now() < giveUp) {
            post = Ioctl(IOCTL_POST_NOTIFY, posted, sizeof(posted), nullptr, 0);
            if (post != STATUS_SUCCESS)
                std::this_thread::yield();
        }
        waiter.join();
        bool ok = post == STATUS_SUCCESS && waitStatus.load() == STATUS_SUCCESS && output.GuardsIntact() &&
                  Dc()->LastError == kSentinel && plat::VerifierViolationCount() == 0;
        EXPECT_TRUE(ok) << what << ": wait " << Hex(waitStatus.load()) << " post " << Hex(post);
        return ok;
    }

    // Every code of the range with each method; the assigned ones with every length pair.
    void Sweep(bool opened)
    {
        const std::vector<uint32_t> &unassignedLengths = LongRun() ? kAllLengths : kShortLengths;
        unsigned failures = 0;
        for (uint32_t function = 0x800; function <= 0xFFF && failures < 20; ++function) {
            for (uint32_t method = 0; method < 4; ++method) {
                uint32_t code = TqControlCode(function, method);
                if (code == IOCTL_INITIAL)
                    continue;  // changes the state; swept on its own
                const std::vector<uint32_t> &lengths = IsAssigned(code) ? kAllLengths : unassignedLengths;
                for (uint32_t in : lengths)
                    for (uint32_t out : lengths)
                        for (int nulls = 0; nulls < 3; ++nulls) {
                            bool nullIn = nulls == 1, nullOut = nulls == 2;
                            if ((nullIn && in == 0) || (nullOut && out == 0))
                                continue;
                            if (!Check(code, in, out, opened, nullIn, nullOut))
                                ++failures;
                        }
            }
        }
        EXPECT_EQ(failures, 0u);
    }

    static std::string Hex(NTSTATUS status)
    {
        std::ostringstream s;
        s << "0x" << std::hex << static_cast<uint32_t>(status);
        return s.str();
    }

    bool opened_ = false;
    uint64_t requests_ = 0;
};

// Every form that takes a port from the caller, with every port it can name (all 16-bit
// port numbers for the direct codes and the register forms' unsigned offsets, every
// signed offset and count for the bridge read and the byte runs) whose access does not
// lie wholly in the card's bridge or board range: STATUS_ACCESS_DENIED with 121, and no
// port of any device touched (the card's register trace and the bus's count of
// accesses nobody decoded both stand still).
TEST_F(SweepTest, EveryPortFormOutsideTheCardsRangesGets121AndTouchesNoPort)
{
    const uint32_t bridge = Dc()->BridgeBase, board = Dc()->BoardBase;
    const uint32_t bridgeLength = Dc()->PortLength[0], boardLength = Dc()->PortLength[1];
    auto inside = [&](int64_t port, uint32_t bytes) {
        return (port >= bridge && port + bytes <= bridge + bridgeLength) ||
               (port >= board && port + bytes <= board + boardLength);
    };
    uint64_t sent = 0, failures = 0;
    const uint64_t unclaimed = plat::UnclaimedAccessCount();
    auto expectDenied = [&](const char *what, uint32_t code, uint8_t *in, uint32_t inLen, uint32_t outLen,
                            int64_t port) {
        uint8_t out[100];
        const uint64_t trace = Card().Trace().Total();
        NTSTATUS status = Ioctl(code, in, inLen, outLen != 0 ? out : nullptr, outLen);
        ++sent;
        if (status != STATUS_ACCESS_DENIED || Dc()->LastError != TQ_DRV_PORT_OUT_OF_RANGE ||
            Card().Trace().Total() != trace || plat::UnclaimedAccessCount() != unclaimed) {
            if (++failures <= 10)
                ADD_FAILURE() << what << " at port 0x" << std::hex << port << ": " << Hex(status) << std::dec << "/"
                              << Dc()->LastError;
        }
    };

    struct PortCode {
        uint32_t code, width;
        bool write;
    };
    for (PortCode c : {PortCode{IOCTL_IN_BYTE, 1, false}, {IOCTL_IN_WORD, 2, false}, {IOCTL_IN_DWORD, 4, false},
                       {IOCTL_OUT_BYTE, 1, true}, {IOCTL_OUT_WORD, 2, true}, {IOCTL_OUT_DWORD, 4, true}})
        for (uint32_t port = 0; port <= 0xFFFF; ++port) {
            if (inside(port, c.width))
                continue;
            uint8_t record[8] = {uint8_t(port), uint8_t(port >> 8), 0, 0, 0xA5, 0xA5, 0xA5, 0xA5};
            expectDenied("direct port code", c.code, record, c.write ? 8 : 2, c.write ? 0 : 4, port);
        }
    // RegisterRead (4/4) and RegisterWrite (8/1): an unsigned offset from BoardBase, the
    // port being the low 16 bits of the sum.
    for (uint8_t width = 1; width <= 3; ++width)
        for (uint32_t offset = 0; offset <= 0xFFFF; ++offset) {
            const uint32_t port = (board + offset) & 0xFFFF, bytes = width == 3 ? 4 : width;
            if (inside(port, bytes))
                continue;
            uint8_t request[8] = {width, 0, uint8_t(offset), uint8_t(offset >> 8), 0xA5, 0xA5, 0xA5, 0xA5};
            expectDenied("RegisterRead", IOCTL_BOARD_COMMAND, request, 4, 4, port);
            expectDenied("RegisterWrite", IOCTL_BOARD_COMMAND, request, 8, 1, port);
        }
    // BridgeRead (1/4) and the byte runs of the CommandBlock: signed offsets.
    for (int offset = -128; offset <= 127; ++offset) {
        uint8_t request[100] = {uint8_t(offset)};
        if (!inside(bridge + offset, 4))
            expectDenied("BridgeRead", IOCTL_BOARD_COMMAND, request, 1, 4, bridge + offset);
        for (uint8_t sub : {0, 1})
            for (int count = 1; count <= (sub == 0 ? 100 : 97); ++count) {
                if (inside(board + offset, count))
                    continue;
                memset(request, 0xA5, sizeof(request));
                request[0] = sub, request[1] = uint8_t(count), request[2] = uint8_t(offset);
                expectDenied(sub == 0 ? "CMD_READ_BYTES" : "CMD_WRITE_BYTES", IOCTL_BOARD_COMMAND, request, 100, 100,
                             board + offset);
            }
    }
    EXPECT_EQ(failures, 0u) << "of " << sent;
    std::cout << "[ sweep ] " << sent << " out-of-range port requests\n";
}

TEST_F(SweepTest, EveryCodeBeforeAndAfterInitialGivesItsDocumentedResult)
{
    Sweep(false);
    ASSERT_FALSE(opened_);
    // IOCTL_INITIAL with each length: only 16 bytes open the device.
    for (uint32_t in : {0u, 1u, 8u, 15u, 17u, 32u, 16u})
        Check(IOCTL_INITIAL, in, 0, opened_, false, false);
    ASSERT_TRUE(opened_);
    Sweep(true);
    std::cout << "[ sweep ] " << requests_ << " requests\n";
}

}  // namespace
}  // namespace tqrobust
