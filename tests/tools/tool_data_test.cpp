// The tool's data helpers: gain index table, code-to-volts conversion with clipping, the
// NumPy writer's file layout (parsed here byte by byte), and option parsing refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "acquisition_data.h"
#include "options.h"

namespace {

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ToolData, GainCodesMapToTheCardsFourGainIndices)
{
    struct Row { unsigned code; int index; };
    const Row rows[] = {{0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 2}, {7, 2}, {8, 3}, {9, 3}, {10, 1}, {99, 1},
                        {100, 2}, {999, 2}, {1000, 3}, {65535, 3}, {0x10002, 1}};
    for (const Row &row : rows)
        EXPECT_EQ(tool::GainIndexOf(row.code), row.index) << "gain code " << row.code;
}

TEST(ToolData, CodesConvertToVoltsAndClippingCodesBecomeNaN)
{
    EXPECT_TRUE(std::isnan(tool::CodeToVolts(0, -5, 5, 1)));
    EXPECT_TRUE(std::isnan(tool::CodeToVolts(4095, -5, 5, 1)));
    EXPECT_NEAR(tool::CodeToVolts(2048, -5, 5, 1), 0.0012, 1e-4);
    EXPECT_NEAR(tool::CodeToVolts(1, -5, 5, 1), -5 + 10.0 / 4095, 1e-9);
    EXPECT_NEAR(tool::CodeToVolts(3071, -5, 5, 2), (-5 + 10.0 * 3071 / 4095) / 2, 1e-9);
    // Bits 12-15 of a sample are not part of the code.
    EXPECT_DOUBLE_EQ(tool::CodeToVolts(0xF800, -5, 5, 1), tool::CodeToVolts(0x0800, -5, 5, 1));
}

TEST(ToolData, NpyFileHasAValidHeaderWithTheFinalShapeAndTheSamples)
{
    tool::Metadata meta;
    meta.channelNumbers = {0, 1, 2};
    meta.channelRate = 1000;
    std::string path = ::testing::TempDir() + "tool_data_test.npy";
    {
        auto writer = tool::OpenWriter(path, tool::FileFormat::Npy, meta);
        std::vector<uint16_t> scans = {1, 2, 3, 0xF004, 5, 6};  // high bits are masked off
        writer->Append(scans.data(), 2);
        writer->Flush();
        writer->Append(scans.data(), 1);
        writer->Finish(7);
    }
    std::string file = ReadFile(path);
    ASSERT_GE(file.size(), 10u);
    EXPECT_EQ(file.substr(0, 6), "\x93NUMPY");
    EXPECT_EQ(file[6], 1);
    EXPECT_EQ(file[7], 0);
    size_t headerLength = static_cast<unsigned char>(file[8]) | static_cast<unsigned char>(file[9]) << 8;
    size_t dataStart = 10 + headerLength;
    EXPECT_EQ(dataStart % 64, 0u);
    std::string header = file.substr(10, headerLength);
    EXPECT_NE(header.find("'descr': '<u2'"), std::string::npos);
    EXPECT_NE(header.find("'shape': (3, 3)"), std::string::npos) << header;
    EXPECT_EQ(header.back(), '\n');
    ASSERT_EQ(file.size(), dataStart + 9 * 2);
    const uint16_t expected[] = {1, 2, 3, 4, 5, 6, 1, 2, 3};
    for (size_t i = 0; i < 9; ++i) {
        uint16_t value = static_cast<unsigned char>(file[dataStart + 2 * i]) |
                         static_cast<unsigned char>(file[dataStart + 2 * i + 1]) << 8;
        EXPECT_EQ(value, expected[i]) << "sample " << i;
    }
    std::string json = ReadFile(::testing::TempDir() + "tool_data_test.json");
    EXPECT_NE(json.find("\"scans\": 3"), std::string::npos) << json;
    EXPECT_NE(json.find("\"lost_scans_at_least\": 7"), std::string::npos) << json;
}

TEST(ToolData, FormatComesFromTheOptionOrTheExtension)
{
    EXPECT_EQ(tool::FormatFor("a.npy", ""), tool::FileFormat::Npy);
    EXPECT_EQ(tool::FormatFor("a.csv", ""), tool::FileFormat::Csv);
    EXPECT_EQ(tool::FormatFor("a.npy", "csv"), tool::FileFormat::Csv);
    EXPECT_EQ(tool::FormatFor("a.dat", "npy"), tool::FileFormat::Npy);
    EXPECT_THROW(tool::FormatFor("a.csv", "xls"), std::runtime_error);
}

TEST(ToolData, OptionsRefuseWhatTheyDoNotKnow)
{
    using tool::Options;
    using tool::UsageError;
    EXPECT_THROW(Options({"--bogus", "1"}, {"rate"}, {}), UsageError);
    EXPECT_THROW(Options({"--rate"}, {"rate"}, {}), UsageError);
    EXPECT_THROW(Options({"--quiet=1"}, {}, {"quiet"}), UsageError);
    Options opts({"--rate=-5", "--channels", "4", "--quiet", "word"}, {"rate", "channels"}, {"quiet"});
    EXPECT_EQ(opts.Integer("rate", 0, -100000, 100000), -5);
    EXPECT_EQ(opts.Integer("channels", 0, 1, 32), 4);
    EXPECT_TRUE(opts.Flag("quiet"));
    EXPECT_EQ(opts.Positional(), std::vector<std::string>{"word"});
    EXPECT_THROW(opts.Integer("channels", 0, 5, 32), UsageError);
    Options bad({"--rate", "12x"}, {"rate"}, {});
    EXPECT_THROW(bad.Integer("rate", 0, -100000, 100000), UsageError);
}

}  // namespace
