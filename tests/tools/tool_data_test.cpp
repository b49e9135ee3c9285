// The tool's data helpers: gain index table, code-to-volts conversion with clipping, the
// NumPy writer's file layout (parsed here byte by byte), the gap accounting, and the
// command-line declaration's refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "acquisition_data.h"
#include "cli.h"
#include "gap_ledger.h"
#include "options.h"
#include "output_file.h"

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
    // The converter's 4096 steps span the range: mid-scale is 0 V, 2560 is 1.25 V.
    EXPECT_DOUBLE_EQ(tool::CodeToVolts(2048, -5, 5, 1), 0.0);
    EXPECT_DOUBLE_EQ(tool::CodeToVolts(2560, -5, 5, 1), 1.25);
    EXPECT_NEAR(tool::CodeToVolts(1, -5, 5, 1), -5 + 10.0 / 4096, 1e-9);
    EXPECT_NEAR(tool::CodeToVolts(3071, -5, 5, 2), (-5 + 10.0 * 3071 / 4096) / 2, 1e-9);
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
        meta.scans = 3;
        writer->Finish(meta);
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
}

TEST(ToolData, SideFileSaysWhereRowsAreDiscontinuous)
{
    tool::Metadata meta;
    meta.channelNumbers = {0};
    meta.scans = 300;
    meta.gaps = {{100, {40, 40, 40, true}}, {200, {7, 1, 10, false}}};
    meta.lostScans = 47;
    meta.lostExact = false;
    meta.interrupted = true;
    std::string json = tool::MetadataJson(meta);
    for (const char *expected : {"\"before_scan\": 100", "\"lost_scans\": 40", "\"exact\": true",
                                 "\"before_scan\": 200", "\"least_scans\": 1", "\"most_scans\": 10",
                                 "\"lost_scans\": 47", "\"lost_scans_exact\": false", "\"interrupted\": true"})
        EXPECT_NE(json.find(expected), std::string::npos) << expected << " in " << json;
}

TEST(ToolData, FormatComesFromTheOptionOrTheExtensionAndContradictionsAreRefused)
{
    using tool::FileFormat;
    struct Row {
        const char *path, *option;
        FileFormat format;
    };
    const Row rows[] = {{"a.npy", "", FileFormat::Npy}, {"a.csv", "", FileFormat::Csv}, {"a.bin", "", FileFormat::Raw},
                        {"a.RAW", "", FileFormat::Raw}, {"a.dat", "npy", FileFormat::Npy}, {"a.dat", "", FileFormat::Csv},
                        {"-", "", FileFormat::Csv}, {"-", "raw", FileFormat::Raw}, {"a.csv", "csv", FileFormat::Csv}};
    for (const Row &row : rows)
        EXPECT_EQ(tool::ResolveFormat(row.path, row.option), row.format) << row.path << " " << row.option;
    // A contradiction, and NumPy where its header cannot be rewritten.
    EXPECT_THROW(tool::ResolveFormat("a.npy", "csv"), tool::UsageError);
    EXPECT_THROW(tool::ResolveFormat("a.csv", "raw"), tool::UsageError);
    EXPECT_THROW(tool::ResolveFormat("-", "npy"), tool::UsageError);
}

// Parses a command line with the tool's declaration; true when it is accepted.
bool Parses(std::vector<std::string> words, tool::CommandLine &cl)
{
    CLI::App app{"", "tq4815"};
    tool::DeclareCommandLine(app, cl);
    words.insert(words.begin(), "tq4815");
    std::vector<const char *> argv;
    for (const std::string &word : words)
        argv.push_back(word.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
        return true;
    } catch (const CLI::ParseError &) {
        return false;
    }
}

TEST(ToolData, CommandLineRefusesWhatItDoesNotKnow)
{
    const std::vector<std::vector<std::string>> refused = {
        {"acquire", "--bogus", "1"}, {"acquire", "--rate"}, {"acquire", "--quiet=maybe"}, {"acquire", "--channels", "33"},
        {"acquire", "--seconds", "1", "--scans", "5"}, {"acquire", "--gain", "2", "--gain-code", "1"},
        {"acquire", "--format", "xls"}, {"board", "scan", "33"}, {"eeprom", "read", "64"}, {"port", "in", "12", "0x300"},
        {"acquire", "word"}};
    for (const auto &words : refused) {
        tool::CommandLine cl;
        EXPECT_FALSE(Parses(words, cl)) << words[1];
    }
    tool::CommandLine cl;
    ASSERT_TRUE(Parses({"acquire", "--rate", "-5", "--channels=4", "--quiet", "--gain", "4"}, cl));
    EXPECT_EQ(cl.acquire.rate, -5);
    EXPECT_EQ(cl.acquire.channels, 4);
    EXPECT_TRUE(cl.acquire.quiet);
    EXPECT_EQ(cl.acquire.gain.factor, 4.0);
    ASSERT_TRUE(Parses({"board", "--sim", "speed=10", "counter", "2", "0x10", "--json"}, cl) ||
                Parses({"board", "counter", "2", "0x10", "--sim", "speed=10"}, cl));
    EXPECT_EQ(cl.board.verb, "counter");
    EXPECT_EQ(cl.board.count, 16u);
    EXPECT_EQ(cl.board.card.sim, "speed=10");
}

