// CSV, NumPy and raw writers. Each keeps its output valid after every Flush, so an
// acquisition stopped by Ctrl-C, a full disk or a crash after a flush leaves a file that
// tools can open.
#include "acquisition_data.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include <nlohmann/json.hpp>

#include "options.h"
#include "output_file.h"

namespace tool {

int GainIndexOf(unsigned gainCode)
{
    gainCode &= 0xFFFF;
    if (gainCode <= 1) return 0;
    if (gainCode <= 3) return 1;
    if (gainCode <= 7) return 2;
    if (gainCode <= 9) return 3;
    if (gainCode <= 99) return 1;
    if (gainCode <= 999) return 2;
    return 3;
}

double CodeToVolts(uint16_t code, double rangeMin, double rangeMax, double gainFactor)
{
    code &= 0x0FFF;
    if (code == 0 || code == 4095)
        return std::nan("");
    return (rangeMin + (rangeMax - rangeMin) * code / 4096.0) / gainFactor;
}

const char *FormatName(FileFormat format)
{
    switch (format) {
    case FileFormat::Npy: return "npy";
    case FileFormat::Raw: return "raw";
    default: return "csv";
    }
}

FileFormat ResolveFormat(const std::string &path, const std::string &formatOption)
{
    std::string ext = path == "-" ? "" : Extension(path);
    std::optional<FileFormat> byName;
    if (ext == "csv")
        byName = FileFormat::Csv;
    else if (ext == "npy")
        byName = FileFormat::Npy;
    else if (ext == "bin" || ext == "raw")
        byName = FileFormat::Raw;
    FileFormat format = byName.value_or(FileFormat::Csv);
    if (!formatOption.empty()) {
        format = formatOption == "npy" ? FileFormat::Npy : formatOption == "raw" ? FileFormat::Raw : FileFormat::Csv;
        if (byName && *byName != format)
            throw UsageError{"--format " + formatOption + " contradicts the name " + path + " (." + ext + " is " +
                             FormatName(*byName) + ")"};
    }
    struct stat info {};
    if (format == FileFormat::Npy && (path == "-" || (stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode))))
        throw UsageError{"a NumPy file cannot go to a pipe (its header is rewritten as data arrive); use csv or raw"};
    return format;
}

namespace {

std::string ChannelList(const Metadata &meta)
{
    std::string out;
    for (size_t i = 0; i < meta.channelNumbers.size(); ++i)
        out.append(i ? "," : "").append(std::to_string(meta.channelNumbers[i]));
    return out;
}

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string GapNote(const GapRecord &gap)
{
    std::string note = std::to_string(gap.lostScans) + " scans lost";
    if (!gap.exact)
        note += " (not exact: " + std::to_string(gap.leastScans) + " to " + std::to_string(gap.mostScans) + ")";
    return note;
}

class CsvWriter : public SampleWriter {
public:
    CsvWriter(const std::string &path, const Metadata &meta) : meta_(meta), file_(path)
    {
        std::string head = "# tq4815 acquisition\n";
        head += "# channels: " + ChannelList(meta) + "\n";
        head += Format("# gain code: %d (gain index %d, factor %g)\n", meta.gainCode, meta.gainIndex, meta.gainFactor);
        head += Format("# rate code: %d\n", meta.rateCode);
        head += Format("# channel rate (Hz): %.6f\n", meta.channelRate);
        head += Format("# scan rate (Hz): %.6f\n", meta.channelRate);
        head += "# start time: " + meta.startTime + "\n";
        head += Format("# input range (V): %g:%g\n", meta.rangeMin, meta.rangeMax);
        head += std::string("# units: ") + (meta.volts ? "volts (nan = clipped code 0 or 4095)" : "12-bit code") + "\n";
        head += "# a '# gap:' line marks scans the driver dropped; time_s counts them\n";
        head += "time_s";
        for (int channel : meta.channelNumbers)
            head += ",ch" + std::to_string(channel);
        head += '\n';
        file_.Append(head);
    }
    void Gap(const GapRecord &gap) override
    {
        file_.Append("# gap: " + GapNote(gap) + " before this row\n");
        lost_ += gap.lostScans;
    }
    void Append(const uint16_t *samples, size_t scans) override
    {
        size_t channels = meta_.channelNumbers.size();
        std::string text;
        text.reserve(scans * (12 + 10 * channels));
        char cell[32];
        for (size_t s = 0; s < scans; ++s, ++row_) {
            double time = meta_.channelRate > 0 ? static_cast<double>(row_ + lost_) / meta_.channelRate : 0.0;
            text.append(cell, static_cast<size_t>(std::snprintf(cell, sizeof cell, "%.6f", time)));
            for (size_t c = 0; c < channels; ++c) {
                uint16_t code = samples[s * channels + c] & 0x0FFF;
                int n = meta_.volts ? std::snprintf(cell, sizeof cell, ",%.6f",
                                                    CodeToVolts(code, meta_.rangeMin, meta_.rangeMax, meta_.gainFactor))
                                    : std::snprintf(cell, sizeof cell, ",%u", code);
                text.append(cell, static_cast<size_t>(n));
            }
            text += '\n';
        }
        file_.Append(text);
    }
    void Flush() override { file_.Commit(); }
    void Finish(const Metadata &summary) override
    {
        file_.Append(Format("# end: %llu scans, %llu scans lost in %zu gap(s)%s%s\n",
                            static_cast<unsigned long long>(row_), static_cast<unsigned long long>(summary.lostScans),
                            summary.gaps.size(), summary.lostExact ? "" : " (not exact)",
                            summary.interrupted ? ", interrupted" : ""));
        file_.Close();
    }

private:
    Metadata meta_;
    OutputFile file_;
    uint64_t row_ = 0, lost_ = 0;
};

// Raw little-endian 16-bit codes, scan after scan: for pipes into other programs.
class RawWriter : public SampleWriter {
public:
    RawWriter(const std::string &path, const Metadata &meta) : channels_(meta.channelNumbers.size()), file_(path) {}
    void Gap(const GapRecord &) override {}
    void Append(const uint16_t *samples, size_t scans) override
    {
        std::string bytes(scans * channels_ * 2, '\0');
        for (size_t i = 0; i < scans * channels_; ++i) {
            uint16_t code = samples[i] & 0x0FFF;
            bytes[2 * i] = static_cast<char>(code & 0xFF);
            bytes[2 * i + 1] = static_cast<char>(code >> 8);
        }
        file_.Append(bytes);
    }
    void Flush() override { file_.Commit(); }
    void Finish(const Metadata &) override { file_.Close(); }

private:
    size_t channels_;
    OutputFile file_;
};

// NumPy format 1.0: magic, version, little-endian u16 header length, a Python dict literal
// padded with spaces to a multiple of 64 bytes and ended by '\n', then the raw array in C
// order. The header has a fixed size so that the shape can be rewritten in place.
class NpyWriter : public SampleWriter {
public:
    static constexpr size_t kHeaderBytes = 128;

