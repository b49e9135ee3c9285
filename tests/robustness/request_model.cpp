// The request contract as a table (see request_model.h).
#include "request_model.h"

#include <algorithm>

namespace tqrobust {
namespace {

Expectation One(NTSTATUS status, LONG error)
{
    return Expectation{{status}, {error}, false};
}

Expectation Fail(LONG error)
{
    return One(STATUS_UNSUCCESSFUL, error);
}

// IOCTL_BOARD_COMMAND, whose form is chosen by the length pair; zero contents mean
// WidthCode 0, word count 0 and sub-command 0 (read zero bytes).
Expectation BoardCommand(uint32_t in, uint32_t out)
{
    if (in == 0)
        return (out == 10 || out == TqScanCountersBytes || out == 80) ? One(STATUS_SUCCESS, 0)
                                                                       : Fail(TQ_DRV_BAD_BOARD_COMMAND);
    if (in == 1)
        return out == 4 ? One(STATUS_SUCCESS, 0) : Fail(TQ_DRV_BAD_BOARD_COMMAND);
    if (in == 2)  // EepromRead of n = 0 words: only output 0 fits
        return out == 0 ? One(STATUS_SUCCESS, 0) : Fail(TQ_DRV_BAD_BOARD_COMMAND);
    if (in == 100 && out == 100)
        return One(STATUS_SUCCESS, 0);
    // RegisterRead/RegisterWrite with WidthCode 0, EepromWrite of 0 words with input
    // length not 2: all malformed.
    return Fail(TQ_DRV_BAD_BOARD_COMMAND);
}

Expectation PortCode(uint32_t code, uint32_t in, uint32_t out)
{
    uint32_t needIn = TqPortReadInputBytes;
    uint32_t needOut = 0;
    if (code == IOCTL_IN_BYTE)
        needOut = 1;
    else if (code == IOCTL_IN_WORD)
        needOut = 2;
    else if (code == IOCTL_IN_DWORD)
        needOut = 4;
    else
        needIn = TqPortWriteInputBytes;
    if (in < needIn || out < needOut)
        return One(STATUS_INVALID_PARAMETER, TQ_DRV_BUFFER_TOO_SHORT);
    // Port 0 lies outside the card's ranges.
    return One(STATUS_ACCESS_DENIED, TQ_DRV_PORT_OUT_OF_RANGE);
}

}  // namespace

const std::vector<uint32_t> &AssignedCodes()
{
    static const std::vector<uint32_t> codes = {
        IOCTL_WAIT_NOTIFY,   IOCTL_POST_NOTIFY, IOCTL_INITIAL,     IOCTL_QUERY_BUF,      IOCTL_START,
        IOCTL_STOP,          IOCTL_READ_OLDEST, IOCTL_READ_LATEST, IOCTL_READ_SNAPSHOT,  IOCTL_BOARD_COMMAND,
        IOCTL_IN_BYTE,       IOCTL_IN_WORD,     IOCTL_IN_DWORD,    IOCTL_OUT_BYTE,       IOCTL_OUT_WORD,
        IOCTL_OUT_DWORD,     IOCTL_GET_LAST_ERROR, IOCTL_CARD_FREQUENCY,
    };
    return codes;
}

bool IsAssigned(uint32_t code)
{
    const std::vector<uint32_t> &codes = AssignedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

Expectation Expect(uint32_t code, uint32_t in, uint32_t out, bool opened)
{
    switch (code) {
    case IOCTL_WAIT_NOTIFY:
        if (out < 4)
            return One(STATUS_INVALID_PARAMETER, kUnchanged);
        return Expectation{{STATUS_SUCCESS}, {kUnchanged}, true};
    case IOCTL_POST_NOTIFY:
        return in < 4 ? One(STATUS_INVALID_PARAMETER, kUnchanged) : One(STATUS_UNSUCCESSFUL, kUnchanged);
    case IOCTL_INITIAL:
        if (in != sizeof(TqInitialRecord))
            return One(STATUS_INVALID_PARAMETER, TQ_DRV_INITIAL_LENGTH);
        return One(STATUS_SUCCESS, 0);
    case IOCTL_START:
        if (!opened)
            return Fail(TQ_DRV_NOT_INITIALISED);
        if (in != sizeof(TqStartRecord))
            return One(STATUS_INVALID_PARAMETER, TQ_DRV_START_LENGTH);
        // An all-zero record: channel count 0 and no event handle; refused either way.
        return Expectation{{STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, STATUS_INVALID_PARAMETER,
                            STATUS_INVALID_PARAMETER},
                           {TQ_DRV_START_FIELD, TQ_DRV_EVENT_REFERENCE, TQ_DRV_START_FIELD,
                            TQ_DRV_EVENT_REFERENCE},
                           false};
    case IOCTL_STOP:
    case IOCTL_QUERY_BUF:
    case IOCTL_READ_OLDEST:
    case IOCTL_READ_LATEST:
    case IOCTL_READ_SNAPSHOT:
        return Fail(opened ? TQ_DRV_NOT_RUNNING : TQ_DRV_NOT_INITIALISED);
    case IOCTL_BOARD_COMMAND:
        return BoardCommand(in, out);
    case IOCTL_IN_BYTE:
    case IOCTL_IN_WORD:
    case IOCTL_IN_DWORD:
    case IOCTL_OUT_BYTE:
    case IOCTL_OUT_WORD:
    case IOCTL_OUT_DWORD:
        return PortCode(code, in, out);
    case IOCTL_GET_LAST_ERROR:
        return (in == 0 && out == 4) ? One(STATUS_SUCCESS, kUnchanged) : One(STATUS_UNSUCCESSFUL, kUnchanged);
    case IOCTL_CARD_FREQUENCY:
        if (in != 0 || out != 4)
            return Fail(TQ_DRV_BAD_FREQUENCY_REQUEST);
        return Expectation{{STATUS_SUCCESS, STATUS_UNSUCCESSFUL}, {0, TQ_DRV_FREQUENCY_ERASED}, false};
    default:
        return One(STATUS_INVALID_DEVICE_REQUEST, kUnchanged);
    }
}

bool IsDocumentedStatus(NTSTATUS status)
{
    return status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL || status == STATUS_INVALID_PARAMETER ||
           status == STATUS_INVALID_DEVICE_REQUEST || status == STATUS_ACCESS_VIOLATION ||
           status == STATUS_CANCELLED || status == STATUS_DELETE_PENDING || status == STATUS_ACCESS_DENIED;
}

bool IsDocumentedDriverError(LONG error)
{
    static const LONG errors[] = {0,
                                  TQ_NO_DATA,
                                  TQ_DRV_INITIAL_LENGTH,
                                  TQ_DRV_RUNNING,
                                  TQ_DRV_NO_BOARD,
                                  TQ_DRV_NO_INTERRUPT,
                                  TQ_DRV_NOT_INITIALISED,
                                  TQ_DRV_START_LENGTH,
                                  TQ_DRV_NO_MEMORY,
                                  TQ_DRV_NOT_RUNNING,
                                  TQ_DRV_NOT_RING_MODE,
                                  TQ_DRV_OUTPUT_LENGTH,
                                  TQ_DRV_NOT_SNAPSHOT_MODE,
                                  TQ_DRV_BAD_BOARD_COMMAND,
                                  TQ_DRV_BAD_FREQUENCY_REQUEST,
                                  TQ_DRV_EVENT_REFERENCE,
                                  TQ_DRV_START_FIELD,
                                  TQ_DRV_BUFFER_TOO_SHORT,
                                  TQ_DRV_CONVERSION_TIMEOUT,
                                  TQ_DRV_PORT_OUT_OF_RANGE,
                                  TQ_DRV_FREQUENCY_ERASED};
    return std::find(std::begin(errors), std::end(errors), error) != std::end(errors);
}

}  // namespace tqrobust
