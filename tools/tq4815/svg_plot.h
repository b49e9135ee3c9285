// A plot of an acquisition as SVG: one trace per channel against time, axes labelled.
// Samples are recorded as they arrive and thinned so that a long acquisition keeps a
// bounded number of points per channel (every k-th scan, k doubling as needed).
#ifndef TQ4815_TOOL_SVG_PLOT_H
#define TQ4815_TOOL_SVG_PLOT_H

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

class PlotRecorder {
public:
    PlotRecorder(std::vector<int> channelNumbers, double scanRate, size_t maxPointsPerChannel = 4000);
    void Append(const uint16_t *samples, size_t scans);
    // Scans lost before the next appended scan: the traces go on at their true time.
    void Gap(uint64_t lostScans) { scanIndex_ += lostScans; }
    // Writes the SVG (whole or not at all; throws WriteError); values are codes, or volts
    // when toVolts is set.
    void WriteSvg(const std::string &path, bool toVolts, double rangeMin, double rangeMax, double gainFactor) const;

private:
    std::vector<int> channels_;
    double scanRate_;
    size_t maxPoints_;
    uint64_t stride_ = 1;
    uint64_t scanIndex_ = 0;
    std::vector<uint64_t> times_;              // scan index of each kept point
    std::vector<std::vector<uint16_t>> values_;  // per channel
};

}  // namespace tool

#endif
