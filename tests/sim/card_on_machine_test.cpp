// The card on the simulated machine: every resource layout reaches a driver's start-device
// with the card answering where the translated list says, and the card driven through the
// HAL's port routines in manual time (counter 0 interrupting through the platform at
// 6 MHz / count and stopping on a control word, the EEPROM clocked bit by bit with its
// busy poll spending virtual time, the conversion lag, the bridge's memory view).
#include "machine_fixture.h"

#include "sim/registers.h"

#include <plat/hw.h>
#include <plat/pnp.h>

#include <functional>

namespace simtest {
namespace {

using sim::ResourceItem;
using sim::ResourceLayout;

PUCHAR Port8(std::uint64_t port) { return reinterpret_cast<PUCHAR>(static_cast<std::uintptr_t>(port)); }
PULONG Port32(std::uint64_t port) { return reinterpret_cast<PULONG>(static_cast<std::uintptr_t>(port)); }

constexpr std::uint64_t kBridge = sim::kDefaultBridgePort;
constexpr std::uint64_t kBoard = sim::kDefaultBoardPort;

class Layouts : public MachineTest {};

// A base address a driver could use for `item`: the port number, or the range mapped.
std::uintptr_t Reach(const ResourceItem &item, std::vector<std::pair<PVOID, ULONG>> &mappings)
{
    bool memory = item.kind == ResourceItem::Kind::Memory || item.translatedToMemory;
    if (!memory)
        return static_cast<std::uintptr_t>(item.translatedStart);
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(item.translatedStart);
    PVOID va = MmMapIoSpace(pa, item.length, MmNonCached);
    mappings.emplace_back(va, item.length);
    return reinterpret_cast<std::uintptr_t>(va);
}

TEST_F(Layouts, EveryLayoutReachesTheStartDeviceAndTheCardAnswersWhereTheTranslatedListSays)
{
    for (const std::string &name : ResourceLayout::Names()) {
        SCOPED_TRACE(name);
        ResourceLayout layout = *ResourceLayout::Named(name);
        sim::MachineOptions options;
        options.layout = layout;
        options.driverEntry = RecorderDriverEntry;
        options.serviceName = "SimRecorder";
        Boot(options);
        ASSERT_TRUE(NT_SUCCESS(machine_->StartStatus()));
        Card().ExpectMisuse(sim::misuse::kUndecoded);  // every window is probed, spare ones too
        const RecordedStart &seen = Recorded();
        ASSERT_TRUE(seen.started);
        EXPECT_EQ(seen.hadRaw, layout.hasRaw);
        EXPECT_EQ(seen.hadTranslated, layout.hasTranslated);

        for (int list = 0; list < 2; ++list) {
            bool rawList = list == 0;
            if (!(rawList ? seen.hadRaw : seen.hadTranslated))
                continue;
            const auto &d = rawList ? seen.raw : seen.translated;
            ASSERT_EQ(d.size(), layout.items.size()) << (rawList ? "raw" : "translated");
            for (std::size_t i = 0; i < d.size(); ++i) {
                const ResourceItem &item = layout.items[i];
                SCOPED_TRACE("descriptor " + std::to_string(i) + (rawList ? " raw" : " translated"));
                switch (item.kind) {
                case ResourceItem::Kind::Port:
                    EXPECT_EQ(d[i].Type, CmResourceTypePort);
                    EXPECT_EQ(d[i].u.Port.Length, item.length);
                    EXPECT_EQ(static_cast<std::uint64_t>(d[i].u.Port.Start.QuadPart),
                              rawList ? item.rawStart : item.translatedStart);
                    EXPECT_EQ((d[i].Flags & CM_RESOURCE_PORT_IO) != 0, rawList || !item.translatedToMemory);
                    break;
                case ResourceItem::Kind::Memory:
                    EXPECT_EQ(d[i].Type, CmResourceTypeMemory);
                    EXPECT_EQ(d[i].u.Memory.Length, item.length);
                    EXPECT_EQ(static_cast<std::uint64_t>(d[i].u.Memory.Start.QuadPart), item.translatedStart);
                    break;
                case ResourceItem::Kind::Interrupt:
                    EXPECT_EQ(d[i].Type, CmResourceTypeInterrupt);
                    EXPECT_EQ(d[i].u.Interrupt.Vector, rawList ? item.rawVector : item.translatedVector);
                    EXPECT_EQ(d[i].u.Interrupt.Level, rawList ? item.rawLevel : item.translatedLevel);
                    EXPECT_EQ(d[i].Flags, item.latched ? CM_RESOURCE_INTERRUPT_LATCHED : CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE);
                    EXPECT_EQ(d[i].ShareDisposition == CmResourceShareShared, item.shared);
                    break;
                case ResourceItem::Kind::Other:
                    EXPECT_EQ(d[i].Type, item.otherType);
                    break;
                }
            }
        }

        // The card sits where the translated list puts it.
        std::vector<std::pair<PVOID, ULONG>> mappings;
        for (const ResourceItem &item : layout.items) {
            if (item.kind != ResourceItem::Kind::Port && item.kind != ResourceItem::Kind::Memory)
                continue;
            std::uintptr_t base = Reach(item, mappings);
            switch (item.window) {
            case sim::Window::Bridge:
                EXPECT_EQ(READ_PORT_ULONG(reinterpret_cast<PULONG>(base + sim::bridge::kIntCsr)), 0x102u);
                break;
            case sim::Window::Board:
                EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(base + sim::board::kStatus)),
                          sim::board::kStatusConversionDone);
                break;
            case sim::Window::Spare:
                EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(base)), 0xFF);
                break;
            }
        }
        for (const auto &[va, length] : mappings)
            MmUnmapIoSpace(va, length);
        machine_.reset();
        EXPECT_EQ(plat::VerifierViolationCount(), 0u);
        plat::ResetMachine();
    }
}

