// The tq4815 program end to end, run as a user runs it: a child process with its own
// simulated machine (configured through --sim / TQ4815_SIM), checked on its exit status,
// its messages and the files it writes. The count signal makes a lost, repeated or
// misplaced sample visible: each channel's code must rise by one a scan.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct RunResult {
    int status = -1;
    std::string out, err;
};

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the tool with the given arguments; TQ4815_SIM is cleared unless given.
RunResult RunTool(const std::vector<std::string> &args, const char *simEnv = nullptr)
{
    // Test cases run as parallel processes: each run's output files carry its own names.
    static int runs = 0;
    std::string stem = ::testing::TempDir() + "tool_" + std::to_string(getpid()) + "_" + std::to_string(++runs);
    std::string outPath = stem + "_stdout.txt", errPath = stem + "_stderr.txt";
    pid_t child = fork();
    if (child == 0) {
        if (simEnv)
            setenv("TQ4815_SIM", simEnv, 1);
        else
            unsetenv("TQ4815_SIM");
        if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr))
            _exit(127);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(TQ4815_TOOL_PATH));
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(TQ4815_TOOL_PATH, argv.data());
        _exit(127);
    }
    RunResult result;
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return result;
}

// The data rows of a CSV written by acquire: one vector of numbers a row, time first.
std::vector<std::vector<double>> CsvRows(const std::string &path)
{
    std::vector<std::vector<double>> rows;
    std::istringstream in(ReadFile(path));
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        if (header) {
            header = false;  // the column names
            continue;
        }
        std::vector<double> row;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, ','))
            row.push_back(std::stod(cell));
        rows.push_back(row);
    }
    return rows;
}

const char kFourCounts[] = "ch0=count;ch1=count;ch2=count;ch3=count;speed=10";

TEST(ToolRun, AcquireWritesThreeSecondsOfConsecutiveCountsPerChannel)
{
    std::string csv = ::testing::TempDir() + "acquire_counts.csv";
    RunResult run = RunTool({"acquire", "--channels", "4", "--rate", "4000", "--seconds", "3", "--sim", kFourCounts,
                             "--output", csv, "--quiet"});
    ASSERT_EQ(run.status, 0) << run.err;
    auto rows = CsvRows(csv);
    ASSERT_EQ(rows.size(), 3000u);
    for (size_t r = 0; r < rows.size(); ++r) {
        ASSERT_EQ(rows[r].size(), 5u);
        EXPECT_NEAR(rows[r][0], r / 1000.0, 1e-6);
        for (size_t c = 1; r > 0 && c <= 4; ++c)
            ASSERT_EQ(static_cast<int>(rows[r][c]), (static_cast<int>(rows[r - 1][c]) + 1) % 4096)
                << "row " << r << " channel " << c - 1;
    }
    std::string text = ReadFile(csv);
    EXPECT_NE(text.find("# channel rate (Hz): 1000.000000"), std::string::npos);
    EXPECT_NE(text.find("# rate code: 4000"), std::string::npos);
}

