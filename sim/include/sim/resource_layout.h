// The hardware resources the simulated PCI bus gives the card: which port, memory and
// interrupt descriptors appear, in which order, with which raw and translated values, and
// which card window each range decodes. The default is what a real machine assigns; the
// named variants are the odd layouts a driver's resource claiming must cope with.
//
// This header is independent of the platform; sim/resource_lists.h turns a layout into
// the Plug and Play manager's resource lists.
#ifndef TQ_SIM_RESOURCE_LAYOUT_H
#define TQ_SIM_RESOURCE_LAYOUT_H

#include "sim/registers.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct ResourceItem {
    enum class Kind { Port, Memory, Interrupt, Other };
    Kind kind = Kind::Port;

    // Port and memory ranges.
    Window window = Window::Spare;    // what the card decodes behind the range
    std::uint64_t rawStart = 0;       // port number (Port) or bus address (Memory)
    std::uint64_t translatedStart = 0;  // as the system sees it
    std::uint32_t length = 0;
    bool translatedToMemory = false;  // Port only: the system maps it into memory space

    // Interrupt.
    std::uint32_t rawVector = 0, rawLevel = 0;                // the bus's line number
    std::uint32_t translatedVector = 0, translatedLevel = 0;  // system vector and IRQL
    bool latched = false;   // edge-triggered connection instead of level-sensitive
    bool shared = true;     // shareable vector
    std::uint64_t affinity = 1;

    std::uint8_t otherType = 0;  // Other: a descriptor type drivers skip (e.g. device-private)

    static ResourceItem PortRange(Window w, std::uint64_t port, std::uint32_t length);
    static ResourceItem PortRangeInMemory(Window w, std::uint64_t port, std::uint64_t memory, std::uint32_t length);
    static ResourceItem MemoryRange(Window w, std::uint64_t address, std::uint32_t length);
    static ResourceItem InterruptLine(std::uint32_t line, std::uint32_t vector, std::uint32_t irql);
    static ResourceItem OtherDescriptor(std::uint8_t type);
};

struct ResourceLayout {
    std::string name = "default";
    std::vector<ResourceItem> items;
    bool hasRaw = true;         // the start request carries the raw list
    bool hasTranslated = true;  // ... and the translated list

    // The card's interrupt as the system names it (translated vector of the last interrupt
    // descriptor), or nullopt when the layout has none: the card then drives no line.
    std::optional<std::uint32_t> InterruptVector() const;

    static ResourceLayout Default();
    // A layout by name ("default", "ports-first", ... see Names()), or nullopt.
    static std::optional<ResourceLayout> Named(std::string_view name);
    static const std::vector<std::string> &Names();
};

// Addresses of the default layout.
inline constexpr std::uint64_t kDefaultBridgeMemory = 0xFEBF0000;  // bridge registers, memory view
inline constexpr std::uint64_t kDefaultBridgePort = 0xE000;
inline constexpr std::uint64_t kDefaultBoardPort = 0xE400;
inline constexpr std::uint32_t kDefaultInterruptLine = 11;    // raw vector and level
inline constexpr std::uint32_t kDefaultInterruptVector = 0x3B;  // translated vector
inline constexpr std::uint32_t kDefaultInterruptIrql = 16;      // translated level

}  // namespace sim

#endif