TEST_F(Layouts, OddLayoutsHaveTheShapeTheirNamesPromise)
{
    using K = ResourceItem::Kind;
    auto count = [](const ResourceLayout &l, K kind) {
        return std::count_if(l.items.begin(), l.items.end(), [kind](const ResourceItem &i) { return i.kind == kind; });
    };
    auto ports = [](const ResourceLayout &l) {
        std::vector<ResourceItem> p;
        for (const ResourceItem &i : l.items)
            if (i.kind == K::Port)
                p.push_back(i);
        return p;
    };
    auto named = [](const char *n) { return *ResourceLayout::Named(n); };

    EXPECT_EQ(named("ports-first").items.front().kind, K::Port);
    EXPECT_EQ(named("interrupt-first").items.front().kind, K::Interrupt);
    EXPECT_EQ(count(named("no-memory"), K::Memory), 0);
    auto noBoard = ports(named("no-board"));
    EXPECT_TRUE(std::none_of(noBoard.begin() + 1, noBoard.end(), [](const ResourceItem &i) { return i.length == 16; }));
    auto boardFirst = ports(named("board-first"));
    EXPECT_EQ(boardFirst.front().length, 16u);
    EXPECT_TRUE(std::none_of(boardFirst.begin() + 1, boardFirst.end(), [](const ResourceItem &i) { return i.length == 16; }));
    auto twoBoards = ports(named("two-boards"));
    EXPECT_EQ(std::count_if(twoBoards.begin() + 1, twoBoards.end(), [](const ResourceItem &i) { return i.length == 16; }), 2);
    EXPECT_EQ(twoBoards[1].window, sim::Window::Board) << "the earlier 16-byte range is the card's";
    EXPECT_TRUE(ports(named("bridge-in-memory"))[0].translatedToMemory);
    EXPECT_TRUE(ports(named("board-in-memory"))[1].translatedToMemory);
    EXPECT_TRUE(named("latched").items.back().latched);
    EXPECT_FALSE(named("exclusive").items.back().shared);
    EXPECT_EQ(named("raw-vector-0").items.back().rawVector, 0u);
    EXPECT_NE(named("raw-vector-0").items.back().translatedVector, 0u);
    EXPECT_EQ(count(named("two-interrupts"), K::Interrupt), 2);
    EXPECT_FALSE(named("no-raw").hasRaw);
    EXPECT_FALSE(named("no-translated").hasTranslated);
    EXPECT_EQ(count(named("no-interrupt"), K::Interrupt), 0);
    EXPECT_EQ(count(named("no-ports"), K::Port), 0);
    EXPECT_EQ(count(named("seven-ports"), K::Port), 7);
    EXPECT_EQ(count(named("five-memory"), K::Memory), 5);
    EXPECT_EQ(count(named("other-descriptors"), K::Other), 2);
}

