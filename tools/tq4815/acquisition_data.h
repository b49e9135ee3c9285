// What one acquisition produced and how it is described: the metadata written beside the
// samples (with the gaps where data are missing), the conversion of codes to volts, and
// the writers for CSV, NumPy and raw files or streams. Every write is checked (WriteError).
#ifndef TQ4815_TOOL_ACQUISITION_DATA_H
#define TQ4815_TOOL_ACQUISITION_DATA_H

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gap_ledger.h"

namespace tool {

// A gap as the files record it: the data row it comes before and the scans lost there.
struct FileGap {
    uint64_t beforeScan = 0;
    GapRecord record;
};

struct Metadata {
    std::vector<int> channelNumbers;  // the card's channel of each column
    int firstChannel = 0;
    int gainCode = 0;
    int gainIndex = 0;
    double gainFactor = 1.0;
    int rateCode = 0;
    double channelRate = 0;  // Hz per channel, from ChannelFrq
    int scansPerBuffer = 0;
    int buffers = 0;
    std::string startTime;   // ISO 8601, UTC
    double rangeMin = -5.0;
    double rangeMax = 5.0;
    bool volts = false;
    std::string format;      // csv, npy, raw
    // Filled in as the run goes on.
    uint64_t scans = 0;
    std::vector<FileGap> gaps;
    uint64_t lostScans = 0;
    bool lostExact = true;   // every gap's size is exact
    bool interrupted = false;
    std::string ended;       // why the run ended: "done", "interrupted", "pipe closed", "failed"
};

// The card's gain factors for its four gain indices, and the index of each gain code of a
// start request (0,1 → 0; 2,3 → 1; 4…7 → 2; 8,9 → 3; 10…99 → 1; 100…999 → 2; 1000 up → 3).
int GainIndexOf(unsigned gainCode);
// The start request's gain code for a gain index (the binary code of that factor).
inline constexpr std::array<int, 4> kGainCodeOfIndex{0, 2, 4, 8};

// Volts of a 12-bit code over the input range at a gain factor: the converter's 4096 steps
// span the range, code c standing for min + c·(max−min)/4096. Codes 0 and 4095 are the
// clipping codes: the true value may lie beyond them, so they give NaN.
double CodeToVolts(uint16_t code, double rangeMin, double rangeMax, double gainFactor);

// Samples arrive scan by scan (one 16-bit sample a channel); the low 12 bits are the code.
class SampleWriter {
public:
    virtual ~SampleWriter() = default;
    // The scans lost before the next appended scan.
    virtual void Gap(const GapRecord &gap) = 0;
    virtual void Append(const uint16_t *samples, size_t scans) = 0;
    // Puts what was appended on disk (or into the pipe), the file valid as it stands.
    virtual void Flush() = 0;
    // Last call: the file's closing account, then close.
    virtual void Finish(const Metadata &summary) = 0;
};

enum class FileFormat { Csv, Npy, Raw };
// The format named by --format or by the output's extension (.csv, .npy, .bin/.raw;
// standard output and other names: CSV). Throws UsageError when the two contradict or
// when the format cannot go where the output goes (NumPy needs a seekable file).
FileFormat ResolveFormat(const std::string &path, const std::string &formatOption);
const char *FormatName(FileFormat format);

// Opens the output (a path or "-"); throws WriteError on failure.
std::unique_ptr<SampleWriter> OpenWriter(const std::string &path, FileFormat format, const Metadata &meta);

// The metadata as one JSON document (the side file, same name with .json).
std::string MetadataJson(const Metadata &meta);

}  // namespace tool

#endif