    NpyWriter(const std::string &path, const Metadata &meta) : meta_(meta), file_(path)
    {
        file_.Append(Header());
        file_.Commit();
    }
    void Gap(const GapRecord &) override {}  // the side file lists the discontinuous rows
    void Append(const uint16_t *samples, size_t scans) override
    {
        size_t count = scans * meta_.channelNumbers.size();
        std::string bytes;
        if (meta_.volts) {
            std::vector<float> values(count);
            for (size_t i = 0; i < count; ++i)
                values[i] = static_cast<float>(CodeToVolts(samples[i], meta_.rangeMin, meta_.rangeMax, meta_.gainFactor));
            bytes.assign(reinterpret_cast<const char *>(values.data()), count * sizeof(float));
        } else {
            std::vector<uint16_t> codes(count);
            for (size_t i = 0; i < count; ++i)
                codes[i] = samples[i] & 0x0FFF;
            bytes.assign(reinterpret_cast<const char *>(codes.data()), count * sizeof(uint16_t));
        }
        file_.Append(bytes);
        rows_ += scans;
    }
    void Flush() override
    {
        file_.Commit();  // the data first: the header never claims rows that are not there
        file_.WriteAt(0, Header());
    }
    void Finish(const Metadata &) override
    {
        Flush();
        file_.Close();
    }

private:
    std::string Header() const
    {
        std::string dict = std::string("{'descr': '") + (meta_.volts ? "<f4" : "<u2") +
                           "', 'fortran_order': False, 'shape': (" + std::to_string(rows_) + ", " +
                           std::to_string(meta_.channelNumbers.size()) + "), }";
        std::string header = "\x93NUMPY";
        header += '\x01';
        header += '\x00';
        size_t dictBytes = kHeaderBytes - header.size() - 2;
        dict.resize(dictBytes - 1, ' ');
        dict += '\n';
        header += static_cast<char>(dictBytes & 0xFF);
        header += static_cast<char>(dictBytes >> 8);
        header += dict;
        return header;
    }

    Metadata meta_;
    OutputFile file_;
    uint64_t rows_ = 0;
};

}  // namespace

std::unique_ptr<SampleWriter> OpenWriter(const std::string &path, FileFormat format, const Metadata &meta)
{
    if (format == FileFormat::Npy)
        return std::make_unique<NpyWriter>(path, meta);
    if (format == FileFormat::Raw)
        return std::make_unique<RawWriter>(path, meta);
    return std::make_unique<CsvWriter>(path, meta);
}

std::string MetadataJson(const Metadata &meta)
{
    nlohmann::ordered_json json;
    json["channels"] = meta.channelNumbers;
    json["gain_code"] = meta.gainCode;
    json["gain_index"] = meta.gainIndex;
    json["gain_factor"] = meta.gainFactor;
    json["rate_code"] = meta.rateCode;
    json["channel_rate_hz"] = meta.channelRate;
    json["scans_per_buffer"] = meta.scansPerBuffer;
    json["buffers"] = meta.buffers;
    json["start_time"] = meta.startTime;
    json["input_range_v"] = {meta.rangeMin, meta.rangeMax};
    json["units"] = meta.volts ? "volts" : "code";
    json["format"] = meta.format;
    json["scans"] = meta.scans;
    json["lost_scans"] = meta.lostScans;
    json["lost_scans_exact"] = meta.lostExact;
    nlohmann::ordered_json gaps = nlohmann::ordered_json::array();
    for (const FileGap &gap : meta.gaps) {
        nlohmann::ordered_json entry{{"before_scan", gap.beforeScan}, {"lost_scans", gap.record.lostScans},
                                     {"exact", gap.record.exact}};
        if (!gap.record.exact) {
            entry["least_scans"] = gap.record.leastScans;
            entry["most_scans"] = gap.record.mostScans;
        }
        gaps.push_back(entry);
    }
    json["gaps"] = gaps;
    json["interrupted"] = meta.interrupted;
    json["ended"] = meta.ended.empty() ? "running" : meta.ended;
    return json.dump(2) + "\n";
}

}  // namespace tool