TEST_F(Layouts, ANewLayoutMovesTheCardAndReachesTheNextStart)
{
    sim::MachineOptions options;
    options.driverEntry = RecorderDriverEntry;
    options.serviceName = "SimRecorder";
    Boot(options);
    machine_->ChangeLayout(*ResourceLayout::Named("board-in-memory"));
    ASSERT_TRUE(NT_SUCCESS(plat::PnpSend(machine_->Pdo(), IRP_MN_QUERY_STOP_DEVICE)));
    ASSERT_TRUE(NT_SUCCESS(plat::PnpSend(machine_->Pdo(), IRP_MN_STOP_DEVICE)));
    ASSERT_TRUE(NT_SUCCESS(plat::PnpStartDevice(machine_->Pdo())));
    ASSERT_EQ(Recorded().translated.size(), 4u);
    EXPECT_EQ(Recorded().translated[2].Flags & CM_RESOURCE_PORT_IO, 0);
    EXPECT_EQ(READ_PORT_UCHAR(Port8(kBoard + sim::board::kStatus)), 0xFF) << "no longer decoded in port space";
}

// ---- Through the ports, manual time -------------------------------------------------------------

class CardPorts : public MachineTest {
protected:
    void SetUp() override { Boot(); }
    void TearDown() override
    {
        if (interrupt_)
            IoDisconnectInterrupt(interrupt_);
        MachineTest::TearDown();
    }
    // Connects a service routine that acknowledges edge-latched local interrupt 1.
    void ConnectCounter(KINTERRUPT_MODE mode = LevelSensitive)
    {
        ASSERT_EQ(IoConnectInterrupt(&interrupt_, &CardPorts::Service, this, nullptr, sim::kDefaultInterruptVector,
                                     static_cast<KIRQL>(sim::kDefaultInterruptIrql),
                                     static_cast<KIRQL>(sim::kDefaultInterruptIrql), mode, TRUE, 1, FALSE),
                  STATUS_SUCCESS);
    }
    static BOOLEAN NTAPI Service(PKINTERRUPT, PVOID context)
    {
        auto *self = static_cast<CardPorts *>(context);
        ULONG v = READ_PORT_ULONG(Port32(kBridge + sim::bridge::kIntCsr));
        if (!(v & sim::bridge::kPciEnable) || !(v & sim::bridge::kLint1Status))
            return FALSE;
        WRITE_PORT_ULONG(Port32(kBridge + sim::bridge::kIntCsr), v | sim::bridge::kLint1Clear);
        ++self->interrupts_;
        self->times_.push_back(plat::Now());
        return TRUE;
    }
    void Load(UCHAR control, USHORT count)
    {
        WRITE_PORT_UCHAR(Port8(kBoard + sim::board::kTimerControl), control);
        WRITE_PORT_UCHAR(Port8(kBoard + sim::board::kCounter0), static_cast<UCHAR>(count & 0xFF));
        WRITE_PORT_UCHAR(Port8(kBoard + sim::board::kCounter0), static_cast<UCHAR>(count >> 8));
    }

    PKINTERRUPT interrupt_ = nullptr;
    unsigned interrupts_ = 0;
    std::vector<sim::VTime> times_;
};

