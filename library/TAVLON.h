/* TAVLON: the application interface of the Tq4815 data-acquisition card.
 *
 * A flat C interface, usable from C and C++ (and from any language that can call a C
 * function in a shared library, such as Python's ctypes). On 32-bit Windows every
 * function is __stdcall and exported under its decorated name (_StartIntr@28, ...);
 * elsewhere the platform's default calling convention is used and the names are plain.
 *
 * Conventions:
 *  - A function returns 1 (or a value) on success and 0 on failure; the reason of the
 *    last failure is GetLastADError(). Library error numbers: 2 device not open,
 *    3 not initialised, 10 buffer count 0, 11 scans per buffer below 5, 12 channel count
 *    0, 13 notification slot index 4 or more, 14 channel count above 32, 15 count out
 *    of range (Zel_DI above 100, Zel_ADResult above 50), 16 rate below -100000, 17 rate
 *    above 100000, 18 no unread buffer, 19 the system refused the request before the
 *    driver saw it (a buffer that fails the system's probe, the device being removed).
 *    Numbers from 101 up (and 18) come from the driver. A failure never leaves 0.
 *  - Any thread may call any function. StartIntr, StartSnapshot and StopIntr are
 *    serialised, as are the Zel_ functions (they share one request block); an accepted
 *    StopIntr returns once the acquisition's notification thread has ended.
 *  - Every argument occupies 32 bits; where only the low 16 (or fewer) bits count, the
 *    comment says so. Results that are 16-bit quantities (QueryBuf, inportb, inport) are
 *    returned zero-extended in a 32-bit result, so a caller may declare them either way.
 *  - Data buffers are the caller's; the library never allocates them and does not know
 *    their size: ADResult and ADResultRecent write the byte count StartIntr returned,
 *    GetSnapshot 2 * channels * scans + 6 bytes.
 */
#ifndef TAVLON_H
#define TAVLON_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define TAVLON_CALL __stdcall
#else
#define TAVLON_CALL
#endif

#if defined(_WIN32)
#if defined(TAVLON_BUILDING)
#define TAVLON_API /* exported through TAVLON.def */
#else
#define TAVLON_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TAVLON_API __attribute__((visibility("default")))
#else
#define TAVLON_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- State and error reporting -------------------------------------------------- */

/* The error number left by the most recent function that sends a request or checks an
 * argument (from whichever thread); 0 = no error. */
TAVLON_API int32_t TAVLON_CALL GetLastADError(void);
/* Length of the description string without its terminator: 93. */
TAVLON_API int32_t TAVLON_CALL GetADPropStrSize(void);
/* Copies the description string (code page 936) with its terminator: the caller
 * supplies GetADPropStrSize() + 1 = 94 bytes. Returns 1. */
TAVLON_API int32_t TAVLON_CALL GetADPropString(char *buffer);
/* Fixed configuration: name receives "Tq4815x" (8 bytes with terminator); then the
 * largest channel count (32), 1, the largest rate code (100000), the smallest scans per
 * buffer (5), 32768.0, 65535.0 and 0. */
TAVLON_API void TAVLON_CALL ConfigInfo(char *name, int32_t *maxChannels, int32_t *out2,
                                       int32_t *maxRate, int32_t *minScans, float *out5,
                                       float *out6, int32_t *out7);

/* ---- Acquisition ---------------------------------------------------------------- */

/* Readies the device; must succeed before any acquisition. The four values are passed to
 * the driver (which does not interpret them). */
TAVLON_API int32_t TAVLON_CALL Initial(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4);
/* Starts a ring-mode acquisition: bufferCount buffers (low 16 bits, at least 1) of
 * scansPerBuffer scans (at least 5) of channelCount channels (low 16 bits, 1 to 32) at
 * rate code rate, gain code gainCode (low 16 bits). A scan of two or more channels covers
 * channels 0 to channelCount - 1; firstChannel (low 16 bits, at most 31) is the channel
 * of a one-channel acquisition. The rate code is conversions per second, 1 to 100000 (0
 * counts as 1), or -n (n up to 100000) for one conversion every n seconds; the card runs
 * within 0.01 % of the rate named, ChannelFrq gives it exactly. Every buffer filled posts
 * the messages registered with RegisterNotify. Returns the bytes of one buffer,
 * 2 * channelCount * scansPerBuffer + 2. */
TAVLON_API int32_t TAVLON_CALL StartIntr(uint32_t bufferCount, uint32_t scansPerBuffer,
                                         uint32_t firstChannel, uint32_t channelCount,
                                         int32_t rate, uint32_t reserved, uint32_t gainCode);
/* Starts a snapshot-mode acquisition into one circular buffer (same arguments and checks
 * as StartIntr, plus a value passed on unread); no messages are posted. Returns the bytes
 * of the buffer's data, as StartIntr. */
TAVLON_API int32_t TAVLON_CALL StartSnapshot(uint32_t bufferCount, uint32_t scansPerBuffer,
                                             uint32_t firstChannel, uint32_t channelCount,
                                             int32_t rate, uint32_t reserved,
                                             uint32_t gainCode, uint32_t extra);
