// SVG rendering of recorded traces.
#include "svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "acquisition_data.h"
#include "output_file.h"

namespace tool {

PlotRecorder::PlotRecorder(std::vector<int> channelNumbers, double scanRate, size_t maxPointsPerChannel)
    : channels_(std::move(channelNumbers)), scanRate_(scanRate), maxPoints_(maxPointsPerChannel),
      values_(channels_.size())
{
}

void PlotRecorder::Append(const uint16_t *samples, size_t scans)
{
    size_t n = channels_.size();
    for (size_t s = 0; s < scans; ++s, ++scanIndex_) {
        if (scanIndex_ % stride_ != 0)
            continue;
        times_.push_back(scanIndex_);
        for (size_t c = 0; c < n; ++c)
            values_[c].push_back(samples[s * n + c] & 0x0FFF);
        if (times_.size() >= 2 * maxPoints_) {
            // Keep every other point and double the stride from here on.
            size_t kept = 0;
            for (size_t i = 0; i < times_.size(); i += 2, ++kept) {
                times_[kept] = times_[i];
                for (auto &v : values_)
                    v[kept] = v[i];
            }
            times_.resize(kept);
            for (auto &v : values_)
                v.resize(kept);
            stride_ *= 2;
        }
    }
}

namespace {

const char *const kColours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b",
                                "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};

// A "nice" tick step for a span: 1, 2 or 5 times a power of ten, about five ticks.
double TickStep(double span)
{
    if (span <= 0)
        return 1;
    double raw = span / 5;
    double power = std::pow(10.0, std::floor(std::log10(raw)));
    double unit = raw / power;
    return (unit < 1.5 ? 1 : unit < 3.5 ? 2 : unit < 7.5 ? 5 : 10) * power;
}

}  // namespace

void PlotRecorder::WriteSvg(const std::string &path, bool toVolts, double rangeMin, double rangeMax, double gainFactor) const
{
    const double width = 900, height = 500, left = 80, right = 130, top = 40, bottom = 60;
    const double plotW = width - left - right, plotH = height - top - bottom;
    double tMax = times_.empty() || scanRate_ <= 0 ? 1.0 : std::max(times_.back() / scanRate_, 1e-9);
    double yMin = toVolts ? rangeMin / gainFactor : 0;
    double yMax = toVolts ? rangeMax / gainFactor : 4095;

    std::string svg;
    char line[512];
    // Appends one formatted piece of the document.
    auto print = [&](const char *format, auto... values) {
        int n = std::snprintf(line, sizeof line, format, values...);
        svg.append(line, static_cast<size_t>(std::min<int>(n, sizeof line - 1)));
    };
    print("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" viewBox=\"0 0 %g %g\" "
                       "font-family=\"sans-serif\" font-size=\"12\">\n", width, height, width, height);
    print("<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
    print("<text x=\"%g\" y=\"24\" font-size=\"16\">Tq4815 acquisition</text>\n", left);

    auto X = [&](double t) { return left + plotW * t / tMax; };
    auto Y = [&](double v) { return top + plotH * (1 - (v - yMin) / (yMax - yMin)); };

    // Axes, grid and tick labels.
    print("<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"none\" stroke=\"black\"/>\n", left, top, plotW, plotH);
    double xStep = TickStep(tMax);
    for (double t = 0; t <= tMax * 1.0001; t += xStep) {
        print("<line x1=\"%.2f\" y1=\"%g\" x2=\"%.2f\" y2=\"%g\" stroke=\"#ddd\"/>\n", X(t), top, X(t), top + plotH);
        print("<text x=\"%.2f\" y=\"%g\" text-anchor=\"middle\">%g</text>\n", X(t), top + plotH + 18, t);
    }
    double yStep = TickStep(yMax - yMin);
    for (double v = std::ceil(yMin / yStep) * yStep; v <= yMax * 1.0001 + 1e-12; v += yStep) {
        print("<line x1=\"%g\" y1=\"%.2f\" x2=\"%g\" y2=\"%.2f\" stroke=\"#ddd\"/>\n", left, Y(v), left + plotW, Y(v));
        print("<text x=\"%g\" y=\"%.2f\" text-anchor=\"end\">%g</text>\n", left - 6, Y(v) + 4, v);
    }
    print("<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">time (s)</text>\n", left + plotW / 2, height - 15);
    print("<text x=\"20\" y=\"%g\" text-anchor=\"middle\" transform=\"rotate(-90 20 %g)\">%s</text>\n",
                 top + plotH / 2, top + plotH / 2, toVolts ? "input (V)" : "12-bit code");

    // One polyline per channel, with a legend entry.
    for (size_t c = 0; c < channels_.size(); ++c) {
        const char *colour = kColours[c % (sizeof kColours / sizeof kColours[0])];
        print("<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1\" points=\"", colour);
        for (size_t i = 0; i < times_.size(); ++i) {
            double t = times_[i] / scanRate_;
            double v = values_[c][i];
            if (toVolts) {
                v = CodeToVolts(values_[c][i], rangeMin, rangeMax, gainFactor);
                if (std::isnan(v))
                    v = values_[c][i] == 0 ? yMin : yMax;  // clipped codes drawn at the rail
            }
            print("%.2f,%.2f ", X(t), Y(v));
        }
        print("\"/>\n");
        double ly = top + 16 * (c + 1);
        print("<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"%s\" stroke-width=\"3\"/>\n",
                     left + plotW + 12, ly - 4, left + plotW + 32, ly - 4, colour);
        print("<text x=\"%g\" y=\"%g\">channel %d</text>\n", left + plotW + 38, ly, channels_[c]);
    }
    print("</svg>\n");
    WriteFileAtomically(path, svg);
}

}  // namespace tool
