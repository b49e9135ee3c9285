// The default resource layout of the card and the named odd layouts (see the header).
#include "sim/resource_layout.h"

#include <map>

namespace sim {

namespace {

constexpr std::uint8_t kDevicePrivateType = 129;  // a descriptor type drivers do not claim
constexpr std::uint8_t kDmaType = 4;
constexpr std::uint64_t kBridgeInMemory = 0xFEBE0000;
constexpr std::uint64_t kBoardInMemory = 0xFEBE1000;
constexpr std::uint64_t kSparePortBase = 0xE800;
constexpr std::uint64_t kSpareMemoryBase = 0xFEBD0000;

ResourceItem BridgeMemory() { return ResourceItem::MemoryRange(Window::Bridge, kDefaultBridgeMemory, kBridgeWindowLength); }
ResourceItem BridgePorts() { return ResourceItem::PortRange(Window::Bridge, kDefaultBridgePort, kBridgeWindowLength); }
ResourceItem BoardPorts() { return ResourceItem::PortRange(Window::Board, kDefaultBoardPort, kBoardWindowLength); }
ResourceItem Interrupt()
{
    return ResourceItem::InterruptLine(kDefaultInterruptLine, kDefaultInterruptVector, kDefaultInterruptIrql);
}
ResourceItem SparePorts(unsigned index, std::uint32_t length)
{
    return ResourceItem::PortRange(Window::Spare, kSparePortBase + 0x100 * index, length);
}
ResourceItem SpareMemory(unsigned index)
{
    return ResourceItem::MemoryRange(Window::Spare, kSpareMemoryBase + 0x1000 * index, 0x1000);
}

ResourceLayout Make(std::string name, std::vector<ResourceItem> items)
{
    ResourceLayout layout;
    layout.name = std::move(name);
    layout.items = std::move(items);
    return layout;
}

// Every named layout, built once.
const std::map<std::string, ResourceLayout, std::less<>> &Catalogue()
{
    // Never destroyed: a machine shut down from a library's unload hook at process exit
    // may still look a layout up after the exit handlers destroyed ordinary statics.
    static const std::map<std::string, ResourceLayout, std::less<>> &catalogue = *new std::map<std::string, ResourceLayout, std::less<>>([] {
        std::map<std::string, ResourceLayout, std::less<>> c;
        auto add = [&c](ResourceLayout l) { c.emplace(l.name, std::move(l)); };
        // What the bus assigns: the bridge's memory view, the bridge's ports, the board's
        // ports, one shareable level-sensitive interrupt whose line differs from its vector.
        add(Make("default", {BridgeMemory(), BridgePorts(), BoardPorts(), Interrupt()}));
        add(Make("ports-first", {BridgePorts(), BoardPorts(), Interrupt(), BridgeMemory()}));
        add(Make("interrupt-first", {Interrupt(), BridgeMemory(), BridgePorts(), BoardPorts()}));
        add(Make("no-memory", {BridgePorts(), BoardPorts(), Interrupt()}));
        // No 16-byte range after the first port range.
        add(Make("no-board", {BridgeMemory(), BridgePorts(), SparePorts(0, 8), Interrupt()}));
        // The only 16-byte range is the first one, where the bridge is expected.
        add(Make("board-first", {BridgeMemory(), BoardPorts(), BridgePorts(), Interrupt()}));
        add(Make("two-boards", {BridgeMemory(), BridgePorts(), BoardPorts(), SparePorts(0, 16), Interrupt()}));
        add(Make("bridge-in-memory",
                 {BridgeMemory(),
                  ResourceItem::PortRangeInMemory(Window::Bridge, kDefaultBridgePort, kBridgeInMemory, kBridgeWindowLength),
                  BoardPorts(), Interrupt()}));
        add(Make("board-in-memory",
                 {BridgeMemory(), BridgePorts(),
                  ResourceItem::PortRangeInMemory(Window::Board, kDefaultBoardPort, kBoardInMemory, kBoardWindowLength),
                  Interrupt()}));
        {
            ResourceItem latched = Interrupt();
            latched.latched = true;
            add(Make("latched", {BridgeMemory(), BridgePorts(), BoardPorts(), latched}));
            ResourceItem exclusive = Interrupt();
            exclusive.shared = false;
            add(Make("exclusive", {BridgeMemory(), BridgePorts(), BoardPorts(), exclusive}));
            ResourceItem zero = Interrupt();
            zero.rawVector = 0;
            add(Make("raw-vector-0", {BridgeMemory(), BridgePorts(), BoardPorts(), zero}));
            ResourceItem other = ResourceItem::InterruptLine(10, 0x3A, 17);
            add(Make("two-interrupts", {BridgeMemory(), BridgePorts(), BoardPorts(), other, Interrupt()}));
        }
        {
            ResourceLayout l = Make("no-raw", {BridgeMemory(), BridgePorts(), BoardPorts(), Interrupt()});
            l.hasRaw = false;
            add(l);
            l.name = "no-translated";
            l.hasRaw = true;
            l.hasTranslated = false;
            add(l);
        }
        add(Make("no-interrupt", {BridgeMemory(), BridgePorts(), BoardPorts()}));
        add(Make("no-ports", {BridgeMemory(), Interrupt()}));
        {
            std::vector<ResourceItem> items{BridgeMemory(), BridgePorts(), BoardPorts()};
            for (unsigned i = 0; i < 5; ++i)
                items.push_back(SparePorts(i, 8));
            items.push_back(Interrupt());
            add(Make("seven-ports", items));
        }
        {
            std::vector<ResourceItem> items{BridgeMemory()};
            for (unsigned i = 0; i < 4; ++i)
                items.push_back(SpareMemory(i));
            items.push_back(BridgePorts());
            items.push_back(BoardPorts());
            items.push_back(Interrupt());
            add(Make("five-memory", items));
        }
        add(Make("other-descriptors", {BridgeMemory(), ResourceItem::OtherDescriptor(kDevicePrivateType), BridgePorts(),
                                       ResourceItem::OtherDescriptor(kDmaType), BoardPorts(), Interrupt()}));
        return c;
    }());
    return catalogue;
}

}  // namespace

ResourceItem ResourceItem::PortRange(Window w, std::uint64_t port, std::uint32_t length)
{
    ResourceItem item;
    item.kind = Kind::Port;
    item.window = w;
    item.rawStart = item.translatedStart = port;
    item.length = length;
    return item;
}

ResourceItem ResourceItem::PortRangeInMemory(Window w, std::uint64_t port, std::uint64_t memory, std::uint32_t length)
{
    ResourceItem item = PortRange(w, port, length);
    item.translatedStart = memory;
    item.translatedToMemory = true;
    return item;
}

ResourceItem ResourceItem::MemoryRange(Window w, std::uint64_t address, std::uint32_t length)
{
    ResourceItem item;
    item.kind = Kind::Memory;
    item.window = w;
    item.rawStart = item.translatedStart = address;
    item.length = length;
    return item;
}

ResourceItem ResourceItem::InterruptLine(std::uint32_t line, std::uint32_t vector, std::uint32_t irql)
{
    ResourceItem item;
    item.kind = Kind::Interrupt;
    item.rawVector = item.rawLevel = line;
    item.translatedVector = vector;
    item.translatedLevel = irql;
    return item;
}

ResourceItem ResourceItem::OtherDescriptor(std::uint8_t type)
{
    ResourceItem item;
    item.kind = Kind::Other;
    item.otherType = type;
    return item;
}

std::optional<std::uint32_t> ResourceLayout::InterruptVector() const
{
    std::optional<std::uint32_t> vector;
    for (const ResourceItem &item : items)
        if (item.kind == ResourceItem::Kind::Interrupt)
            vector = item.translatedVector;
    return vector;
}

ResourceLayout ResourceLayout::Default()
{
    return *Named("default");
}

std::optional<ResourceLayout> ResourceLayout::Named(std::string_view name)
{
    auto it = Catalogue().find(name);
    if (it == Catalogue().end())
        return std::nullopt;
    return it->second;
}

const std::vector<std::string> &ResourceLayout::Names()
{
    static const std::vector<std::string> &names = *new std::vector<std::string>([] {  // never destroyed
        std::vector<std::string> n;
        for (const auto &entry : Catalogue())
            n.push_back(entry.first);
        return n;
    }());
    return names;
}

}  // namespace sim