TEST_F(CardPorts, CounterZeroInterruptsAtSixMegahertzOverCountAndStopsOnAControlWord)
{
    ConnectCounter();
    WRITE_PORT_ULONG(Port32(kBridge + sim::bridge::kIntCsr), 0x102 | sim::bridge::kLint1Enable | sim::bridge::kPciEnable);
    struct Case {
        UCHAR control;  // counter 0, low/high byte, mode 2 or 3
        USHORT count;
        unsigned expected;  // in 10 ms
    } cases[] = {{0x36, 60, 1000}, {0x34, 60, 1000}, {0x36, 600, 100}, {0x34, 6000, 10}};
    for (const Case &c : cases) {
        interrupts_ = 0;
        times_.clear();
        Load(c.control, c.count);
        sim::VTime loaded = plat::Now();
        plat::AdvanceTo(loaded + 10000000);
        EXPECT_NEAR(interrupts_, c.expected, 1) << "control " << int(c.control) << " count " << c.count;
        for (std::size_t i = 1; i < times_.size(); ++i)
            ASSERT_EQ(times_[i] - times_[i - 1], c.count * 1000u / 6) << "one interrupt per period";
        WRITE_PORT_UCHAR(Port8(kBoard + sim::board::kTimerControl), 0x34);  // halts counter 0
        unsigned before = interrupts_;
        plat::AdvanceBy(10000000);
        EXPECT_LE(interrupts_, before + 1) << "at most the edge of the control word itself";
    }
    EXPECT_EQ(Card().Misuse().Total(), 0u);
}

// Misuse on the machine is a broken rule: reported through the verifier at the access, with
// the register, the access and the virtual time, unless the test declared it. A wide access
// to the byte-wide board registers is byte cycles on the local bus, not misuse.
TEST_F(CardPorts, MisuseIsReportedThroughTheVerifierUnlessDeclared)
{
    std::vector<plat::VerifierViolation> seen;
    plat::VerifierHandler previous =
        plat::SetVerifierHandler([&seen](const plat::VerifierViolation &v) { seen.push_back(v); });
    const std::uint64_t before = plat::VerifierViolationCount();

    EXPECT_EQ(READ_PORT_USHORT(reinterpret_cast<PUSHORT>(Port8(kBoard + sim::board::kStatus))),
              sim::board::kStatusConversionDone | Card().DigitalInputLow() << 8);
    WRITE_PORT_ULONG(Port32(kBoard + sim::board::kDoLow - 1), 0x00C3A500);  // +12 … +15 from byte 1 on
    EXPECT_EQ(Card().DigitalOutputLow(), 0xA5);
    EXPECT_EQ(Card().DigitalOutputHigh(), 0xC3);
    EXPECT_TRUE(seen.empty());

    plat::AdvanceTo(7000);
    READ_PORT_UCHAR(Port8(kBoard + sim::board::kDaLatch));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].rule, sim::kCardMisuseRule);
    EXPECT_EQ(seen[0].routine, "8-bit read of board +0x8");
    EXPECT_NE(seen[0].detail.find(sim::misuse::kWriteOnlyRead), std::string::npos) << seen[0].detail;
    EXPECT_NE(seen[0].detail.find("at 7000 ns"), std::string::npos) << seen[0].detail;

    Card().ExpectMisuse(sim::misuse::kWriteOnlyRead);
    READ_PORT_UCHAR(Port8(kBoard + sim::board::kDaLatch));
    EXPECT_EQ(seen.size(), 1u) << "declared: logged, not reported";
    EXPECT_EQ(Card().MisuseMatching(sim::misuse::kWriteOnlyRead), 2u);
    EXPECT_TRUE(Card().Misuse().Entries().back().expected);

    EXPECT_EQ(plat::VerifierViolationCount(), before + 1);
    plat::SetVerifierHandler(previous);
    machine_.reset();
    plat::ResetMachine();  // the one report above was this test's own
}

