// A resource layout as the Plug and Play manager hands it to a start-device: the raw list
// (bus-relative: port numbers, bus addresses, the interrupt line) and the translated list
// (system-relative: ranges possibly moved to memory space, the system vector and IRQL).
#ifndef TQ_SIM_RESOURCE_LISTS_H
#define TQ_SIM_RESOURCE_LISTS_H

#include "sim/resource_layout.h"

#include <plat/pnp.h>

namespace sim {

void BuildResourceLists(const ResourceLayout &layout, plat::ResourceList &raw, plat::ResourceList &translated);

}  // namespace sim

#endif
