// The tq4815 program end to end, run as a user runs it: a child process with its own
// simulated machine (configured through --sim / TQ4815_SIM), checked on its exit status,
// its messages and the files it writes. The count signal makes a lost, repeated or
// misplaced sample visible: each channel's code must rise by one a scan.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

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

// Runs the tool with the given arguments; TQ4815_SIM is cleared unless given. `during`,
// when given, is called with the child's process id while it runs.
RunResult RunTool(const std::vector<std::string> &args, const char *simEnv = nullptr,
                  const std::function<void(pid_t)> &during = {})
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
    if (during)
        during(child);
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

// A temporary path, removed first with its JSON side file: the tool does not replace an
// existing file. Each test names its own stem, since tests run side by side and the side
// file is named by the stem alone.
std::string FreshPath(const std::string &name)
{
    std::string path = ::testing::TempDir() + name;
    std::remove(path.c_str());
    auto dot = path.rfind('.');
    std::remove((path.substr(0, dot) + ".json").c_str());
    return path;
}

// Waits (at most 30 s) until the tool has written more than `bytes` bytes to `path`:
// the acquisition is then under way, whatever the machine's load.
void WaitForData(const std::string &path, size_t bytes)
{
    for (int i = 0; i < 3000 && ReadFile(path).size() <= bytes; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

nlohmann::json ReadJson(const std::string &path)
{
    return nlohmann::json::parse(ReadFile(path));
}

const char kFourCounts[] = "ch0=count;ch1=count;ch2=count;ch3=count;speed=10";

TEST(ToolRun, AcquireWritesThreeSecondsOfConsecutiveCountsPerChannel)
{
    std::string csv = FreshPath("acquire_counts.csv");
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
    std::string npy = FreshPath("acquire_counts_array.npy");
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
    EXPECT_NE(ReadFile(::testing::TempDir() + "acquire_counts_array.json").find("\"scans\": 3000"), std::string::npos);
}

TEST(ToolRun, PlotHasOneLabelledTracePerChannel)
{
    std::string svg = FreshPath("plot.svg");
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
    std::string existing = FreshPath("existing.csv");
    { std::ofstream(existing) << "keep me\n"; }
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
        {{"acquire", "--output", existing}, "exists; give --force"},
        {{"acquire", "--output", "x.npy", "--format", "csv"}, "contradicts"},
        {{"acquire", "--output", "-", "--format", "npy"}, "cannot go to a pipe"},
        {{"acquire", "--output", "-", "--format", "raw", "--volts"}, "--volts does not apply"},
        {{"acquire", "--scans", "0"}, "--scans 0"},
        {{"acquire", "--seconds", "0"}, "gives 0 scans"},
        {{"acquire", "--plot", "p.png"}, "PNG is not supported"},
        {{"acquire", "--plot", "p.pdf"}, "give a name ending in .svg"},
        {{"acquire", "--gain", "3"}, "offers the factors 1, 2, 4, 8"},
        {{"board", "scan", "2", "--gain", "16"}, "offers the factors 1, 2, 4, 8"},
        {{"board", "gain"}, "--gain FACTOR or --gain-code"},
        {{"snapshot", "--output", "s.npy"}, "snapshot writes CSV"},
    };
    for (const Case &c : cases) {
        RunResult run = RunTool(c.args);
        EXPECT_EQ(run.status, 2) << c.args[0];
        EXPECT_NE(run.err.find(c.expected), std::string::npos) << run.err;
    }
    EXPECT_EQ(ReadFile(existing), "keep me\n");
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

TEST(ToolRun, EepromWritesSayHowLongTheyLast)
{
    RunResult run = RunTool({"eeprom", "write", "63", "0x1234"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("EEPROM writes last only for this process"), std::string::npos) << run.err;
    std::string file = FreshPath("eeprom_words.txt");
    RunResult kept = RunTool({"eeprom", "write", "63", "0x1234", "--sim", "eeprom=" + file});
    ASSERT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(kept.err.find("last only"), std::string::npos) << kept.err;
    EXPECT_NE(RunTool({"eeprom", "read", "63", "--sim", "eeprom=" + file}).out.find("63: 1234"), std::string::npos);
    RunResult refused = RunTool({"eeprom", "read", "63", "--sim", "eeprom=/nonexistent-folder/words.txt"});
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.err.find("eeprom=/nonexistent-folder/words.txt: cannot be written"), std::string::npos)
        << refused.err;
}

TEST(ToolRun, SelftestPassesOnTheSimulatedCard)
{
    RunResult run = RunTool({"selftest"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("selftest passed"), std::string::npos) << run.out;
}

// The row index of the first "# gap:" comment and the figure it gives.
struct CsvGap {
    size_t rowBefore = 0;
    long long lost = -1;
};

CsvGap FirstCsvGap(const std::string &path)
{
    std::istringstream in(ReadFile(path));
    std::string line;
    CsvGap gap;
    size_t rows = 0;
    bool header = true;
    while (std::getline(in, line)) {
        if (line.rfind("# gap: ", 0) == 0 && gap.lost < 0) {
            gap.rowBefore = rows;
            gap.lost = std::stoll(line.substr(7));
        } else if (!line.empty() && line[0] != '#') {
            if (header)
                header = false;
            else
                ++rows;
        }
    }
    return gap;
}

TEST(ToolRun, AForcedOverrunShowsItsGapInTheCsvCommentTheTimeColumnAndTheJson)
{
    // The tool is stopped for a second while the card runs on: its four-buffer ring fills
    // and the driver drops scans until the tool reads again.
    std::string csv = FreshPath("overrun.csv");
    RunResult run = RunTool({"acquire", "--seconds", "20", "--buffers", "4", "--quiet", "--output", csv, "--sim",
                             kFourCounts},
                            nullptr, [&](pid_t child) {
                                WaitForData(csv, 2000);  // the header and a few buffers
                                kill(child, SIGSTOP);
                                std::this_thread::sleep_for(std::chrono::seconds(1));
                                kill(child, SIGCONT);
                            });
    ASSERT_EQ(run.status, 3) << run.err;
    EXPECT_NE(run.err.find("data were lost"), std::string::npos) << run.err;
    auto rows = CsvRows(csv);
    ASSERT_EQ(rows.size(), 20000u);
    CsvGap gap = FirstCsvGap(csv);
    ASSERT_GT(gap.lost, 0) << "no '# gap:' comment";
    ASSERT_GT(gap.rowBefore, 0u);
    const auto &before = rows[gap.rowBefore - 1], &after = rows[gap.rowBefore];
    // The time column jumps by the lost time.
    EXPECT_NEAR(after[0] - before[0], (1 + gap.lost) / 1000.0, 1e-6);
    nlohmann::json json = ReadJson(::testing::TempDir() + "overrun.json");
    ASSERT_GE(json["gaps"].size(), 1u);
    const auto &first = json["gaps"][0];
    EXPECT_EQ(first["before_scan"], gap.rowBefore);
    EXPECT_EQ(first["lost_scans"], gap.lost);
    long long sum = 0;
    for (const auto &entry : json["gaps"])
        sum += entry["lost_scans"].get<long long>();
    EXPECT_EQ(json["lost_scans"], sum);
    // Where the driver counts its drops the figure is exact, and the count signal (one
    // step a conversion, dropped scans included) agrees with it.
    if (first["exact"] == true) {
        for (size_t c = 1; c <= 4; ++c)
            EXPECT_EQ(static_cast<long long>(after[c]), (static_cast<long long>(before[c]) + 1 + gap.lost) % 4096)
                << "channel " << c - 1;
    }
}

TEST(ToolRun, FailedWritesAndSignalsEndTheRunWithAnHonestStatus)
{
    RunResult full = RunTool({"acquire", "--seconds", "1", "--quiet", "--output", "/dev/full", "--sim", "speed=10"});
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("cannot write /dev/full: No space left on device"), std::string::npos) << full.err;

    struct Case {
        int signal, status;
    };
    for (Case c : {Case{SIGINT, 130}, Case{SIGTERM, 143}}) {
        std::string npy = FreshPath("interrupted.npy");
        RunResult run = RunTool({"acquire", "--seconds", "60", "--quiet", "--output", npy, "--sim", kFourCounts},
                                nullptr, [&](pid_t child) {
                                    WaitForData(npy, 128);  // past the header: data flow
                                    kill(child, c.signal);
                                });
        EXPECT_EQ(run.status, c.status) << run.err;
        nlohmann::json json = ReadJson(::testing::TempDir() + "interrupted.json");
        EXPECT_EQ(json["interrupted"], true);
        EXPECT_EQ(json["ended"], "interrupted");
        // The array holds exactly the scans the side file counts.
        std::string file = ReadFile(npy);
        size_t headerLength = static_cast<unsigned char>(file[8]) | static_cast<unsigned char>(file[9]) << 8;
        EXPECT_EQ(file.size(), 10 + headerLength + json["scans"].get<size_t>() * 4 * 2);
    }
}

TEST(ToolRun, StreamsIntoAPipeAndEndsCleanlyWhenItCloses)
{
    std::string got = FreshPath("head.bin");
    std::string command = std::string("set -o pipefail; ") + TQ4815_TOOL_PATH +
                          " acquire --output - --format raw --rate 40000 --sim '" + kFourCounts +
                          "' 2>/dev/null | head -c 100000 > " + got;
    int status = std::system(("bash -c \"" + command + "\"").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string bytes = ReadFile(got);
    ASSERT_EQ(bytes.size(), 100000u);
    // Raw little-endian codes, scan after scan: every channel counts up by one a scan.
    auto code = [&](size_t i) { return static_cast<unsigned char>(bytes[2 * i]) | static_cast<unsigned char>(bytes[2 * i + 1]) << 8; };
    for (size_t i = 4; i < bytes.size() / 2; ++i)
        ASSERT_EQ(code(i), (code(i - 4) + 1) % 4096) << "sample " << i;

    // CSV on standard output, the status line on standard error.
    RunResult csv = RunTool({"acquire", "--output", "-", "--scans", "20", "--sim", kFourCounts});
    EXPECT_EQ(csv.status, 0) << csv.err;
    EXPECT_NE(csv.out.find("time_s,ch0,ch1,ch2,ch3"), std::string::npos) << csv.out;
    EXPECT_NE(csv.err.find("scans/s"), std::string::npos) << csv.err;
}

TEST(ToolRun, VoltsAndGainFactorsMeanTheSameInEveryCommand)
{
    // 1.25 V on the default -5…5 V range is code 2560 of the converter's 4096 steps.
    RunResult run = RunTool({"acquire", "--channels", "2", "--scans", "50", "--volts", "--quiet", "--output", "-",
                             "--sim", "ch0=dc:1.25;ch1=dc:0.3;speed=10"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::string line;
    int rows = 0;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#' || line[0] == 't')
            continue;
        ++rows;
        EXPECT_NEAR(std::stod(line.substr(line.find(',') + 1)), 1.25, 0.5 * 10.0 / 4096) << line;
    }
    EXPECT_EQ(rows, 50);

    // --gain 4 in acquire and in a polled scan: the same code for the same input, and
    // the volts divided by the same factor.
    RunResult scan = RunTool({"board", "scan", "2", "--gain", "4", "--json", "--sim", "ch0=dc:1.25;ch1=dc:0.3"});
    ASSERT_EQ(scan.status, 0) << scan.err;
    nlohmann::json codes = nlohmann::json::parse(scan.out);
    EXPECT_EQ(codes["gain_factor"], 4.0);
    RunResult acquired = RunTool({"acquire", "--channels", "2", "--scans", "5", "--gain", "4", "--quiet", "--output",
                                  "-", "--sim", "ch0=dc:1.25;ch1=dc:0.3;speed=10"});
    ASSERT_EQ(acquired.status, 0) << acquired.err;
    std::string lastRow = acquired.out.substr(acquired.out.rfind('\n', acquired.out.size() - 2) + 1);
    if (lastRow[0] == '#') {  // the closing comment: take the row before it
        std::string body = acquired.out.substr(0, acquired.out.rfind("# end"));
        lastRow = body.substr(body.rfind('\n', body.size() - 2) + 1);
    }
    int code1 = std::stoi(lastRow.substr(lastRow.rfind(',') + 1));
    EXPECT_NEAR(code1, codes["codes"][1].get<int>(), 2) << lastRow;
    EXPECT_NEAR((-5 + 10.0 * code1 / 4096) / 4, 0.3, 10.0 / 4096 / 4) << "code " << code1 << " at gain 4";
}

TEST(ToolRun, AcquireSaysWhatItDoesNotSaveAndWhereTheRateDiffers)
{
    RunResult run = RunTool({"acquire", "--channels", "1", "--rate", "90000", "--scans", "100", "--quiet", "--sim",
                             "speed=10"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("no --output: the samples are not saved"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("asks for 90000 Hz per channel; the card gives 90909.1 Hz"), std::string::npos) << run.err;
    RunResult exact = RunTool({"acquire", "--rate", "4000", "--scans", "10", "--quiet", "--sim", "speed=10"});
    EXPECT_EQ(exact.err.find("warning"), std::string::npos) << exact.err;
}

TEST(ToolRun, ScriptsGetOneJsonDocumentAndTheVersion)
{
    struct Case {
        std::vector<std::string> args;
        const char *key;
    };
    const Case cases[] = {
        {{"info", "--json"}, "card_frequency_hz"},
        {{"board", "status", "--json"}, "interrupt_line"},
        {{"board", "di", "--json", "--sim", "di=0x12,0x34"}, "high"},
        {{"eeprom", "read", "58", "2", "--json"}, "card_frequency_hz"},
        {{"eeprom", "dump", "--json"}, "words"},
        {{"selftest", "--json"}, "checks"},
    };
    for (const Case &c : cases) {
        RunResult run = RunTool(c.args, "speed=10");
        EXPECT_EQ(run.status, 0) << c.args[0] << " " << run.err;
        nlohmann::json json;
        ASSERT_NO_THROW(json = nlohmann::json::parse(run.out)) << run.out;
        EXPECT_TRUE(json.contains(c.key)) << run.out;
    }
    EXPECT_EQ(nlohmann::json::parse(RunTool({"board", "di", "--json", "--sim", "di=0x12,0x34"}).out)["high"], 0x34);
    EXPECT_EQ(nlohmann::json::parse(RunTool({"eeprom", "read", "58", "2", "--json"}).out)["card_frequency_hz"], 6e6);
    // The selftest wires its loop-back on top of the user's card, here a fast clock.
    EXPECT_EQ(nlohmann::json::parse(RunTool({"selftest", "--json"}, "speed=10").out)["passed"], true);

    RunResult version = RunTool({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("tq4815 0.", 0), 0u) << version.out;
}

TEST(ToolRun, CompletionAndManPageComeFromTheOptionDeclaration)
{
    RunResult completion = RunTool({"--bash-completion"});
    ASSERT_EQ(completion.status, 0);
    RunResult man = RunTool({"--man-page"});
    ASSERT_EQ(man.status, 0);
    EXPECT_EQ(man.out.find(".TH TQ4815 1"), man.out.find(".TH"));
    // Every option --help shows for a command is completed and documented.
    for (std::string command : {"acquire", "snapshot", "info", "selftest"}) {
        RunResult help = RunTool({command, "--help"});
        ASSERT_EQ(help.status, 0);
        std::istringstream lines(help.out);
        std::string line;
        int options = 0;
        while (std::getline(lines, line)) {
            auto at = line.find("--");
            if (at == std::string::npos || line.find("--help") != std::string::npos || at > 4)
                continue;
            std::string option = line.substr(at, line.find_first_of(" =", at) - at);
            ++options;
            EXPECT_NE(completion.out.find(" " + option), std::string::npos) << option;
            std::string troff;
            for (char ch : option)
                troff += ch == '-' ? std::string("\\-") : std::string(1, ch);
            EXPECT_NE(man.out.find(troff), std::string::npos) << option;
        }
        EXPECT_GT(options, 0) << command;
    }
    // The script is valid bash and completes a subcommand's words.
    std::string script = FreshPath("tq4815.bash");
    { std::ofstream(script) << completion.out; }
    std::string check = "bash -c 'source " + script +
                        "; COMP_WORDS=(tq4815 board s); COMP_CWORD=2; _tq4815; echo \"${COMPREPLY[*]}\"' > " + script + ".out";
    ASSERT_EQ(std::system(check.c_str()), 0);
    EXPECT_EQ(ReadFile(script + ".out"), "status scan\n");
}

}  // namespace
