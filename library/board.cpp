// Port and board-level exports: IOCtl (the board-command request with caller buffers),
// the six direct port functions, and the Zel_ family, one board sub-command each. They
// need the device but not Initial. The Zel_ functions share the process-wide
// BoardRequest/BoardReply blocks: each stores only its own request bytes, so bytes left
// by earlier calls travel along (the driver ignores them) and come back in the reply.
// Each holds BoardLock from its first store to the request block to its last read of the
// reply, so that two threads never send each other's request or read each other's reply.
#include "library_state.h"

#include <string.h>

namespace {

// Sub-command codes of the board's command block (byte 0 of BoardRequest).
constexpr unsigned char kCmdSetup = 2;
constexpr unsigned char kCmdScan = 3;
constexpr unsigned char kCmdSetGain = 5;
constexpr unsigned char kCmdSetChannel = 6;
constexpr unsigned char kCmdStart = 7;
constexpr unsigned char kCmdReadAd = 8;
constexpr unsigned char kCmdReadDi = 9;
constexpr unsigned char kCmdWriteDo = 10;
constexpr unsigned char kCmdWriteDa = 11;
constexpr unsigned char kCmdLoadCounter = 12;

// Largest counts whose results fit BoardReply: bytes for Zel_DI, words for Zel_ADResult.
constexpr uint32_t kMaxDiCount = TqBoardBlockBytes;
constexpr uint32_t kMaxAdCount = TqBoardBlockBytes / 2;
constexpr uint16_t kResultMask = 0x0FFF;

inline unsigned char Low8(uint32_t value) { return static_cast<unsigned char>(value & 0xFF); }
inline uint16_t Low16(uint32_t value) { return static_cast<uint16_t>(value & 0xFFFF); }

// Sends one command block: the whole BoardRequest in, the whole BoardReply out. The
// caller holds BoardLock.
int32_t SendBoardBlock()
{
    return IOCtl(TqBoardBlockBytes, g_Library.BoardRequest, TqBoardBlockBytes,
                 g_Library.BoardReply);
}

void LockBoard() { AcquireSRWLockExclusive(&g_Library.BoardLock); }

// Releases BoardLock and passes a result through.
int32_t UnlockBoard(int32_t result)
{
    ReleaseSRWLockExclusive(&g_Library.BoardLock);
    return result;
}

// Common pattern of the port functions: clear the error, require the device, send, and
// on refusal take the driver's error number. Returns true when the request succeeded.
bool PortRequest(DWORD code, void *input, DWORD inputLength, void *output, DWORD outputLength)
{
    ClearError();
    if (!DeviceOpen()) {
        SetError(TQ_LIB_DEVICE_NOT_OPEN);
        return false;
    }
    if (!SendRequest(code, input, inputLength, output, outputLength)) {
        FetchDriverError();
        return false;
    }
    return true;
}

// Reads one port: sends the 2-byte port number and receives the value (2 or 4 bytes,
// little-endian) into a 4-byte local that is zero before the request.
uint32_t PortRead(DWORD code, uint32_t port, DWORD outputLength)
{
    uint16_t portNumber = Low16(port);
    uint32_t value = 0;
    if (!PortRequest(code, &portNumber, TqPortReadInputBytes, &value, outputLength))
        return 0;
    return value;
}

// Writes one port: the 8-byte record with the port number and the value at offset 4.
void PortWrite(DWORD code, TqPortRecord &record)
{
    PortRequest(code, &record, TqPortWriteInputBytes, nullptr, 0);
}

}  // namespace

// The generic board command: both buffers go to the driver unchanged, and the pair of
// sizes chooses the command form.
extern "C" int32_t TAVLON_CALL IOCtl(uint32_t inSize, void *inBuffer, uint32_t outSize,
                                     void *outBuffer)
{
    return PortRequest(IOCTL_BOARD_COMMAND, inBuffer, inSize, outBuffer, outSize) ? 1 : 0;
}

extern "C" uint32_t TAVLON_CALL inportb(uint32_t port)
{
    return PortRead(IOCTL_IN_BYTE, port, 2) & 0xFF;
}

extern "C" uint32_t TAVLON_CALL inport(uint32_t port)
{
    return PortRead(IOCTL_IN_WORD, port, 2) & 0xFFFF;
}

extern "C" uint32_t TAVLON_CALL inportdw(uint32_t port)
{
    return PortRead(IOCTL_IN_DWORD, port, 4);
}

extern "C" void TAVLON_CALL outportb(uint32_t port, uint32_t value)
{
    TqPortRecord record;
    memset(&record, 0, sizeof record);
    record.Port = Low16(port);
    record.Value.Byte = Low8(value);
    PortWrite(IOCTL_OUT_BYTE, record);
}

extern "C" void TAVLON_CALL outport(uint32_t port, uint32_t value)
{
    TqPortRecord record;
    memset(&record, 0, sizeof record);
    record.Port = Low16(port);
    record.Value.Word = Low16(value);
    PortWrite(IOCTL_OUT_WORD, record);
}

extern "C" void TAVLON_CALL outportdw(uint32_t port, uint32_t value)
{
    TqPortRecord record;
    memset(&record, 0, sizeof record);
    record.Port = Low16(port);
    record.Value.Dword = value;
    PortWrite(IOCTL_OUT_DWORD, record);
}

// ---- Zel_ family: one sub-command each, through IOCtl -------------------------------

