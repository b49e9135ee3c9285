// Resource layouts to the Plug and Play manager's descriptor lists.
#include "sim/resource_lists.h"

namespace sim {

void BuildResourceLists(const ResourceLayout &layout, plat::ResourceList &raw, plat::ResourceList &translated)
{
    raw.descriptors.clear();
    translated.descriptors.clear();
    for (const ResourceItem &item : layout.items) {
        switch (item.kind) {
        case ResourceItem::Kind::Port:
            raw.descriptors.push_back(plat::PortDescriptor(item.rawStart, item.length, true));
            translated.descriptors.push_back(
                plat::PortDescriptor(item.translatedStart, item.length, !item.translatedToMemory));
            break;
        case ResourceItem::Kind::Memory:
            raw.descriptors.push_back(plat::MemoryDescriptor(item.rawStart, item.length));
            translated.descriptors.push_back(plat::MemoryDescriptor(item.translatedStart, item.length));
            break;
        case ResourceItem::Kind::Interrupt:
            raw.descriptors.push_back(
                plat::InterruptDescriptor(item.rawLevel, item.rawVector, item.latched, item.shared, item.affinity));
            translated.descriptors.push_back(plat::InterruptDescriptor(
                item.translatedLevel, item.translatedVector, item.latched, item.shared, item.affinity));
            break;
        case ResourceItem::Kind::Other: {
            CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
            d.Type = item.otherType;
            d.ShareDisposition = CmResourceShareUndetermined;
            raw.descriptors.push_back(d);
            translated.descriptors.push_back(d);
            break;
        }
        }
    }
}

}  // namespace sim
