// CSV and NumPy writers. Both keep their file valid after every Flush, so an acquisition
// stopped by Ctrl-C (or a crash after a flush) leaves a file that tools can open.
#include "acquisition_data.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

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
    return (rangeMin + (rangeMax - rangeMin) * code / 4095.0) / gainFactor;
}

FileFormat FormatFor(const std::string &path, const std::string &formatOption)
{
    if (formatOption == "csv")
        return FileFormat::Csv;
    if (formatOption == "npy")
        return FileFormat::Npy;
    if (!formatOption.empty())
        throw std::runtime_error("--format must be csv or npy, not '" + formatOption + "'");
    auto dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    if (ext == "npy")
        return FileFormat::Npy;
    return FileFormat::Csv;
}

namespace {

std::string JsonEscape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

std::string ChannelList(const Metadata &meta)
{
    std::string out;
    for (size_t i = 0; i < meta.channelNumbers.size(); ++i)
        out += (i ? "," : "") + std::to_string(meta.channelNumbers[i]);
    return out;
}

FILE *OpenOrThrow(const std::string &path, const char *mode)
{
    FILE *file = std::fopen(path.c_str(), mode);
    if (!file)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    return file;
}

class CsvWriter : public SampleWriter {
public:
    CsvWriter(const std::string &path, const Metadata &meta) : meta_(meta), file_(OpenOrThrow(path, "w"))
    {
        double scanRate = meta.channelRate;
        std::fprintf(file_, "# tq4815 acquisition\n");
        std::fprintf(file_, "# channels: %s\n", ChannelList(meta).c_str());
        std::fprintf(file_, "# gain code: %d (gain index %d, factor %g)\n", meta.gainCode, meta.gainIndex, meta.gainFactor);
        std::fprintf(file_, "# rate code: %d\n", meta.rateCode);
        std::fprintf(file_, "# channel rate (Hz): %.6f\n", meta.channelRate);
        std::fprintf(file_, "# scan rate (Hz): %.6f\n", scanRate);
        std::fprintf(file_, "# start time: %s\n", meta.startTime.c_str());
        std::fprintf(file_, "# input range (V): %g:%g\n", meta.rangeMin, meta.rangeMax);
        std::fprintf(file_, "# units: %s\n", meta.volts ? "volts (nan = clipped code 0 or 4095)" : "12-bit code");
        std::fprintf(file_, "time_s");
        for (int channel : meta.channelNumbers)
            std::fprintf(file_, ",ch%d", channel);
        std::fputc('\n', file_);
    }
    ~CsvWriter() override
    {
        std::fclose(file_);
    }
    void Append(const uint16_t *samples, size_t scans) override
    {
        size_t channels = meta_.channelNumbers.size();
        for (size_t s = 0; s < scans; ++s, ++row_) {
            std::fprintf(file_, "%.6f", meta_.channelRate > 0 ? row_ / meta_.channelRate : 0.0);
            for (size_t c = 0; c < channels; ++c) {
                uint16_t code = samples[s * channels + c] & 0x0FFF;
                if (meta_.volts)
                    std::fprintf(file_, ",%.6f", CodeToVolts(code, meta_.rangeMin, meta_.rangeMax, meta_.gainFactor));
                else
                    std::fprintf(file_, ",%u", code);
            }
            std::fputc('\n', file_);
        }
    }
    void Flush() override { std::fflush(file_); }
    void Finish(uint64_t lostScans) override
    {
        std::fprintf(file_, "# end: %llu scans, at least %llu scans lost\n", static_cast<unsigned long long>(row_),
                     static_cast<unsigned long long>(lostScans));
        std::fflush(file_);
    }

private:
    Metadata meta_;
    FILE *file_;
    uint64_t row_ = 0;
};

// NumPy format 1.0: magic, version, little-endian u16 header length, a Python dict literal
// padded with spaces to a multiple of 64 bytes and ended by '\n', then the raw array in C
// order. The header is given a fixed size so that the shape can be rewritten in place.
class NpyWriter : public SampleWriter {
public:
    static constexpr size_t kHeaderBytes = 128;

