// Claiming and releasing the card's resources at start, stop and removal, for every
// resource layout the simulated bus can give: which ranges become the bridge and the
// board, what is mapped and unmapped (the verifier reports an unmap of anything that was
// not mapped, and the unload check any mapping or connection left), how the interrupt is
// connected and which line is recorded; and that a caller reaches the card's ports and
// EEPROM only through what the current start claimed.
#include "frame_fixture.h"

#include "plat/hw.h"
#include "sim/registers.h"

namespace frame {
namespace {

using FrameResourcesTest = FrameTest;

constexpr ULONG kBridgePort = static_cast<ULONG>(sim::kDefaultBridgePort);
constexpr ULONG kBoardPort = static_cast<ULONG>(sim::kDefaultBoardPort);
constexpr ULONG kMapped = 0xFFFFFFFF;  // expectation: a mapped address, not a port number

BOOLEAN NTAPI NotMine(PKINTERRUPT, PVOID) { return FALSE; }

// Whether another shareable connection of `mode` can join `vector`: it can only when every
// connection already there is shareable and of the same mode.
bool CanJoinVector(ULONG vector, KINTERRUPT_MODE mode)
{
    PKINTERRUPT other = nullptr;
    NTSTATUS status = IoConnectInterrupt(&other, NotMine, nullptr, nullptr, vector,
                                         static_cast<KIRQL>(sim::kDefaultInterruptIrql),
                                         static_cast<KIRQL>(sim::kDefaultInterruptIrql), mode, TRUE, 1, FALSE);
    if (!NT_SUCCESS(status))
        return false;
    IoDisconnectInterrupt(other);
    return true;
}

TEST_F(FrameResourcesTest, EveryLayoutIsClaimedOrRefusedAsItsRangesAllow)
{
    struct Case {
        const char *layout;
        NTSTATUS start;
        USHORT ports, memories;
        ULONG bridge, board;  // on success
        USHORT irqLevel;
    };
    const NTSTATUS kConfig = STATUS_DEVICE_CONFIGURATION_ERROR;
    const Case cases[] = {
        {"default", STATUS_SUCCESS, 2, 1, kBridgePort, kBoardPort, 11},
        {"ports-first", STATUS_SUCCESS, 2, 1, kBridgePort, kBoardPort, 11},
        {"interrupt-first", STATUS_SUCCESS, 2, 1, kBridgePort, kBoardPort, 11},
        {"two-boards", STATUS_SUCCESS, 3, 1, kBridgePort, kBoardPort, 11},  // the earlier one
        {"other-descriptors", STATUS_SUCCESS, 2, 1, kBridgePort, kBoardPort, 11},
        {"bridge-in-memory", STATUS_SUCCESS, 2, 1, kMapped, kBoardPort, 11},
        {"board-in-memory", STATUS_SUCCESS, 2, 1, kBridgePort, kMapped, 11},
        {"raw-vector-0", STATUS_SUCCESS, 2, 1, kBridgePort, kBoardPort, 0},
        {"no-raw", STATUS_SUCCESS, 2, 1, kBridgePort, kBoardPort, 0},
        {"two-interrupts", STATUS_SUCCESS, 2, 1, kBridgePort, kBoardPort, 11},  // the last one
        {"no-memory", kConfig, 2, 0, 0, 0, 11},
        {"no-board", kConfig, 2, 1, 0, 0, 11},
        {"board-first", kConfig, 2, 1, 0, 0, 11},  // the first range is always the bridge
        {"no-interrupt", kConfig, 2, 1, 0, 0, 0},
        {"no-ports", kConfig, 0, 1, 0, 0, 11},
        {"no-translated", kConfig, 0, 0, 0, 0, 0},
        {"seven-ports", kConfig, 6, 1, 0, 0, 0},   // refused at the seventh range
        {"five-memory", kConfig, 0, 4, 0, 0, 0},   // refused at the fifth range
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.layout);
        Plug(Layout(c.layout));
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        EXPECT_EQ(Start(), c.start);
        const DeviceContext *dc = Dc();
        EXPECT_EQ(dc->PortCount, c.ports);
        EXPECT_EQ(dc->MemCount, c.memories);
        if (c.start == STATUS_SUCCESS) {
            EXPECT_EQ(dc->PnpState, ULONG(PNP_STARTED));
            EXPECT_NE(dc->InterruptObject, nullptr);
            EXPECT_EQ(dc->IrqLevel, c.irqLevel);
            EXPECT_EQ(dc->BridgeBase, dc->PortBase[0]);
            if (c.bridge == kMapped) {
                EXPECT_EQ(dc->PortIsMapped[0], 1);
                EXPECT_NE(dc->BridgeBase, kBridgePort);
                EXPECT_NE(dc->BridgeBase, 0u);
            } else {
                EXPECT_EQ(dc->PortIsMapped[0], 0);
                EXPECT_EQ(dc->BridgeBase, c.bridge);
            }
            if (c.board == kMapped) {
                EXPECT_EQ(dc->PortIsMapped[1], 1);
                EXPECT_NE(dc->BoardBase, kBoardPort);
                EXPECT_NE(dc->BoardBase, 0u);
            } else {
                EXPECT_EQ(dc->BoardBase, c.board);
            }
            for (USHORT m = 0; m < dc->MemCount; ++m) {
                EXPECT_NE(dc->MemBase[m], nullptr);
            }
        } else {
            EXPECT_EQ(dc->PnpState, ULONG(PNP_STOPPED));  // a failed start changes nothing
            EXPECT_EQ(dc->InterruptObject, nullptr);
            if (c.ports >= 2 && c.memories >= 1) {
                EXPECT_EQ(dc->BoardBase, 0u);
                EXPECT_EQ(dc->BridgeBase, 0u);
            }
        }
        // The removal releases whatever the claim took, mapped or not, exactly once.
        ASSERT_EQ(plat::PnpRemoveDevice(pdo_), STATUS_SUCCESS);
        Shutdown();
        EXPECT_EQ(ViolationCount(), 0u);
    }
}

TEST_F(FrameResourcesTest, InterruptIsConnectedWithTheModeAndSharingOfItsDescriptor)
{
    struct Case {
        const char *layout;
        bool joinLevel, joinLatched;
    };
    const Case cases[] = {
        {"default", true, false},    // shared, level-sensitive (Flags 0)
        {"latched", false, true},    // shared, latched (Flags 1)
        {"exclusive", false, false}, // not shared: nobody joins
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.layout);
        Plug(Layout(c.layout));
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        EXPECT_EQ(CanJoinVector(sim::kDefaultInterruptVector, LevelSensitive), c.joinLevel);
        EXPECT_EQ(CanJoinVector(sim::kDefaultInterruptVector, Latched), c.joinLatched);
        ASSERT_EQ(plat::PnpRemoveDevice(pdo_), STATUS_SUCCESS);
        // Disconnected: the vector is free for anyone again.
        EXPECT_TRUE(CanJoinVector(sim::kDefaultInterruptVector, Latched));
        Shutdown();
    }
}