TEST(ToolRun, AcquireWritesANumpyArrayOfTheScans)
{
    std::string npy = ::testing::TempDir() + "acquire_counts.npy";
    RunResult run = RunTool({"acquire", "--channels", "4", "--rate", "4000", "--seconds", "3", "--sim", kFourCounts,
                             "--output", npy, "--format", "npy", "--quiet"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::string file = ReadFile(npy);
    ASSERT_GT(file.size(), 128u);
    size_t headerLength = static_cast<unsigned char>(file[8]) | static_cast<unsigned char>(file[9]) << 8;
    std::string header = file.substr(10, headerLength);
    EXPECT_NE(header.find("'shape': (3000, 4)"), std::string::npos) << header;
    ASSERT_EQ(file.size(), 10 + headerLength + 3000 * 4 * 2);
    auto sample = [&](size_t scan, size_t channel) {
        size_t at = 10 + headerLength + 2 * (scan * 4 + channel);
        return static_cast<unsigned char>(file[at]) | static_cast<unsigned char>(file[at + 1]) << 8;
    };
    for (size_t s = 1; s < 3000; ++s)
        for (size_t c = 0; c < 4; ++c)
            ASSERT_EQ(sample(s, c), (sample(s - 1, c) + 1) % 4096) << "scan " << s << " channel " << c;
    // Where NumPy is installed, it must load the file as it stands.
    if (std::system("python3 -c 'import numpy' >/dev/null 2>&1") == 0) {
        std::string check = "python3 -c \"import numpy; a = numpy.load('" + npy +
                            "'); assert a.shape == (3000, 4) and a.dtype == numpy.uint16\"";
        EXPECT_EQ(std::system(check.c_str()), 0);
    }
    EXPECT_NE(ReadFile(::testing::TempDir() + "acquire_counts.json").find("\"scans\": 3000"), std::string::npos);
}

TEST(ToolRun, PlotHasOneLabelledTracePerChannel)
{
    std::string svg = ::testing::TempDir() + "plot.svg";
    RunResult run = RunTool({"acquire", "--seconds", "0.5", "--quiet", "--plot", svg, "--volts", "--sim",
                             "ch0=sine:2:5;ch1=dc:1;ch2=square:1:2;speed=10"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::string text = ReadFile(svg);
    size_t traces = 0;
    for (size_t at = text.find("<polyline"); at != std::string::npos; at = text.find("<polyline", at + 1))
        ++traces;
    EXPECT_EQ(traces, 4u);
    EXPECT_NE(text.find("time (s)"), std::string::npos);
    EXPECT_NE(text.find("input (V)"), std::string::npos);
    EXPECT_NE(text.find("channel 3"), std::string::npos);
}

TEST(ToolRun, UsageErrorsAreRefusedWithTheOptionNamed)
{
    struct Case {
        std::vector<std::string> args;
        const char *expected;
    };
    const Case cases[] = {
        {{"acquire", "--channels", "33"}, "--channels"},
        {{"acquire", "--rate", "100001"}, "--rate"},
        {{"acquire", "--seconds", "1", "--scans", "5"}, "--seconds or --scans"},
        {{"acquire", "--colour"}, "unknown option --colour"},
        {{"eeprom", "read", "64"}, "WORD"},
        {{"frobnicate"}, "unknown command"},
    };
    for (const Case &c : cases) {
        RunResult run = RunTool(c.args);
        EXPECT_EQ(run.status, 2) << c.args[0];
        EXPECT_NE(run.err.find(c.expected), std::string::npos) << run.err;
    }
}

TEST(ToolRun, AMalformedCardConfigurationIsReportedThroughTheFailingExport)
{
    RunResult run = RunTool({"acquire", "--seconds", "0.1", "--sim", "ch0=bogus"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("ch0"), std::string::npos) << run.err;  // the card names the item
    EXPECT_NE(run.err.find("Initial failed: error 2 (device not open"), std::string::npos) << run.err;
}

TEST(ToolRun, InfoDecodesTheDescriptionAndReadsTheCardFrequency)
{
    RunResult run = RunTool({"info"}, "speed=10");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("card frequency: 6000000.0 Hz"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("NumChn:1~32, SW:0, FrqSamp:-100000~100000"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("12位AD"), std::string::npos) << run.out;  // decoded from code page 936
    EXPECT_NE(run.out.find("rate code 1000 with 4 channel(s): 250.000000 Hz"), std::string::npos) << run.out;

    RunResult erased = RunTool({"info", "--sim", "frequency=erased"});
    EXPECT_EQ(erased.status, 1);
    EXPECT_NE(erased.err.find("CardFrequency failed: error 1000"), std::string::npos) << erased.err;
}

TEST(ToolRun, EepromWordsHoldTheCardFrequency)
{
    RunResult run = RunTool({"eeprom", "read", "58", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("58: 1B00 4AB7"), std::string::npos) << run.out;  // 6000000.0f, low word first
    EXPECT_NE(run.out.find("card frequency (words 58-59): 6000000.0 Hz"), std::string::npos) << run.out;
}

TEST(ToolRun, PortCommandsReachTheCardsPortsOnly)
{
    RunResult run = RunTool({"port", "in", "8", "0xE403", "--sim", "di=0x5A,0xA5"});  // board + 3
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "0x5A\n");
    RunResult refused = RunTool({"port", "in", "8", "0x300"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("inportb failed: error 121 (port outside the card's ranges)"), std::string::npos)
        << refused.err;
}

TEST(ToolRun, SelftestPassesOnTheSimulatedCard)
{
    RunResult run = RunTool({"selftest"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("selftest passed"), std::string::npos) << run.out;
}

}  // namespace
