// Measures what padbridge.exe costs the machine, the way a host runs it: CreatePipe'd stdin and
// stdout, the vJoy stand-in DLL as its driver. Two windows of `seconds` each:
//   idle: nothing written, stdin left open: the loop only polls and sleeps;
//   load: eight players' `input` lines at `rate` lines a second each.
// The child's CPU time (kernel + user, summed over its threads) is sampled at each window's edges.
// A marker line is printed (and flushed) at each edge so a script outside can sample the process
// too. Usage: idle_host [seconds] [rate]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host.h"
#include "lines.h"

namespace {

double ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               10000.0;
    };
    return ms(kernel) + ms(user);
}

double NowMs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The two calls of an idle tick, timed here: what one Sleep(5) lasts and costs, and what one
// PeekNamedPipe on an empty anonymous pipe costs.
void MeasureIdleTick() {
    constexpr int kSleeps = 200;
    double wall = NowMs();
    double cpu = ThreadCpuMs();
    for (int i = 0; i < kSleeps; ++i) Sleep(5);
    const double sleepMs = (NowMs() - wall) / kSleeps;
    const double sleepCpuUs = 1000.0 * (ThreadCpuMs() - cpu) / kSleeps;

    HANDLE readEnd = nullptr, writeEnd = nullptr;
    double peekCpuUs = 0;
    if (CreatePipe(&readEnd, &writeEnd, nullptr, 0)) {
        constexpr int kPeeks = 20000;
        cpu = ThreadCpuMs();
        for (int i = 0; i < kPeeks; ++i) {
            DWORD available = 0;
            PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr);
        }
        peekCpuUs = 1000.0 * (ThreadCpuMs() - cpu) / kPeeks;
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
    }
    std::printf(
        "tick parts: Sleep(5) lasts %.2f ms (so at most %.0f idle wake-ups/s) and costs "
        "%.1f us of CPU; PeekNamedPipe costs %.1f us\n",
        sleepMs, 1000.0 / sleepMs, sleepCpuUs, peekCpuUs);
}

void Mark(const char* what) {
    std::printf("mark %s\n", what);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 250;
    if (seconds <= 0 || rate <= 0 || rate > 1000) return 2;

    // Eight lines (one per player) per write, every 1000/rate ms. The pauses are Sleeps, which
    // run a little long, so they alternate between the period and one millisecond less; the
    // rate reached is measured from the write times, not assumed.
    std::string burst;
    for (int player = 0; player < 8; ++player) burst += bench::InputLine(player) + "\n";
    const DWORD period = static_cast<DWORD>(1000 / rate);
    const int bursts = seconds * rate;

    MeasureIdleTick();

    std::vector<e2e::Step> script = {e2e::WaitOutput("\"type\":\"capabilities\""), e2e::SampleCpu(),
                                     e2e::Pause(static_cast<DWORD>(seconds) * 1000),
                                     e2e::SampleCpu()};
    for (int i = 0; i < bursts; ++i) {
        script.push_back(e2e::Write(burst));
        script.push_back(e2e::Pause(period > 1 && i % 2 == 1 ? period - 1 : period));
    }
    script.push_back(e2e::SampleCpu());

    e2e::SessionOptions options =
        e2e::Options(e2e::PadbridgePath(),
                     {L"--vjoy-dll", e2e::WindowsPathFromUnix(BENCH_VJOY_DOUBLE_UNIX_PATH)});
    options.script_timeout_ms = static_cast<DWORD>(seconds) * 6000 + 30000;
    Mark("start");
    const e2e::SessionResult r = e2e::RunSession(options, script);
    Mark("end");

    if (!r.started || r.cpu.size() != 3 || !r.cpu[0].ok || !r.cpu[2].ok || r.writes.empty()) {
        std::printf("idle-host: the session did not run as planned\n");
        return 1;
    }
    const double idleWall = r.cpu[1].wall_ms - r.cpu[0].wall_ms;
    const double idleCpu = r.cpu[1].cpu_ms - r.cpu[0].cpu_ms;
    const double loadWall = r.cpu[2].wall_ms - r.cpu[1].wall_ms;
    const double loadCpu = r.cpu[2].cpu_ms - r.cpu[1].cpu_ms;
    const double writeSpan = r.writes.back().ms - r.writes.front().ms;
    const double linesPerPlayer = static_cast<double>(r.writes.size() - 1) * 1000.0 / writeSpan;
    std::printf("idle: cpu %.3f s over %.3f s wall (%.2f%% of a core)\n", idleCpu / 1000,
                idleWall / 1000, 100 * idleCpu / idleWall);
    std::printf(
        "load: cpu %.3f s over %.3f s wall (%.2f%% of a core), %zu lines in, %.0f lines/s "
        "per player, %zu output bytes\n",
        loadCpu / 1000, loadWall / 1000, 100 * loadCpu / loadWall, r.writes.size() * 8,
        linesPerPlayer, r.output.size());
    return 0;
}
