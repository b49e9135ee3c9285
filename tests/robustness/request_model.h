// What the driver must answer to one device-control request, worked out from the published
// contract (control-code table, record lengths, board-command form selection and the
// LastError table) rather than from the driver's code. The model knows the device state
// the sweep puts it in: opened or not, never running, request contents all zero (so a
// direct port code names port 0, outside the card's ranges).
#ifndef TQ_TESTS_ROBUSTNESS_REQUEST_MODEL_H
#define TQ_TESTS_ROBUSTNESS_REQUEST_MODEL_H

#include <wdm.h>

#include <cstdint>
#include <vector>

#include "tq4815_ioctl.h"

namespace tqrobust {

// LastError as it was before the request (the request must not change it).
inline constexpr LONG kUnchanged = -1;

struct Expectation {
    std::vector<NTSTATUS> statuses;  // any of these
    std::vector<LONG> lastErrors;    // paired with statuses by index; kUnchanged allowed
    bool pends = false;              // a notification wait that is queued
};

// The eighteen assigned codes, each with its one transfer method.
const std::vector<uint32_t> &AssignedCodes();
bool IsAssigned(uint32_t code);

// Expected outcome of `code` with all-zero input of inLen bytes and an output of outLen
// bytes, on a started device with both port ranges and an interrupt, no acquisition
// running, Opened as given.
Expectation Expect(uint32_t code, uint32_t inLen, uint32_t outLen, bool opened);

// Every status and LastError a request can ever produce, for the fuzzer.
bool IsDocumentedStatus(NTSTATUS status);
bool IsDocumentedDriverError(LONG error);

}  // namespace tqrobust

#endif