    NpyWriter(const std::string &path, const Metadata &meta)
        : meta_(meta), file_(OpenOrThrow(path, "w+b")), jsonPath_(SidePath(path))
    {
        WriteHeader();
        WriteJsonMetadata(jsonPath_, meta_);
    }
    ~NpyWriter() override
    {
        Flush();
        std::fclose(file_);
    }
    void Append(const uint16_t *samples, size_t scans) override
    {
        size_t channels = meta_.channelNumbers.size();
        size_t count = scans * channels;
        if (meta_.volts) {
            std::vector<float> values(count);
            for (size_t i = 0; i < count; ++i)
                values[i] = static_cast<float>(CodeToVolts(samples[i] & 0x0FFF, meta_.rangeMin, meta_.rangeMax, meta_.gainFactor));
            std::fwrite(values.data(), sizeof(float), count, file_);
        } else {
            std::vector<uint16_t> codes(count);
            for (size_t i = 0; i < count; ++i)
                codes[i] = samples[i] & 0x0FFF;
            std::fwrite(codes.data(), sizeof(uint16_t), count, file_);
        }
        rows_ += scans;
    }
    void Flush() override
    {
        long end = std::ftell(file_);
        std::fseek(file_, 0, SEEK_SET);
        WriteHeader();
        std::fseek(file_, end, SEEK_SET);
        std::fflush(file_);
        meta_.scans = rows_;
        WriteJsonMetadata(jsonPath_, meta_);
    }
    void Finish(uint64_t lostScans) override
    {
        meta_.lostScans = lostScans;
        Flush();
    }

private:
    static std::string SidePath(const std::string &path)
    {
        auto dot = path.rfind('.');
        auto slash = path.rfind('/');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
            return path.substr(0, dot) + ".json";
        return path + ".json";
    }
    void WriteHeader()
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
        std::fwrite(header.data(), 1, header.size(), file_);
    }

    Metadata meta_;
    FILE *file_;
    std::string jsonPath_;
    uint64_t rows_ = 0;
};

}  // namespace

std::unique_ptr<SampleWriter> OpenWriter(const std::string &path, FileFormat format, const Metadata &meta)
{
    if (format == FileFormat::Npy)
        return std::make_unique<NpyWriter>(path, meta);
    return std::make_unique<CsvWriter>(path, meta);
}

void WriteJsonMetadata(const std::string &path, const Metadata &meta)
{
    FILE *file = OpenOrThrow(path, "w");
    std::fprintf(file, "{\n");
    std::fprintf(file, "  \"channels\": [%s],\n", ChannelList(meta).c_str());
    std::fprintf(file, "  \"gain_code\": %d,\n  \"gain_index\": %d,\n  \"gain_factor\": %g,\n", meta.gainCode, meta.gainIndex, meta.gainFactor);
    std::fprintf(file, "  \"rate_code\": %d,\n  \"channel_rate_hz\": %.9g,\n", meta.rateCode, meta.channelRate);
    std::fprintf(file, "  \"scans_per_buffer\": %d,\n  \"buffers\": %d,\n", meta.scansPerBuffer, meta.buffers);
    std::fprintf(file, "  \"start_time\": \"%s\",\n", JsonEscape(meta.startTime).c_str());
    std::fprintf(file, "  \"input_range_v\": [%g, %g],\n", meta.rangeMin, meta.rangeMax);
    std::fprintf(file, "  \"units\": \"%s\",\n", meta.volts ? "volts" : "code");
    std::fprintf(file, "  \"scans\": %llu,\n  \"lost_scans_at_least\": %llu\n}\n",
                 static_cast<unsigned long long>(meta.scans), static_cast<unsigned long long>(meta.lostScans));
    std::fclose(file);
}

}  // namespace tool