TEST_F(CardPorts, LatchedConnectionSeesEachLatchedEdge)
{
    machine_.reset();
    plat::ResetMachine();
    sim::MachineOptions options;
    options.layout = *ResourceLayout::Named("latched");
    Boot(options);
    ConnectCounter(Latched);
    WRITE_PORT_ULONG(Port32(kBridge + sim::bridge::kIntCsr), 0x102 | sim::bridge::kLint1Enable | sim::bridge::kPciEnable);
    Load(0x36, 60);
    plat::AdvanceBy(1000000);
    EXPECT_NEAR(interrupts_, 100u, 1);
}

TEST_F(CardPorts, LocalInterrupt2RaisedByATestReachesTheVector)
{
    machine_->Host().SetLocalInterrupt2(true);
    EXPECT_TRUE(READ_PORT_ULONG(Port32(kBridge + sim::bridge::kIntCsr)) & sim::bridge::kLint2Status);
    EXPECT_FALSE(plat::InterruptLineAsserted(sim::kDefaultInterruptVector));
    WRITE_PORT_ULONG(Port32(kBridge + sim::bridge::kIntCsr), sim::bridge::kLint2Enable | sim::bridge::kPciEnable);
    EXPECT_TRUE(plat::InterruptLineAsserted(sim::kDefaultInterruptVector));
    machine_->Host().SetLocalInterrupt2(false);
    EXPECT_FALSE(plat::InterruptLineAsserted(sim::kDefaultInterruptVector));
}

// The driver's bit sequences on the bridge control register, through the ports.
struct PortWire {
    ULONG R() { return READ_PORT_ULONG(Port32(kBridge + sim::bridge::kControl)); }
    void W(ULONG v) { WRITE_PORT_ULONG(Port32(kBridge + sim::bridge::kControl), v); }
    void Clock()
    {
        ULONG v = R();
        W(v | sim::bridge::kEeClock);
        W(v & ~sim::bridge::kEeClock);
    }
    void Send(ULONG bits, int count)
    {
        ULONG base = R() & 0xF0FFFFFF;
        W(base);
        base |= sim::bridge::kEeSelect;
        W(base);
        for (int k = count - 1; k >= 0; --k) {
            W(((bits >> k) & 1) ? base | sim::bridge::kEeToChip : base);
            Clock();
        }
    }
};

TEST_F(CardPorts, EepromReadAndWriteClockedThroughThePorts)
{
    PortWire wire;
    wire.W(0x00001234);
    // Read: the nine bits 1 10 111010, then sixteen clocks.
    wire.Send(0x1BA, 9);
    wire.W(wire.R() | sim::bridge::kEeToChip);
    plat::AdvanceBy(1000000);
    USHORT word = 0;
    ULONG v = 0;
    for (int i = 0; i < 16; ++i) {
        wire.Clock();
        v = wire.R();
        word = static_cast<USHORT>(word << 1 | ((v & sim::bridge::kEeFromChip) ? 1 : 0));
    }
    wire.W(v & 0xF0FFFFFF);
    EXPECT_EQ(word, 0x1B00);

    // Write 0xA5C3 to word 0, polling ready: each status read spends a port access of time.
    wire.Send(0x130, 9);
    wire.Send(0x140, 9);
    ULONG base = (wire.R() & 0xF2FFFFFF) | sim::bridge::kEeSelect;
    for (int k = 15; k >= 0; --k) {
        wire.W(((0xA5C3 >> k) & 1) ? base | sim::bridge::kEeToChip : base);
        wire.Clock();
    }
    wire.W(base & ~sim::bridge::kEeSelect);
    sim::VTime programming = plat::Now();
    wire.W(base | sim::bridge::kEeSelect);
    int reads = 0;
    ULONG p = 0;
    while (reads < 10000) {
        p = wire.R();
        ++reads;
        if (p & sim::bridge::kEeFromChip)
            break;
    }
    EXPECT_LT(reads, 10000);
    EXPECT_GE(plat::Now() - programming, Card().Config().eepromProgramTime);
    wire.Send(0x100, 9);
    wire.W(p & 0xF0FFFFFF);
    EXPECT_EQ(Card().EepromContents()[0], 0xA5C3);
    EXPECT_FALSE(Card().Eeprom().WriteEnabled());
    EXPECT_EQ(wire.R(), 0x00001234u) << "EEPROM lines low, other bits kept";
    EXPECT_EQ(Card().Misuse().Total(), 0u);
}

