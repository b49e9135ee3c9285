// Another device on the card's shareable, level-sensitive line, for the tests of a shared
// interrupt: a test raises the line for it (gNeighbourRaised, then the line), and its
// routine, called when no routine before it claimed the interrupt, serves and lowers it.
#ifndef TQ_TESTS_DRIVER_SHARED_LINE_NEIGHBOUR_H
#define TQ_TESTS_DRIVER_SHARED_LINE_NEIGHBOUR_H

#include <atomic>

#include "plat/hw.h"
#include "sim/resource_layout.h"

inline std::atomic<bool> gNeighbourRaised{false};
inline std::atomic<int> gNeighbourServed{0};

// The neighbour's interrupt routine. Device IRQL, under the line's interrupt lock.
inline BOOLEAN NTAPI NeighbourService(PKINTERRUPT, PVOID)
{
    if (!gNeighbourRaised.exchange(false))
        return FALSE;
    plat::SetInterruptLine(sim::kDefaultInterruptVector, false);
    gNeighbourServed.fetch_add(1);
    return TRUE;
}

#endif
