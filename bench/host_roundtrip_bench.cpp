// One DeviceIoControl round trip (IOCTL_GET_LAST_ERROR: 4 bytes out, the cheapest request the
// driver answers) from a Win32 program: in-process, or through a machine host when
// TQ4815_HOST names one (bench/host_bench.sh runs both). Besides the mean per call that the
// framework reports, the median and 99th percentile of single calls.
#include <benchmark/benchmark.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "tq4815_ioctl.h"

namespace {

void DeviceIoControlRoundTrip(benchmark::State &state)
{
    static HANDLE device =
        CreateFileA("\\\\.\\Tq4815x", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        state.SkipWithError("no device");
        return;
    }
    std::vector<double> micros;
    micros.reserve(1 << 20);
    for (auto _ : state) {
        DWORD error = 0, bytes = 0;
        auto start = std::chrono::steady_clock::now();
        BOOL ok = DeviceIoControl(device, IOCTL_GET_LAST_ERROR, nullptr, 0, &error, sizeof error, &bytes, nullptr);
        auto end = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(ok);
        if (micros.size() < micros.capacity())
            micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    }
    state.SetLabel(std::getenv("TQ4815_HOST") != nullptr ? "through a host" : "in-process");
}
BENCHMARK(DeviceIoControlRoundTrip)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