TEST_F(FrameResourcesTest, TheLastOfTwoInterruptsIsConnected)
{
    Boot("two-interrupts");
    // 0x3A (the first descriptor) is free for an exclusive connection; 0x3B is the card's.
    PKINTERRUPT other = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&other, NotMine, nullptr, nullptr, 0x3A, 17, 17, LevelSensitive, FALSE, 1, FALSE),
              STATUS_SUCCESS);
    IoDisconnectInterrupt(other);
    EXPECT_TRUE(CanJoinVector(sim::kDefaultInterruptVector, LevelSensitive));
    EXPECT_FALSE(CanJoinVector(sim::kDefaultInterruptVector, Latched));
}

TEST_F(FrameResourcesTest, ARawVectorOfZeroLeavesNoInterruptForInitial)
{
    for (const char *layout : {"raw-vector-0", "no-raw"}) {
        SCOPED_TRACE(layout);
        Boot(layout);
        EXPECT_EQ(Dc()->IrqLevel, 0);
        HANDLE h = OpenOrFail();
        UCHAR initial[16] = {};
        EXPECT_EQ(Ioctl(h, IOCTL_INITIAL, initial, sizeof(initial)), STATUS_UNSUCCESSFUL);
        ULONG lastError = 0;
        EXPECT_EQ(Ioctl(h, IOCTL_GET_LAST_ERROR, nullptr, 0, &lastError, sizeof(lastError)), STATUS_SUCCESS);
        EXPECT_EQ(lastError, 105u);
        Shutdown();
    }
}