/* Stops the running acquisition. */
TAVLON_API int32_t TAVLON_CALL StopIntr(void);
/* Number of filled ring buffers not yet read (0 to 65535); 0 also on failure. */
TAVLON_API int32_t TAVLON_CALL QueryBuf(void);
/* Copies the oldest unread ring buffer (a sequence word, then the samples scan after
 * scan) into buffer and marks it read. Successive buffers' sequence words differ by 1
 * when nothing was lost; d scans dropped while every buffer was unread make the next
 * buffer's word 1 + ceil(d / L) above its predecessor's (L = samples per buffer, at most
 * 32767). IOCtl(0, NULL, 16, counters) gives the scans stored and dropped exactly. */
TAVLON_API int32_t TAVLON_CALL ADResult(void *buffer);
/* Copies the newest filled ring buffer; fails with 18 when no buffer is unread. */
TAVLON_API int32_t TAVLON_CALL ADResultRecent(void *buffer);
/* Copies the newest `scans` whole scans of the snapshot buffer: a word, the samples, and
 * in the last four bytes the index of the newest scan, also stored in *position. */
TAVLON_API int32_t TAVLON_CALL GetSnapshot(void *buffer, uint32_t scans, int32_t *position);
/* Sampling rate of each of `channels` channels at rate code `rate`, in Hz: the rate the
 * card runs at, within 0.01 % of the rate the code names. */
TAVLON_API double TAVLON_CALL ChannelFrq(int32_t channels, int32_t rate);
/* The card's frequency value from its configuration memory. */
TAVLON_API int32_t TAVLON_CALL CardFrequency(float *frequency);

/* ---- Window notification ---------------------------------------------------------- */

/* Fills notification slot index (0 to 3): while a ring acquisition runs, each wake-up of
 * the notification thread posts message (with wParam, lParam) to window. A slot with a
 * null window or message 0 is inactive. window is a window handle (HWND). */
TAVLON_API int32_t TAVLON_CALL RegisterNotify(uint32_t index, void *window, uint32_t message,
                                              uint32_t wParam, uint32_t lParam);

/* ---- Port and board-level functions ------------------------------------------------- */

/* Passes the two caller buffers to the driver's board-command request unchanged; the
 * pair of sizes selects the command form. Note the order: each size before its buffer.
 * Sizes 0 and 16 give four uint32_t: the scans stored and dropped and the times the ring
 * became full since the last start, then 0 (in every state). */
TAVLON_API int32_t TAVLON_CALL IOCtl(uint32_t inSize, void *inBuffer, uint32_t outSize,
                                     void *outBuffer);
/* Direct I/O port access (port: low 16 bits, an absolute I/O address). The input
 * functions return 0 on failure, which is also a legitimate value: see GetLastADError. */
TAVLON_API uint32_t TAVLON_CALL inportb(uint32_t port);
TAVLON_API uint32_t TAVLON_CALL inport(uint32_t port);
TAVLON_API uint32_t TAVLON_CALL inportdw(uint32_t port);
TAVLON_API void TAVLON_CALL outportb(uint32_t port, uint32_t value);
TAVLON_API void TAVLON_CALL outport(uint32_t port, uint32_t value);
TAVLON_API void TAVLON_CALL outportdw(uint32_t port, uint32_t value);

/* Board commands, one call each. */
/* Sets up polled scans: channelCount conversions per scan (1 to 32), gain code; the
 * control register selects firstChannel, which the polled scan itself does not use. */
TAVLON_API int32_t TAVLON_CALL Zel_Init(uint32_t channelCount, uint32_t firstChannel,
                                        uint32_t gain);
/* Reads the digital inputs: values[0] and values[1] receive the two input bytes
 * (count at most 100; further entries echo request bytes). */
TAVLON_API int32_t TAVLON_CALL Zel_DI(uint32_t count, uint16_t *values);
/* Writes a digital-output byte: which 0 the low byte, 1 the high one. */
TAVLON_API int32_t TAVLON_CALL Zel_DO(uint32_t which, uint32_t value);
/* Selects the gain code (low 2 bits). */
TAVLON_API int32_t TAVLON_CALL Zel_SetPGA(uint32_t gain);
/* Selects the channel (low 5 bits) for the next conversion start to latch. */
TAVLON_API int32_t TAVLON_CALL Zel_SetChn(uint32_t channel);
/* Starts one conversion; Zel_ADR1 reads it after the conversion time. A start converts
 * the channel selected at the previous start: after Zel_SetChn, the first Zel_StartAD
 * and Zel_ADR1 still read the channel selected before. */
TAVLON_API int32_t TAVLON_CALL Zel_StartAD(void);
/* Reads the converter's data register: the raw 16-bit word. */
TAVLON_API int32_t TAVLON_CALL Zel_ADR1(uint16_t *result);
/* Runs one polled scan of channels 0 to n - 1, n being the channel count of Zel_Init (or
 * of the last acquisition), and stores count 12-bit results (count at most 50): values[k]
 * is channel k, also on the first scan after Zel_SetChn, Zel_Init or an acquisition. */
TAVLON_API int32_t TAVLON_CALL Zel_ADResult(uint32_t count, uint16_t *values);
/* Loads a 12-bit code into analog output channel (0 or 1). */
TAVLON_API int32_t TAVLON_CALL Zel_DA(uint32_t value, uint32_t channel);
/* Writes an 8254 control word, then the count's low and high bytes to the board register
 * counterRegister (low 4 bits). */
TAVLON_API int32_t TAVLON_CALL Zel_CounterOut(uint32_t controlWord, uint32_t countLow,
                                              uint32_t countHigh, uint32_t counterRegister);

#ifdef __cplusplus
}
#endif

#endif