// Sets the driver's scan: channelCount conversions from firstChannel at a gain code.
extern "C" int32_t TAVLON_CALL Zel_Init(uint32_t channelCount, uint32_t firstChannel,
                                        uint32_t gain)
{
    LockBoard();
    g_Library.BoardRequest[0] = kCmdSetup;
    g_Library.BoardRequest[1] = Low8(gain);
    g_Library.BoardRequest[2] = Low8(channelCount);
    g_Library.BoardRequest[3] = Low8(firstChannel);
    return UnlockBoard(SendBoardBlock());
}

// Reads the digital inputs. The reply's first two bytes are the inputs; further entries
// echo request bytes. A count (low 16 bits) above 100 would read past the reply and is
// refused with 15 before anything is sent.
extern "C" int32_t TAVLON_CALL Zel_DI(uint32_t count, uint16_t *values)
{
    uint16_t n = Low16(count);
    if (n > kMaxDiCount) {
        ClearError();
        SetError(TQ_LIB_COUNT_OUT_OF_RANGE);
        return 0;
    }
    LockBoard();
    g_Library.BoardRequest[0] = kCmdReadDi;
    g_Library.BoardRequest[1] = Low8(count);
    if (!SendBoardBlock())
        return UnlockBoard(0);
    for (uint16_t i = 0; i < n; ++i)
        values[i] = g_Library.BoardReply[i];
    return UnlockBoard(1);
}

// Writes a digital-output byte: which 0 is the low byte, 1 the high one.
extern "C" int32_t TAVLON_CALL Zel_DO(uint32_t which, uint32_t value)
{
    LockBoard();
    g_Library.BoardRequest[0] = kCmdWriteDo;
    g_Library.BoardRequest[1] = Low8(which);
    g_Library.BoardRequest[2] = Low8(value);
    return UnlockBoard(SendBoardBlock());
}

extern "C" int32_t TAVLON_CALL Zel_SetPGA(uint32_t gain)
{
    LockBoard();
    g_Library.BoardRequest[0] = kCmdSetGain;
    g_Library.BoardRequest[1] = Low8(gain);
    return UnlockBoard(SendBoardBlock());
}

extern "C" int32_t TAVLON_CALL Zel_SetChn(uint32_t channel)
{
    LockBoard();
    g_Library.BoardRequest[0] = kCmdSetChannel;
    g_Library.BoardRequest[1] = Low8(channel);
    return UnlockBoard(SendBoardBlock());
}

// Starts one conversion; the caller leaves the conversion time before Zel_ADR1.
extern "C" int32_t TAVLON_CALL Zel_StartAD(void)
{
    LockBoard();
    g_Library.BoardRequest[0] = kCmdStart;
    return UnlockBoard(SendBoardBlock());
}

// Reads the data register at once (no wait for the conversion): all 16 bits.
extern "C" int32_t TAVLON_CALL Zel_ADR1(uint16_t *result)
{
    LockBoard();
    g_Library.BoardRequest[0] = kCmdReadAd;
    if (!SendBoardBlock())
        return UnlockBoard(0);
    uint16_t word;
    memcpy(&word, g_Library.BoardReply, sizeof word);
    *result = word;
    return UnlockBoard(1);
}

// One polled scan of the channels the driver holds (set by Zel_Init or the last start);
// the results are masked to 12 bits. A count (low 16 bits) above 50 would read past the
// reply and is refused with 15 before anything is sent.
extern "C" int32_t TAVLON_CALL Zel_ADResult(uint32_t count, uint16_t *values)
{
    uint16_t n = Low16(count);
    if (n > kMaxAdCount) {
        ClearError();
        SetError(TQ_LIB_COUNT_OUT_OF_RANGE);
        return 0;
    }
    LockBoard();
    g_Library.BoardRequest[0] = kCmdScan;
    if (!SendBoardBlock())
        return UnlockBoard(0);
    for (uint16_t i = 0; i < n; ++i) {
        uint16_t word;
        memcpy(&word, g_Library.BoardReply + 2 * i, sizeof word);
        values[i] = static_cast<uint16_t>(word & kResultMask);
    }
    return UnlockBoard(1);
}

// Loads a 12-bit code into analog output 0 or 1 (low byte, then the high four bits).
extern "C" int32_t TAVLON_CALL Zel_DA(uint32_t value, uint32_t channel)
{
    LockBoard();
    g_Library.BoardRequest[0] = kCmdWriteDa;
    g_Library.BoardRequest[1] = Low8(channel);
    g_Library.BoardRequest[2] = Low8(value);
    g_Library.BoardRequest[3] = static_cast<unsigned char>((value >> 8) & 0x0F);
    return UnlockBoard(SendBoardBlock());
}

// Writes an 8254 control word, then the count's low and high bytes to a board register.
extern "C" int32_t TAVLON_CALL Zel_CounterOut(uint32_t controlWord, uint32_t countLow,
                                              uint32_t countHigh, uint32_t counterRegister)
{
    LockBoard();
    g_Library.BoardRequest[0] = kCmdLoadCounter;
    g_Library.BoardRequest[1] = Low8(counterRegister);
    g_Library.BoardRequest[2] = Low8(controlWord);
    g_Library.BoardRequest[3] = Low8(countLow);
    g_Library.BoardRequest[4] = Low8(countHigh);
    return UnlockBoard(SendBoardBlock());
}
