// Measures what padbridge.exe costs the machine, the way a host runs it: CreatePipe'd stdin and
// stdout, the vJoy stand-in DLL as its driver. Four windows of `seconds` each:
//   idle:   nothing written, stdin left open, nothing live: the loop waits for input alone;
//   pad:    one player's `input` lines at 60 a second (a vJoy pad alive);
//   armed:  desktop control granted and kept armed with four heartbeats a second;
//   load:   eight players' `input` lines at `rate` lines a second each.
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

void Mark(const char* what) {
    std::printf("mark %s\n", what);
    std::fflush(stdout);
}

// Writes `line` every `periodMs` for `seconds`. Sleeps run a little long, so the pauses alternate
// between the period and one millisecond less; the rate reached is measured from the write times.
void Repeat(std::vector<e2e::Step>& script, const std::string& line, DWORD periodMs, int seconds) {
    const int count = seconds * 1000 / static_cast<int>(periodMs);
    for (int i = 0; i < count; ++i) {
        script.push_back(e2e::Write(line));
        script.push_back(e2e::Pause(periodMs > 1 && i % 2 == 1 ? periodMs - 1 : periodMs));
    }
    script.push_back(e2e::SampleCpu());
}

double Percent(const e2e::SessionResult& r, std::size_t window) {
    const double wall = r.cpu[window + 1].wall_ms - r.cpu[window].wall_ms;
    return 100 * (r.cpu[window + 1].cpu_ms - r.cpu[window].cpu_ms) / wall;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 250;
    if (seconds <= 0 || rate <= 0 || rate > 1000) return 2;

    std::string burst;
    for (int player = 0; player < 8; ++player) burst += bench::InputLine(player) + "\n";
    const std::string padLine = bench::InputLine(0) + "\n";

    std::vector<e2e::Step> script = {e2e::WaitOutput("\"type\":\"capabilities\""), e2e::SampleCpu(),
                                     e2e::Pause(static_cast<DWORD>(seconds) * 1000),
                                     e2e::SampleCpu()};
    Repeat(script, padLine, 16, seconds);
    script.push_back(e2e::Write("{\"type\":\"system-permission\",\"enabled\":true}\n"));
    Repeat(script, "{\"type\":\"system-heartbeat\"}\n", 250, seconds);
    const std::size_t loadStart = script.size();
    Repeat(script, burst, static_cast<DWORD>(1000 / rate), seconds);

    e2e::SessionOptions options =
        e2e::Options(e2e::PadbridgePath(),
                     {L"--vjoy-dll", e2e::WindowsPathFromUnix(BENCH_VJOY_DOUBLE_UNIX_PATH)});
    options.script_timeout_ms = static_cast<DWORD>(seconds) * 12000 + 30000;
    Mark("start");
    const e2e::SessionResult r = e2e::RunSession(options, script);
    Mark("end");

    bool sampled = r.started && r.cpu.size() == 5;
    for (const e2e::CpuSample& sample : r.cpu) sampled = sampled && sample.ok;
    if (!sampled || r.writes.empty()) {
        std::printf("idle-host: the session did not run as planned\n");
        return 1;
    }
    // Load writes are the last ones: the bursts, one write each.
    const std::size_t loadWrites = (script.size() - loadStart - 1) / 2;
    const double loadSpan = r.writes.back().ms - r.writes[r.writes.size() - loadWrites].ms;
    const char* names[] = {"idle", "pad", "armed", "load"};
    for (std::size_t window = 0; window < 4; ++window)
        std::printf("%s: %.2f%% of a core by Windows' count\n", names[window], Percent(r, window));
    std::printf("load: %zu lines in, %.0f lines/s per player, %zu output bytes\n", loadWrites * 8,
                static_cast<double>(loadWrites - 1) * 1000.0 / loadSpan, r.output.size());
    return 0;
}
