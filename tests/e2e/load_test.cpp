// The real padbridge.exe under load: eight players sending input at 1000 lines a second each for
// ten seconds, with desktop moves and heartbeats in between, through the stand-in vJoy library.
// Every input line carries its sequence number in the left stick's horizontal axis, so the
// library's call log shows whether any line was lost or reordered; the child's memory is sampled
// while it runs.
// windows.h first: psapi.h and tlhelp32.h build on it.
#include <windows.h>
// clang-format off
#include <psapi.h>
#include <tlhelp32.h>
// clang-format on

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host.h"

namespace e2e {
namespace {

constexpr int kPlayers = 8;
constexpr int kSlots = 100;  // one write every kSlotMs: ten seconds
constexpr DWORD kSlotMs = 100;
constexpr int kLinesPerSlot = 100;  // per player: 1000 lines a second
constexpr int kLinesPerPlayer = kSlots * kLinesPerSlot;
constexpr int kCentredX = 16383;  // what the release writes on the double's 0..32767 range

// An axis value whose vJoy X on the range 0..32767 is exactly `n`: (a + 1) / 2 * 32767 = n + 0.5.
std::string InputLine(int player, int n) {
    char line[192];
    std::snprintf(line, sizeof line,
                  "{\"type\":\"input\",\"player\":%d,\"axes\":[%.17g,0,0,0],"
                  "\"buttons\":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]}\n",
                  player, (2.0 * n + 1.0) / 32767.0 - 1.0);
    return line;
}

std::vector<Step> LoadScript() {
    std::vector<Step> script = {Write(kGrant), SampleCpu()};
    for (int slot = 0; slot < kSlots; ++slot) {
        std::string bytes;
        for (int k = 0; k < kLinesPerSlot; ++k) {
            for (int player = 0; player < kPlayers; ++player) {
                bytes += InputLine(player, slot * kLinesPerSlot + k);
            }
            if (k % 20 == 10)
                bytes += "{\"type\":\"system\",\"action\":\"move\",\"x\":0,\"y\":0}\n";
        }
        bytes += "{\"type\":\"system-heartbeat\"}\n";
        script.push_back(Write(bytes));
        script.push_back(Pause(kSlotMs));
        if (slot % 10 == 9) script.push_back(SampleCpu());
    }
    script.push_back(CloseStdin());
    return script;
}

struct MemorySample {
    double ms;
    SIZE_T workingSet;
    SIZE_T committed;  // PagefileUsage; Wine leaves PrivateUsage at 0
};

// Samples our padbridge.exe child every 250 ms until told to stop.
void SampleMemory(std::atomic<bool>* stop, std::vector<MemorySample>* samples) {
    const DWORD self = GetCurrentProcessId();
    HANDLE child = nullptr;
    const ULONGLONG start = GetTickCount64();
    while (!stop->load()) {
        if (child == nullptr) {
            HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            PROCESSENTRY32W entry{};
            entry.dwSize = sizeof entry;
            for (BOOL more = Process32FirstW(snapshot, &entry); more;
                 more = Process32NextW(snapshot, &entry)) {
                if (entry.th32ParentProcessID == self &&
                    _wcsicmp(entry.szExeFile, L"padbridge.exe") == 0) {
                    child = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                        entry.th32ProcessID);
                }
            }
            CloseHandle(snapshot);
        }
        PROCESS_MEMORY_COUNTERS_EX counters{};
        if (child != nullptr &&
            GetProcessMemoryInfo(child, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                 sizeof counters)) {
            samples->push_back({static_cast<double>(GetTickCount64() - start),
                                counters.WorkingSetSize, counters.PagefileUsage});
        }
        Sleep(250);
    }
    if (child != nullptr) CloseHandle(child);
}

TEST(Load, EightPlayersAtAThousandLinesASecondLoseNothing) {
    const std::wstring log = WindowsPathFromUnix(E2E_VJOY_LOG_DIR) + L"\\load.log";
    DeleteFileW(log.c_str());
    SessionOptions options =
        Options(PadbridgePath(), {L"--vjoy-dll", WindowsPathFromUnix(E2E_VJOY_DOUBLE_UNIX_PATH)});
    options.env = {{L"VJOY_DOUBLE_LOG", log}};
    // The double appends every call to its log, opening and closing the file each time; under
    // Wine that, not the bridge, sets the pace (the host's writes block while the pipe is full).
    options.script_timeout_ms = 420000;
    options.exit_timeout_ms = 60000;

    std::atomic<bool> stop{false};
    std::vector<MemorySample> memory;
    std::thread sampler(SampleMemory, &stop, &memory);
    const SessionResult r = RunSession(options, LoadScript());
    stop = true;
    sampler.join();

    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    EXPECT_FALSE(r.script_timed_out);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0u);

    // Memory stays flat once the session is under way: compare the last samples with one taken
    // two seconds in.
    if (memory.size() < 12) {
        ADD_FAILURE() << "the child's memory could not be sampled";
    } else {
        const MemorySample& early = memory[8];
        const MemorySample& late = memory[memory.size() - 2];
        const double wallMs = r.cpu.empty() ? 0 : r.cpu.back().wall_ms - r.cpu.front().wall_ms;
        const double cpuMs = r.cpu.empty() ? 0 : r.cpu.back().cpu_ms - r.cpu.front().cpu_ms;
        std::printf(
            "load: %.0f ms wall, %.0f ms child CPU from the first write to the last; "
            "working set %zu -> %zu KiB, committed %zu -> %zu KiB over %.0f ms\n",
            wallMs, cpuMs, early.workingSet / 1024, late.workingSet / 1024, early.committed / 1024,
            late.committed / 1024, late.ms - early.ms);
        constexpr SIZE_T kSlack = 1024 * 1024;
        EXPECT_GT(early.committed, 0u);
        EXPECT_LE(late.committed, early.committed + kSlack);
        EXPECT_LE(late.workingSet, early.workingSet + kSlack);
    }

    // Only the expected lines: no error, no idle teardown, each pad once.
    std::vector<std::string> expected = {padbridge::test::kVjoyCapabilities,
                                         padbridge::test::kGranted};
    for (int player = 0; player < kPlayers; ++player)
        expected.push_back(padbridge::test::DeviceCreated(player, padbridge::test::kVjoy));
    for (int player = 0; player < kPlayers; ++player)
        expected.push_back(padbridge::test::DeviceRemoved(player));
    const Lines out = SplitLines(r.output);
    EXPECT_TRUE(out.all_crlf);
    EXPECT_EQ(out.lines, expected);

    // Every line reached its device, in order: X runs 0, 1, 2 ... then the release centres it.
    std::map<int, std::vector<int>> xByDevice;
    std::ifstream file(log.c_str(), std::ios::binary);
    for (std::string line; std::getline(file, line);) {
        int value = 0;
        int device = 0;
        int usage = 0;
        if (std::sscanf(line.c_str(), "SetAxis(%d,%d,%d)", &value, &device, &usage) == 3 &&
            usage == 0x30) {
            xByDevice[device].push_back(value);
        }
    }
    for (int device = 1; device <= kPlayers; ++device) {
        const std::vector<int>& x = xByDevice[device];
        ASSERT_EQ(x.size(), static_cast<std::size_t>(kLinesPerPlayer + 1)) << "device " << device;
        for (int n = 0; n < kLinesPerPlayer; ++n) {
            ASSERT_EQ(x[static_cast<std::size_t>(n)], n) << "device " << device;
        }
        EXPECT_EQ(x.back(), kCentredX);
    }
}

}  // namespace
}  // namespace e2e
