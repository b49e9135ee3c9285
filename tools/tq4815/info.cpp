// `tq4815 info`: what the library and the card report about themselves.
#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "session.h"
#include "subcommands.h"

namespace tool {
namespace {

// The description string is in code page 936 (GBK); the terminal wants UTF-8.
std::string GbkToUtf8(const std::string &gbk)
{
    iconv_t converter = iconv_open("UTF-8", "GBK");
    if (converter == reinterpret_cast<iconv_t>(-1))
        return gbk + " (not decoded: no GBK converter)";
    std::string in = gbk;
    std::vector<char> out(in.size() * 4 + 4);
    char *inPtr = in.data();
    size_t inLeft = in.size();
    char *outPtr = out.data();
    size_t outLeft = out.size();
    size_t result = iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(converter);
    if (result == static_cast<size_t>(-1))
        return gbk + " (not decoded: invalid GBK)";
    return std::string(out.data(), out.size() - outLeft);
}

uint32_t U32(const unsigned char *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t U16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

int RunInfo(const InfoOptions &o)
{
    PrepareCard(o.card, nullptr);
    const Tavlon &api = Library();
    int status = 0;
    nlohmann::ordered_json json;

    char name[16] = {};
    int32_t maxChannels = 0, out2 = 0, maxRate = 0, minScans = 0, out7 = 0;
    float out5 = 0, out6 = 0;
    api.ConfigInfo(name, &maxChannels, &out2, &maxRate, &minScans, &out5, &out6, &out7);
    json["configuration"] = {{"device", name}, {"max_channels", maxChannels}, {"max_rate_code", maxRate},
                             {"min_scans_per_buffer", minScans}, {"values", {out2, out5, out6, out7}}};
    if (!o.json)
        std::printf("library configuration: device %s, up to %d channels, rate codes -%d..%d, at least %d scans per "
                    "buffer (values %d, %g, %g, %d)\n", name, maxChannels, maxRate, maxRate, minScans, out2, out5, out6,
                    out7);

    std::vector<char> description(static_cast<size_t>(api.GetADPropStrSize()) + 1);
    api.GetADPropString(description.data());
    std::string text = GbkToUtf8(std::string(description.data()));
    json["description"] = text;
    if (!o.json)
        std::printf("description:\n  %s\n", text.c_str());

    float frequency = 0;
    if (api.CardFrequency(&frequency)) {
        json["card_frequency_hz"] = frequency;
        if (!o.json)
            std::printf("card frequency: %.1f Hz\n", frequency);
    } else {
        json["card_frequency_hz"] = nullptr;
        status = ReportFailure("CardFrequency");
    }

    unsigned char board[10] = {};
    if (api.IOCtl(0, nullptr, sizeof board, board)) {
        json["board"] = {{"port", U32(board)}, {"interrupt_line", U16(board + 4)},
                         {"acquisition_interrupts", U16(board + 6)}, {"other_interrupts", U16(board + 8)}};
        if (!o.json)
            std::printf("board: registers at port 0x%X, interrupt line %u, %u acquisition interrupts, %u other\n",
                        U32(board), U16(board + 4), U16(board + 6), U16(board + 8));
    } else {
        status = ReportFailure("IOCtl (board status)");
    }

    unsigned char resources[80] = {};
    if (api.IOCtl(0, nullptr, sizeof resources, resources)) {
        nlohmann::ordered_json ranges = nlohmann::ordered_json::array();
        if (!o.json)
            std::printf("resources: %u port ranges, %u memory ranges\n", U16(resources), U16(resources + 2));
        for (unsigned i = 0; i < 6 && i < U16(resources); ++i) {
            const unsigned char *entry = resources + 4 + 12 * i;
            ranges.push_back({{"base", U32(entry)}, {"bytes", U32(entry + 4)}, {"mapped", U32(entry + 8) != 0}});
            if (!o.json)
                std::printf("  port range %u: base 0x%X, %u bytes%s\n", i, U32(entry), U32(entry + 4),
                            U32(entry + 8) ? ", mapped to memory" : "");
        }
        json["resources"] = {{"port_ranges", ranges}, {"memory_ranges", U16(resources + 2)}};
    } else {
        status = ReportFailure("IOCtl (resource report)");
    }

    std::vector<int> channelCounts = {1, 4};
    if (o.channels)
        channelCounts = {*o.channels};
    nlohmann::ordered_json rates = nlohmann::ordered_json::array();
    for (int channels : channelCounts) {
        double hz = api.ChannelFrq(channels, o.rate);
        rates.push_back({{"rate_code", o.rate}, {"channels", channels}, {"channel_rate_hz", hz}});
        if (!o.json)
            std::printf("rate code %d with %d channel(s): %.6f Hz per channel\n", o.rate, channels, hz);
    }
    json["channel_rates"] = rates;
    if (o.json)
        std::printf("%s\n", json.dump(2).c_str());
    return status;
}

}  // namespace tool
