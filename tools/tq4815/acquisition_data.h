// What one acquisition produced and how it is described: the metadata written beside the
// samples, the conversion of codes to volts, and the writers for CSV and NumPy files.
#ifndef TQ4815_TOOL_ACQUISITION_DATA_H
#define TQ4815_TOOL_ACQUISITION_DATA_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tool {

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
    uint64_t scans = 0;       // filled in at the end
    uint64_t lostScans = 0;   // at least this many scans were dropped by the driver
};

// Gain index the card uses for a gain code (0,1 → 0; 2,3 → 1; 4…7 → 2; 8,9 → 3;
// 10…99 → 1; 100…999 → 2; 1000 and above → 3).
int GainIndexOf(unsigned gainCode);

// Volts of a 12-bit code over the input range at a gain factor. Codes 0 and 4095 are the
// converter's clipping codes: the true value may lie beyond them, so they give NaN.
double CodeToVolts(uint16_t code, double rangeMin, double rangeMax, double gainFactor);

// Samples arrive scan by scan (one 16-bit sample a channel); the low 12 bits are the code.
class SampleWriter {
public:
    virtual ~SampleWriter() = default;
    virtual void Append(const uint16_t *samples, size_t scans) = 0;
    // Leaves a complete, valid file on disk as it stands (called periodically).
    virtual void Flush() = 0;
    // Last call: records how many scans were lost (at least) and closes the file's account.
    virtual void Finish(uint64_t lostScans) = 0;
};

enum class FileFormat { Csv, Npy };
// The format named by --format, or by the output file's extension.
FileFormat FormatFor(const std::string &path, const std::string &formatOption);

// Opens FILE for writing; throws std::runtime_error with a message on failure.
std::unique_ptr<SampleWriter> OpenWriter(const std::string &path, FileFormat format, const Metadata &meta);

// Writes the metadata as JSON (the side file of a .npy).
void WriteJsonMetadata(const std::string &path, const Metadata &meta);

}  // namespace tool

#endif