// The gap ledger against gaps of known size: scans per buffer 10, 4 channels (L = 40).
TEST(ToolData, GapsAreExactWhereACounterReadingLiesBetweenThemAndBoundedWhereNot)
{
    using tool::GapLedger;
    // One gap of 50 scans before buffer 2 (jump 1 + ceil(50/40) = 3); a reading taken while
    // buffer 3 fills settles it once buffer 3 is read.
    GapLedger one(10, 40);
    one.Buffer(0);
    one.Counters(13, 0);
    one.Buffer(1);
    one.Counters(20, 0);  // at a buffer boundary: says nothing about where drops fall
    one.Buffer(4);
    one.Counters(35, 50);
    EXPECT_EQ(one.Settled(), 2u);  // buffer 2 waits: a drop before buffer 3 may be counted too
    one.Buffer(5);
    ASSERT_EQ(one.Settled(), 4u);
    auto gap = one.GapBefore(2);
    ASSERT_TRUE(gap);
    EXPECT_EQ(gap->lostScans, 50u);
    EXPECT_TRUE(gap->exact);
    EXPECT_EQ(gap->leastScans, 41u);
    EXPECT_EQ(gap->mostScans, 80u);
    EXPECT_FALSE(one.GapBefore(3));

    // Two gaps (30 before buffer 1, 90 before buffer 2) with no reading between them: their
    // sum is exact, each stays within its jump's bounds and is marked not exact.
    GapLedger two(10, 40);
    two.Buffer(7);
    two.Buffer(9);    // jump 2: 1…40
    two.Buffer(13);   // jump 4: 81…120
    two.Counters(35, 120);
    two.Buffer(14);
    ASSERT_EQ(two.Settled(), 4u);
    auto first = two.GapBefore(1), second = two.GapBefore(2);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->lostScans + second->lostScans, 120u);
    EXPECT_FALSE(first->exact || second->exact);
    EXPECT_TRUE(first->lostScans >= 1 && first->lostScans <= 40);
    EXPECT_TRUE(second->lostScans >= 81 && second->lostScans <= 120);

    // A driver without counters: each gap settles at once at its least, not exact; the
    // 16-bit sequence word wraps without a gap.
    GapLedger bounded(10, 40);
    bounded.Buffer(0xFFFF);
    bounded.Buffer(0);
    bounded.NoCounters();
    bounded.Buffer(2);
    ASSERT_EQ(bounded.Settled(), 3u);
    EXPECT_FALSE(bounded.GapBefore(1));
    ASSERT_TRUE(bounded.GapBefore(2));
    EXPECT_EQ(bounded.GapBefore(2)->lostScans, 1u);
    EXPECT_FALSE(bounded.GapBefore(2)->exact);

    // A run that ends with a gap no reading settles: the last count, within the bounds.
    GapLedger open(10, 40);
    open.Buffer(0);
    open.Buffer(2);
    open.Counters(20, 25);
    EXPECT_EQ(open.Settled(), 1u);
    open.SettleAll();
    ASSERT_EQ(open.Settled(), 2u);
    EXPECT_EQ(open.GapBefore(1)->lostScans, 25u);
    EXPECT_FALSE(open.GapBefore(1)->exact);
}

TEST(ToolData, OutputFilesAreNotReplacedWithoutForce)
{
    std::string path = ::testing::TempDir() + "tool_data_replace.csv";
    std::remove(path.c_str());
    EXPECT_NO_THROW(tool::CheckReplace(path, false));
    { std::ofstream(path) << "x"; }
    EXPECT_THROW(tool::CheckReplace(path, false), tool::UsageError);
    EXPECT_NO_THROW(tool::CheckReplace(path, true));
    EXPECT_NO_THROW(tool::CheckReplace("/dev/null", false));  // a device is written, not replaced
    EXPECT_EQ(tool::SidePath("/a/run.npy"), "/a/run.json");
    EXPECT_EQ(tool::SidePath("/a.b/run"), "/a.b/run.json");
}

}  // namespace
