// The check a test fixture makes before it removes the device: once every handle is closed
// and no request is in flight, the remove lock holds only the device's own reference. A
// reference a request kept would hold the removal forever, so after reporting it the
// check gives it back and the run ends with a failure instead of hanging.
#ifndef TQ_TESTS_DRIVER_KEPT_REFERENCES_H
#define TQ_TESTS_DRIVER_KEPT_REFERENCES_H

#include <gtest/gtest.h>

#include "driver.h"

inline void ExpectNoKeptRemoveLockReferences(DeviceContext *dc)
{
    const LONG kept = __atomic_load_n(&dc->RemoveLock.Count, __ATOMIC_ACQUIRE) - 1;
    EXPECT_EQ(kept, 0) << "remove-lock references kept once every handle is closed";
    for (LONG i = 0; i < kept; ++i)
        RemoveLockRelease(&dc->RemoveLock, nullptr);
}

#endif