TEST_F(CardPorts, ConversionLagHoldsThroughThePorts)
{
    machine_.reset();
    plat::ResetMachine();
    sim::MachineOptions options;
    for (unsigned c = 0; c < 4; ++c)
        options.config.card.channels[c] = {sim::SignalKind::Count, 0, 0, 0};
    Boot(options);
    auto out = [](unsigned off, UCHAR v) { WRITE_PORT_UCHAR(Port8(kBoard + off), v); };
    auto in = [](unsigned off) { return READ_PORT_UCHAR(Port8(kBoard + off)); };
    // A three-channel sequencer: start, two discarding steps, then scans 0, 1, 2.
    out(sim::board::kControl, 0x20);
    out(sim::board::kStartConversion, 0);
    std::vector<unsigned> slots;
    std::vector<unsigned> truth;
    unsigned discard = 2, index = 0;
    for (int step = 1; step <= 11; ++step) {
        plat::AdvanceBy(10000);
        if (discard > 0) {
            --discard;
        } else {
            UCHAR hi = in(sim::board::kAdHigh);
            UCHAR lo = in(sim::board::kAdLow);
            slots.push_back(static_cast<unsigned>(hi << 8 | lo) & 0x0FFF);
            truth.push_back(Card().Conversions().Entries()[Card().Conversions().Entries().size() - 1].channel);
            index = (index + 1) % 3;
        }
        out(sim::board::kStartConversion, 0);
        unsigned channel = discard > 0 ? 1 : (index + 2) % 3;
        out(sim::board::kControl, static_cast<UCHAR>(0x20 | channel));
    }
    // Nine samples: channels 0 1 2 0 1 2 0 1 2, each channel's count rising by one per scan.
    ASSERT_EQ(slots.size(), 9u);
    for (unsigned i = 0; i < 9; ++i) {
        const sim::ConversionRecord *r = Card().Conversions().At(i + 2);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->channel, i % 3) << "sample " << i;
        EXPECT_EQ(slots[i], r->code);
        EXPECT_EQ(r->gain, 1u);
    }
    // The start's conversion (power-up's latched channel 0, discarded at step 1), the one
    // discarded at step 2, the three read into slot 0 (steps 3, 6, 9) and the one started
    // at step 11.
    EXPECT_EQ(Card().ConversionsOfChannel(0), 6u);
    EXPECT_EQ(Card().ConversionsOfChannel(1), 3u);
}

TEST_F(CardPorts, TheBridgeMemoryViewShowsTheSameRegisters)
{
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(sim::kDefaultBridgeMemory);
    PVOID va = MmMapIoSpace(pa, sim::kBridgeWindowLength, MmNonCached);
    ASSERT_NE(va, nullptr);
    auto *intCsr = reinterpret_cast<PULONG>(static_cast<PUCHAR>(va) + sim::bridge::kIntCsr);
    EXPECT_EQ(READ_PORT_ULONG(intCsr), 0x102u);
    WRITE_PORT_ULONG(Port32(kBridge + sim::bridge::kIntCsr), 0x143);
    EXPECT_EQ(READ_PORT_ULONG(intCsr), 0x143u);
    MmUnmapIoSpace(va, sim::kBridgeWindowLength);
    // Trace: one entry per access, time, window and width included.
    const auto &trace = Card().Trace().Entries();
    ASSERT_EQ(trace.size(), 3u);
    EXPECT_EQ(trace[1].write, true);
    EXPECT_EQ(trace[1].width, 4);
    EXPECT_EQ(trace[1].offset, sim::bridge::kIntCsr);
    EXPECT_EQ(trace[1].value, 0x143u);
    EXPECT_LT(trace[0].time, trace[1].time);
}

}  // namespace
}  // namespace simtest
