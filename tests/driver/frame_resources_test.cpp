// Claiming and releasing the card's resources at start, stop and removal, for every
// resource layout the simulated bus can give: which ranges become the bridge and the
// board, what is mapped and unmapped (the verifier reports an unmap of anything that was
// not mapped, and the unload check any mapping or connection left), how the interrupt is
// connected and which line is recorded.
#include "frame_fixture.h"

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

}  // namespace
}  // namespace frame
