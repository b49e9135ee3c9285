// The dispatcher's front door: routing, completion (information equal to the output
// length on success and failure), the direct port codes against the card, unassigned
// codes, the notification pair's length checks and rendezvous, create/close counting, and
// the remove lock's refusal once removal begins.
#include "support/driver_fixture.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "driver.h"
#include "plat/hw.h"
#include "plat/kernel.h"
#include "plat/user_io.h"

namespace tqtest {
namespace {

using sim::Window;

class DispatchTest : public DriverTest {};

TEST_F(DispatchTest, UnassignedFunctionCodesAreInvalidDeviceRequests)
{
    TqStartRecord record{};
    ASSERT_EQ(Start(record), STATUS_UNSUCCESSFUL);  // not opened: LastError 107
    for (uint32_t function : {0x803u, 0x809u, 0x814u, 0x7FFu}) {
        for (uint32_t method : {TqMethodBuffered, TqMethodOutDirect}) {
            uint8_t out[8] = {};
            ULONG_PTR information = 0;
            EXPECT_EQ(Ioctl(TqControlCode(function, method), nullptr, 0, out, sizeof(out), &information),
                      STATUS_INVALID_DEVICE_REQUEST)
                << std::hex << function;
            EXPECT_EQ(information, sizeof(out));
        }
    }
    EXPECT_EQ(LastError(), TQ_DRV_NOT_INITIALISED) << "an unassigned code leaves LastError alone";
}

TEST_F(DispatchTest, InformationIsTheOutputLengthOnSuccessAndFailure)
{
    ULONG_PTR information = 0;
    uint8_t out[16] = {};
    // A refusal (not opened) with an output of 16 bytes.
    EXPECT_EQ(Ioctl(IOCTL_QUERY_BUF, nullptr, 0, out, sizeof(out), &information), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(information, sizeof(out));
    // A success with an output longer than the reply: what the handler did not write
    // comes back as zero, never as the pool the system buffer came from.
    uint16_t port[8] = {static_cast<uint16_t>(Dc()->BoardBase + BOARD_STATUS)};
    for (size_t i = 1; i < 8; ++i)
        port[i] = 0xA5A5;
    EXPECT_EQ(Ioctl(IOCTL_IN_BYTE, port, 2, port, sizeof(port), &information), STATUS_SUCCESS);
    EXPECT_EQ(information, sizeof(port));
    EXPECT_EQ(port[0] & 0xFF, STATUS_CONVERSION_DONE);
    for (size_t i = 1; i < 8; ++i)
        EXPECT_EQ(port[i], 0) << i;
    // No output at all.
    EXPECT_EQ(Ioctl(IOCTL_STOP, nullptr, 0, nullptr, 0, &information), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(information, 0u);
}

TEST_F(DispatchTest, LastErrorOfAFailedStartCanBeFetchedAfterwards)
{
    ASSERT_EQ(Initial(), STATUS_SUCCESS);
    TqStartRecord record = StartRecord(10, 1000, 2, 4, 0, 0, false, NewEvent());
    EXPECT_EQ(Ioctl(IOCTL_START, &record, 31, nullptr, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LastError(), TQ_DRV_START_LENGTH);
    EXPECT_EQ(LastError(), TQ_DRV_START_LENGTH) << "reading LastError does not clear it";
    LONG wide[2] = {};
    EXPECT_EQ(Ioctl(IOCTL_GET_LAST_ERROR, nullptr, 0, wide, 8), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_START_LENGTH);
}

TEST_F(DispatchTest, PortCodesReadAndWriteTheAddressedPortWithTheirWidth)
{
    const uint16_t board = static_cast<uint16_t>(Dc()->BoardBase);
    const uint16_t bridge = static_cast<uint16_t>(Dc()->BridgeBase);
    Card().SetDigitalInputs(0x3C, 0xC3);

    // Byte write to the digital outputs, byte read of the digital inputs.
    uint8_t write[8] = {};
    write[0] = static_cast<uint8_t>(board + BOARD_DO_LOW);
    write[1] = static_cast<uint8_t>((board + BOARD_DO_LOW) >> 8);
    write[4] = 0x5A;
    write[5] = 0xEE;  // beyond the byte: not written
    ASSERT_EQ(Ioctl(IOCTL_OUT_BYTE, write, 8, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(Card().DigitalOutputLow(), 0x5A);
    EXPECT_EQ(Card().DigitalOutputHigh(), 0x00);

    uint8_t read[4] = {static_cast<uint8_t>(board + BOARD_DI_LOW), static_cast<uint8_t>((board + BOARD_DI_LOW) >> 8),
                       0x77, 0x77};
    ASSERT_EQ(Ioctl(IOCTL_IN_BYTE, read, 2, read, 2), STATUS_SUCCESS);
    EXPECT_EQ(read[0], 0x3C);
    EXPECT_EQ(read[1], static_cast<uint8_t>((board + BOARD_DI_LOW) >> 8)) << "the rest keeps the input";

    // Dword write and read of IntCsr.
    uint32_t dword[2] = {static_cast<uint32_t>(bridge + BRIDGE_INTCSR), 0x00000102};
    ASSERT_EQ(Ioctl(IOCTL_OUT_DWORD, dword, 8, nullptr, 0), STATUS_SUCCESS);
    uint32_t back = bridge + BRIDGE_INTCSR;
    ASSERT_EQ(Ioctl(IOCTL_IN_DWORD, &back, 2, &back, 4), STATUS_SUCCESS);
    EXPECT_EQ(back, Card().PeekIntCsr(Card().Now()));
    EXPECT_EQ(back & 0xFFFu, 0x102u);

    // Word write: the digital outputs take one 16-bit access at +13? The card decodes
    // 8-bit registers, so the trace shows the width the driver used.
    Card().ClearTrace();
    uint16_t word[4] = {static_cast<uint16_t>(board + BOARD_DO_LOW), 0, 0x1234, 0};
    ASSERT_EQ(Ioctl(IOCTL_OUT_WORD, word, 8, nullptr, 0), STATUS_SUCCESS);
    uint16_t in[1] = {static_cast<uint16_t>(board + BOARD_DI_LOW)};
    ASSERT_EQ(Ioctl(IOCTL_IN_WORD, in, 2, in, 2), STATUS_SUCCESS);
    std::vector<sim::RegisterAccess> trace = Trace(Window::Board);
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_TRUE(trace[0].write);
    EXPECT_EQ(trace[0].width, 2);
    EXPECT_EQ(trace[0].value, 0x1234u);
    EXPECT_FALSE(trace[1].write);
    EXPECT_EQ(trace[1].width, 2);
    EXPECT_EQ(in[0], trace[1].value);
}

// The direct port codes reach a port only when the whole access lies inside a range the
// card claimed; anything else (another device's port, port 0, an access that straddles
// the end of a range) is refused with 121 and STATUS_ACCESS_DENIED before any port is
// touched. The last bytes of each range remain reachable.
TEST_F(DispatchTest, PortCodesOutsideTheCardsRangesAreRefusedWith121WithoutTouchingAnything)
{
    const uint32_t board = Dc()->BoardBase, bridge = Dc()->BridgeBase;
    struct Case {
        ULONG code;
        uint32_t port;
        bool inside;
    };
    const Case cases[] = {
        {IOCTL_IN_BYTE, board + 15, true},    {IOCTL_IN_WORD, board + 14, true},
        {IOCTL_IN_DWORD, bridge + 124, true}, {IOCTL_OUT_BYTE, board + BOARD_DO_HIGH, true},
        {IOCTL_IN_BYTE, board + 16, false},   {IOCTL_IN_WORD, board + 15, false},
        {IOCTL_IN_DWORD, board + 13, false},  {IOCTL_IN_DWORD, bridge + 125, false},
        {IOCTL_IN_BYTE, bridge - 1, false},   {IOCTL_IN_BYTE, 0, false},
        {IOCTL_IN_BYTE, 0xFFFF, false},       {IOCTL_OUT_BYTE, 0x300, false},
        {IOCTL_OUT_WORD, 0x80, false},        {IOCTL_OUT_DWORD, board + 16, false},
    };
    // The reads of the board range's last bytes reach its write-only registers on purpose.
    Card().ExpectMisuse(sim::misuse::kWriteOnlyRead);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code << " port " << c.port);
        uint32_t record[2] = {c.port, 0x5A5A5A5A};
        Card().ClearTrace();
        const bool write = c.code >= IOCTL_OUT_BYTE;
        NTSTATUS status = Ioctl(c.code, record, write ? 8 : 2, write ? nullptr : record, write ? 0 : 4);
        if (c.inside) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(Card().Trace().Entries().size(), 1u);
            continue;
        }
        EXPECT_EQ(status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(LastError(), TQ_DRV_PORT_OUT_OF_RANGE);
        EXPECT_TRUE(Card().Trace().Entries().empty());
        EXPECT_EQ(plat::UnclaimedAccessCount(), 0u);
    }
}

TEST_F(DispatchTest, PortCodesRefuseBuffersTooShortForTheirRecordWithoutTouchingAnything)
{
    const uint16_t port = static_cast<uint16_t>(Dc()->BoardBase + BOARD_DO_LOW);
    struct Case {
        ULONG code, inLen, outLen;
    };
    const Case cases[] = {
        {IOCTL_IN_BYTE, 1, 2},   {IOCTL_IN_BYTE, 2, 0},  {IOCTL_IN_WORD, 2, 1},   {IOCTL_IN_DWORD, 2, 3},
        {IOCTL_IN_DWORD, 0, 4},  {IOCTL_OUT_BYTE, 7, 0}, {IOCTL_OUT_WORD, 4, 0},  {IOCTL_OUT_DWORD, 0, 0},
    };
    for (const Case &c : cases) {
        uint8_t buffer[8] = {static_cast<uint8_t>(port), static_cast<uint8_t>(port >> 8), 0, 0, 0x99, 0x99, 0x99, 0x99};
        uint8_t out[8];
        memset(out, 0xA5, sizeof(out));
        Card().ClearTrace();
        EXPECT_EQ(Ioctl(c.code, buffer, c.inLen, out, c.outLen), STATUS_INVALID_PARAMETER) << std::hex << c.code;
        EXPECT_EQ(LastError(), TQ_DRV_BUFFER_TOO_SHORT);
        EXPECT_TRUE(Card().Trace().Entries().empty()) << std::hex << c.code;
        EXPECT_EQ(out[0], 0xA5);
    }
    EXPECT_EQ(Card().DigitalOutputLow(), 0);
}

TEST_F(DispatchTest, NotificationPairChecksLengthsAndPostingWithoutAWaiterFails)
{
    uint32_t value = 7;
    EXPECT_EQ(Ioctl(IOCTL_WAIT_NOTIFY, nullptr, 0, &value, 3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(IOCTL_POST_NOTIFY, &value, 3, nullptr, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(IOCTL_POST_NOTIFY, &value, 4, nullptr, 0), STATUS_UNSUCCESSFUL);
}

TEST_F(DispatchTest, PostCompletesTheWaitingRequestWithItsValue)
{
    HANDLE waiterFile = nullptr;
    ASSERT_EQ(plat::OpenDevicePath("\\\\.\\Tq4815x", &waiterFile), STATUS_SUCCESS);
    std::atomic<NTSTATUS> waitStatus{STATUS_PENDING};
    uint8_t received[8];
    memset(received, 0xA5, sizeof(received));
    ULONG_PTR waitInformation = 0;
    std::thread waiter([&] {
        waitStatus = plat::DeviceControl(waiterFile, IOCTL_WAIT_NOTIFY, nullptr, 0, received, sizeof(received),
                                         &waitInformation);
    });
    const uint8_t posted[4] = {0x11, 0x22, 0x33, 0x44};
    // Post until the waiter's request has reached the driver (a generous bound, so a slow
    // machine only makes the loop longer).
    NTSTATUS post = STATUS_UNSUCCESSFUL;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (post != STATUS_SUCCESS && std::chrono::steady_clock::now() < giveUp) {
        post = Ioctl(IOCTL_POST_NOTIFY, posted, sizeof(posted), nullptr, 0);
        if (post != STATUS_SUCCESS)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    waiter.join();
    EXPECT_EQ(post, STATUS_SUCCESS);
    EXPECT_EQ(waitStatus.load(), STATUS_SUCCESS);
    EXPECT_EQ(waitInformation, 4u);
    EXPECT_EQ(memcmp(received, posted, 4), 0);
    EXPECT_EQ(Ioctl(IOCTL_POST_NOTIFY, posted, sizeof(posted), nullptr, 0), STATUS_UNSUCCESSFUL);
    plat::CloseHandle(waiterFile);
}

TEST_F(DispatchTest, OpenHandlesAreCountedAndHoldTheRemoveLock)
{
    const LONG opens = Dc()->OpenCount;
    const LONG references = Dc()->RemoveLock.Count;
    HANDLE second = nullptr;
    ASSERT_EQ(plat::OpenDevicePath("\\\\.\\Tq4815x", &second), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->OpenCount, opens + 1);
    EXPECT_EQ(Dc()->RemoveLock.Count, references + 1);
    // A request holds a reference only while it is handled, whether it succeeds or not.
    uint8_t out[2] = {};
    EXPECT_EQ(Ioctl(IOCTL_QUERY_BUF, nullptr, 0, out, sizeof(out)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ioctl(IOCTL_BOARD_COMMAND, nullptr, 0, out, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Dc()->RemoveLock.Count, references + 1);
    ASSERT_EQ(plat::CloseHandle(second), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->OpenCount, opens);
    EXPECT_EQ(Dc()->RemoveLock.Count, references);
}

TEST_F(DispatchTest, OnWdmOlderThan110HandlesAreCountedWithoutRemoveLockReferences)
{
    Reboot(DistinctLevelsConfig(), 0x00);  // WDM 1.0
    ASSERT_EQ(OldWdm, 1);
    const LONG opens = Dc()->OpenCount;
    const LONG references = Dc()->RemoveLock.Count;
    HANDLE second = nullptr;
    ASSERT_EQ(plat::OpenDevicePath("\\\\.\\Tq4815x", &second), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->OpenCount, opens + 1);
    EXPECT_EQ(Dc()->RemoveLock.Count, references);
    ASSERT_EQ(plat::CloseHandle(second), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->OpenCount, opens);
    EXPECT_EQ(Dc()->RemoveLock.Count, references);
}

TEST_F(DispatchTest, RequestsOnceRemovalHasBegunFailWithDeletePending)
{
    // As RemoveLockReleaseAndWait marks the lock at removal.
    Dc()->RemoveLock.Removing = 1;
    const LONG references = Dc()->RemoveLock.Count;
    ULONG_PTR information = 99;
    uint8_t out[4];
    EXPECT_EQ(Ioctl(IOCTL_QUERY_BUF, nullptr, 0, out, sizeof(out), &information), STATUS_DELETE_PENDING);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(Dc()->RemoveLock.Count, references) << "the refused acquire gave its reference back";
    HANDLE second = nullptr;
    EXPECT_EQ(plat::OpenDevicePath("\\\\.\\Tq4815x", &second), STATUS_DELETE_PENDING);
    Dc()->RemoveLock.Removing = 0;
    if (second != nullptr)  // an open wrongly let through would hold the fixture's removal
        plat::CloseHandle(second);
}

NTSTATUS NTAPI FreeDirectIrp(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(DispatchTest, TheCloseOfARefusedCreateReleasesNothing)
{
    // An I/O manager that sends a close after a refused create (Wine's does) must not make
    // the close drop a reference that another handle holds.
    FILE_OBJECT file{};
    auto send = [&](UCHAR major) {
        PIRP irp = IoAllocateIrp(Fdo()->StackSize + 1, FALSE);
        IoSetNextIrpStackLocation(irp);
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        IoGetNextIrpStackLocation(irp)->FileObject = &file;
        IoSetCompletionRoutine(irp, FreeDirectIrp, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(Fdo(), irp);
    };
    const LONG opens = Dc()->OpenCount;
    const LONG references = Dc()->RemoveLock.Count;
    Dc()->RemoveLock.Removing = 1;
    EXPECT_EQ(send(IRP_MJ_CREATE), STATUS_DELETE_PENDING);
    EXPECT_EQ(send(IRP_MJ_CLOSE), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->OpenCount, opens);
    EXPECT_EQ(Dc()->RemoveLock.Count, references);
    Dc()->RemoveLock.Removing = 0;
}

// ---- The remove lock on its own -----------------------------------------------------------

TEST(RemoveLock, CountsReferencesAndReleasesTheRemovalWhenTheLastGoes)
{
    TQ_REMOVE_LOCK lock;
    RemoveLockInit(&lock);
    EXPECT_EQ(lock.Count, 1);
    EXPECT_EQ(RemoveLockAcquire(&lock, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(RemoveLockAcquire(&lock, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(lock.Count, 3);
    RemoveLockRelease(&lock, nullptr);

    std::atomic<bool> removed{false};
    EXPECT_EQ(RemoveLockAcquire(&lock, nullptr), STATUS_SUCCESS);  // the remover's own
    std::thread remover([&] {
        RemoveLockReleaseAndWait(&lock, nullptr);
        removed = true;
    });
    while (!__atomic_load_n(&lock.Removing, __ATOMIC_SEQ_CST))
        std::this_thread::yield();
    EXPECT_EQ(RemoveLockAcquire(&lock, nullptr), STATUS_DELETE_PENDING);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(removed.load()) << "one holder is left";
    RemoveLockRelease(&lock, nullptr);
    remover.join();
    EXPECT_TRUE(removed.load());
    EXPECT_EQ(lock.Count, 0);
}

}  // namespace
}  // namespace tqtest