TEST_F(FrameResourcesTest, TheRawListIsReadOnlyWithinItsCountAndOnlyForAnInterrupt)
{
    // The raw list is cut short before the interrupt, or holds something else at its
    // index: the line is unknown (IrqLevel 0), the start goes on with the translated list.
    Boot();
    plat::ResourceList raw, translated;
    sim::BuildResourceLists(sim::ResourceLayout::Default(), raw, translated);
    ASSERT_EQ(translated.descriptors.back().Type, CmResourceTypeInterrupt);
    plat::ResourceList shortRaw = raw;
    shortRaw.descriptors.pop_back();
    plat::ResourceList otherRaw = raw;
    otherRaw.descriptors.back() = raw.descriptors[1];
    for (const plat::ResourceList *r : {&shortRaw, &otherRaw}) {
        ASSERT_EQ(plat::PnpSend(pdo_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
        plat::SetPdoResources(pdo_, r, &translated);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        EXPECT_EQ(Dc()->IrqLevel, 0);
        EXPECT_NE(Dc()->InterruptObject, nullptr);
    }
}

TEST_F(FrameResourcesTest, StopReleasesOnceAndARestartTakesTheNewLists)
{
    Boot("bridge-in-memory");
    const DeviceContext *dc = Dc();
    ASSERT_EQ(dc->PortIsMapped[0], 1);

    ASSERT_EQ(plat::PnpSend(pdo_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(plat::PnpSend(pdo_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(dc->PnpState, ULONG(PNP_STOPPED));
    EXPECT_EQ(dc->InterruptObject, nullptr);
    EXPECT_EQ(dc->PortBase[0], 0u);
    EXPECT_EQ(dc->PortBase[1], 0u);
    EXPECT_EQ(dc->MemBase[0], nullptr);
    // What describes the last claim stays until the next one.
    EXPECT_EQ(dc->PortCount, 2);
    EXPECT_EQ(dc->MemCount, 1);
    EXPECT_EQ(dc->BoardBase, kBoardPort);
    EXPECT_NE(dc->BridgeBase, 0u);
    EXPECT_EQ(dc->IrqLevel, 11);

    Replug(Layout("two-boards"));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(dc->PortCount, 3);
    EXPECT_EQ(dc->MemCount, 1);
    EXPECT_EQ(dc->BridgeBase, kBridgePort);
    EXPECT_EQ(dc->BoardBase, kBoardPort);
    EXPECT_EQ(dc->PortIsMapped[0], 0);
    // Stop, then removal: the second release finds nothing (no double unmap or disconnect).
    ASSERT_EQ(plat::PnpSend(pdo_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(plat::PnpRemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(ViolationCount(), 0u);
}

TEST_F(FrameResourcesTest, FailedConnectionUndoesEveryMapping)
{
    Plug(Layout("board-in-memory"));
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    plat::InjectPoolFailureByTag(plat::PoolTag("IntO"), 1);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    const DeviceContext *dc = Dc();
    EXPECT_EQ(dc->PnpState, ULONG(PNP_STOPPED));
    EXPECT_EQ(dc->InterruptObject, nullptr);
    EXPECT_EQ(dc->PortCount, 0);
    EXPECT_EQ(dc->MemCount, 0);
    EXPECT_EQ(dc->PortBase[1], 0u);
    EXPECT_EQ(dc->MemBase[0], nullptr);
    // The bases found before the connection stay as they were.
    EXPECT_EQ(dc->BridgeBase, kBridgePort);
    EXPECT_NE(dc->BoardBase, 0u);

    // A later start (after a failed one) claims everything afresh.
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(dc->PortCount, 2);
    EXPECT_EQ(dc->MemCount, 1);
}

TEST_F(FrameResourcesTest, StartFailingBelowLeavesTheDeviceUnclaimed)
{
    Plug(Layout("default"));
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    plat::SetBusStatus(pdo_, IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Dc()->PnpState, ULONG(PNP_STOPPED));
    EXPECT_EQ(Dc()->PortCount, 0);
    EXPECT_EQ(Dc()->InterruptObject, nullptr);
    plat::ResetBusStatus(pdo_);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->PnpState, ULONG(PNP_STARTED));
}

TEST_F(FrameResourcesTest, ASecondStartWithoutAStopReleasesTheFirstClaim)
{
    Boot("bridge-in-memory");
    Replug(Layout("default"));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->PortIsMapped[0], 0);
    EXPECT_EQ(Dc()->BridgeBase, kBridgePort);
    // Only one connection on the vector: an exclusive one elsewhere would be refused
    // twice over otherwise, and the unload check finds nothing left behind.
    ASSERT_EQ(plat::PnpRemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(CanJoinVector(sim::kDefaultInterruptVector, Latched));
}

// A device that is not started (never started, after a failed start, after a stop or a
// surprise removal) keeps describing its last claim, but no request reaches a port or the
// EEPROM through it: every such form is refused with 103 and touches nothing, while the
// board status, the resource report and the last error still answer from what is stored.
TEST_F(FrameResourcesTest, CardRequestsNeedAStartedDeviceWhileTheStoredReportsAlwaysAnswer)
{
    struct Request {
        const char *what;
        ULONG code;
        std::vector<UCHAR> in;
        ULONG outLength;
    };
    const UCHAR bridgeLow = static_cast<UCHAR>(kBridgePort + BRIDGE_INTCSR), bridgeHigh = UCHAR(kBridgePort >> 8);
    const UCHAR boardLow = static_cast<UCHAR>(kBoardPort + BOARD_DI_LOW), boardHigh = UCHAR(kBoardPort >> 8);
    std::vector<UCHAR> readDi(100, 0), setup(100, 0);
    readDi[0] = 9;
    setup[0] = 2, setup[2] = 4;
    const Request requests[] = {
        {"IOCTL_IN_DWORD", IOCTL_IN_DWORD, {bridgeLow, bridgeHigh}, 4},
        {"IOCTL_IN_BYTE", IOCTL_IN_BYTE, {boardLow, boardHigh}, 2},
        {"IOCTL_OUT_BYTE", IOCTL_OUT_BYTE, {UCHAR(boardLow + 10), boardHigh, 0, 0, 0x5A, 0, 0, 0}, 0},
        {"RegisterRead", IOCTL_BOARD_COMMAND, {1, 0, 3, 0}, 4},
        {"RegisterWrite", IOCTL_BOARD_COMMAND, {1, 0, 13, 0, 0x5A, 0, 0, 0}, 1},
        {"BridgeRead", IOCTL_BOARD_COMMAND, {UCHAR(BRIDGE_INTCSR)}, 4},
        {"EepromRead", IOCTL_BOARD_COMMAND, {116, 2}, 4},
        {"EepromWrite", IOCTL_BOARD_COMMAND, {120, 1, 0x34, 0x12}, 0},
        {"CMD_READ_DI", IOCTL_BOARD_COMMAND, readDi, 100},
        {"CMD_SETUP", IOCTL_BOARD_COMMAND, setup, 100},
        {"IOCTL_CARD_FREQUENCY", IOCTL_CARD_FREQUENCY, {}, 4},
    };
    for (const char *state : {"never started", "failed start", "stopped", "surprise-removed"}) {
        SCOPED_TRACE(state);
        const std::string s = state;
        Plug(Layout(s == "failed start" ? "no-board" : "default"));
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        if (s != "never started") {
            EXPECT_EQ(Start(), s == "failed start" ? STATUS_DEVICE_CONFIGURATION_ERROR : STATUS_SUCCESS);
        }
        HANDLE h = OpenOrFail();
        if (s == "stopped") {
            ASSERT_EQ(plat::PnpSend(pdo_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
            ASSERT_EQ(plat::PnpSend(pdo_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
        } else if (s == "surprise-removed") {
            ASSERT_EQ(plat::PnpSurpriseRemoval(pdo_), STATUS_SUCCESS);
        }
        CardModel().ClearTrace();
        const std::uint64_t unclaimed = plat::UnclaimedAccessCount();
        const sim::EepromImage eeprom = CardModel().EepromContents();
        for (const Request &r : requests) {
            SCOPED_TRACE(r.what);
            std::vector<UCHAR> in = r.in, out(r.outLength + 1, 0xEE);
            EXPECT_EQ(Ioctl(h, r.code, in.empty() ? nullptr : in.data(), ULONG(in.size()), out.data(), r.outLength),
                      STATUS_UNSUCCESSFUL);
            LONG error = 0;
            ASSERT_EQ(Ioctl(h, IOCTL_GET_LAST_ERROR, nullptr, 0, &error, sizeof(error)), STATUS_SUCCESS);
            EXPECT_EQ(error, TQ_DRV_NO_BOARD);
        }
        EXPECT_TRUE(CardModel().Trace().Entries().empty());
        EXPECT_EQ(plat::UnclaimedAccessCount(), unclaimed);
        EXPECT_EQ(CardModel().EepromContents(), eeprom);
        EXPECT_EQ(Dc()->ChannelCount, 0);  // CMD_SETUP changed nothing

        UCHAR status[10] = {}, report[80] = {};
        EXPECT_EQ(Ioctl(h, IOCTL_BOARD_COMMAND, nullptr, 0, status, sizeof(status)), STATUS_SUCCESS);
        EXPECT_EQ(Ioctl(h, IOCTL_BOARD_COMMAND, nullptr, 0, report, sizeof(report)), STATUS_SUCCESS);
        EXPECT_EQ(report[0], Dc()->PortCount);
        Close(h);
        Shutdown();
    }
}

// A board range translated to memory space is addressed through its mapped base: the
// board-command forms reach it whole (not cut to 16 bits, which would name some port of
// another device), and a 16-bit port number from the direct port codes never reaches it.
TEST_F(FrameResourcesTest, AMappedBoardRangeIsReachedThroughItsMappedBaseOnly)
{
    Boot("board-in-memory");
    ASSERT_EQ(Dc()->PortIsMapped[1], 1);
    ASSERT_GE(Dc()->BoardBase, 0x10000u);
    HANDLE h = OpenOrFail();
    CardModel().SetDigitalInputs(0x5A, 0xC3);
    const std::uint64_t unclaimed = plat::UnclaimedAccessCount();

    UCHAR read[4] = {2, 0, BOARD_DI_LOW, 0};  // RegisterRead, 16 bits: both input bytes
    ASSERT_EQ(Ioctl(h, IOCTL_BOARD_COMMAND, read, 4, read, 4), STATUS_SUCCESS);
    EXPECT_EQ(read[0], 0x5A);
    EXPECT_EQ(read[1], 0xC3);
    std::vector<UCHAR> block(100, 0);
    block[0] = 1, block[1] = 1, block[2] = BOARD_DO_LOW, block[3] = 0x3C;  // CMD_WRITE_BYTES
    ASSERT_EQ(Ioctl(h, IOCTL_BOARD_COMMAND, block.data(), 100, block.data(), 100), STATUS_SUCCESS);
    EXPECT_EQ(CardModel().DigitalOutputLow(), 0x3C);
    EXPECT_EQ(plat::UnclaimedAccessCount(), unclaimed);

    UCHAR port[4] = {UCHAR(Dc()->BoardBase + BOARD_DI_LOW), UCHAR((Dc()->BoardBase + BOARD_DI_LOW) >> 8)};
    EXPECT_EQ(Ioctl(h, IOCTL_IN_BYTE, port, 2, port, 2), STATUS_ACCESS_DENIED);
    EXPECT_EQ(plat::UnclaimedAccessCount(), unclaimed);
}

}  // namespace
}  // namespace frame
