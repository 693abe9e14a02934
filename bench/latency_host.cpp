// From a host's write of an `input` line to the driver call it causes, for padbridge.exe and for
// a floor program that does nothing but a blocking read and the same call per line, in one run.
//
//   vjoy: the call is SetAxis in our stand-in vJoyInterface.dll, run with VJOY_DOUBLE_STAMP=1 so
//         every call is logged with the QueryPerformanceCounter reading at its entry; the floor is
//         bench/floor_feeder.c.
//   bus:  the call is SubmitReport arriving in our stand-in bus driver, whose log stamps every
//         request with KeQueryPerformanceCounter; the floor is bench/bus_floor.cpp. Run it in the
//         driver's prefix.
//
// The host reads the same counter just before each WriteFile. Each line moves the first axis to
// the other side (+0.25, -0.25, ...), so a call answers the last write before it that asked for
// its side. A program may answer several lines with one call (the bridge submits only the newest
// report to the bus): such writes are counted, not timed. Lines go out at random gaps of 2 to
// 12 ms, the two programs take turns in rounds, and the report gives p50 and p99 of each in
// microseconds.
//
// Usage: latency_host vjoy BRIDGE_EXE FLOOR_EXE VJOY_DLL LOG_DIR [LINES_PER_ROUND] [ROUNDS]
//        latency_host bus BRIDGE_EXE FLOOR_EXE [LINES_PER_ROUND] [ROUNDS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bus_client.h"

namespace {

struct Call {
    LONGLONG stamp;
    bool positive;  // which side the call moved the first axis to
};

LONGLONG Counter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

std::string InputLine(int sample) {
    return std::string("{\"type\":\"input\",\"player\":0,\"axes\":[") +
           (sample % 2 == 0 ? "0.25" : "-0.25") +
           ",0,0,0],\"buttons\":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]}\n";
}

// Runs `command` with a pipe for stdin, writes `lines` input lines at random gaps, closes stdin,
// waits for the exit; returns the write times, or nothing when the program did not run.
std::vector<LONGLONG> Feed(std::wstring command, int lines, unsigned& seed) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {};
    SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = readEnd;
    si.hStdOutput = nul;
    si.hStdError = nul;
    PROCESS_INFORMATION pi{};
    const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &si, &pi) != FALSE;
    CloseHandle(readEnd);
    CloseHandle(nul);
    std::vector<LONGLONG> writes;
    if (started) {
        Sleep(1500);  // start-up and the probe
        for (int i = 0; i < lines; ++i) {
            seed = seed * 1103515245u + 12345u;
            Sleep(2 + (seed >> 16) % 11);
            const std::string line = InputLine(i);
            DWORD written = 0;
            writes.push_back(Counter());
            WriteFile(writeEnd, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
    }
    CloseHandle(writeEnd);
    if (started) {
        WaitForSingleObject(pi.hProcess, 20000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    return writes;
}

// The stand-in library's SetAxis calls on device 1's X axis.
std::vector<Call> VjoyCalls(const std::wstring& log) {
    std::ifstream file(log.c_str());
    std::vector<Call> calls;
    for (std::string line; std::getline(file, line);) {
        const std::size_t at = line.find(" SetAxis(");
        if (line.empty() || line[0] != '@' || at == std::string::npos) continue;
        if (line.find(",1,48)") == std::string::npos) continue;
        // The centred axis of a pad on its way out answers no line.
        const long value = std::atol(line.c_str() + at + 9);
        if (value > 16376 && value < 16392) continue;
        calls.push_back({std::atoll(line.c_str() + 1), value > 16384});
    }
    return calls;
}

// The SubmitReport requests that reached the stand-in bus driver, the centred ones left out
// (a pad's last report on its way out).
std::vector<Call> BusCalls(bus::Control& control) {
    std::vector<Call> calls;
    for (const BusTestLogEntry& entry : control.Log()) {
        if (entry.event != BUS_EVENT_REQUEST || entry.code != bus::kSubmitReport) continue;
        const auto x = static_cast<int16_t>(entry.data[12] | entry.data[13] << 8);
        if (x != 0) calls.push_back({static_cast<LONGLONG>(entry.stamp), x > 0});
    }
    return calls;
}

struct Figures {
    std::vector<double> us;
    int unanswered = 0;  // writes no call answered on its own
};

// Pairs each call with the last write before it that asked for its side.
void Collect(Figures& figures, const std::vector<LONGLONG>& writes, const std::vector<Call>& calls,
             double ticksPerUs) {
    std::vector<bool> answered(writes.size(), false);
    std::size_t next = 0;  // writes before this one were made before the call
    for (const Call& call : calls) {
        while (next < writes.size() && writes[next] <= call.stamp) ++next;
        std::size_t k = next;
        while (k > 0 && ((k - 1) % 2 == 0) != call.positive) --k;
        if (k == 0 || answered[k - 1]) continue;
        answered[k - 1] = true;
        figures.us.push_back(static_cast<double>(call.stamp - writes[k - 1]) / ticksPerUs);
    }
    figures.unanswered += static_cast<int>(std::count(answered.begin(), answered.end(), false));
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

void Report(const char* name, const Figures& figures) {
    std::printf("%-10s %zu lines, p50 %.0f us, p99 %.0f us (%d answered by a later line's call)\n",
                name, figures.us.size(), Percentile(figures.us, 0.50), Percentile(figures.us, 0.99),
                figures.unanswered);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool onBus = argc >= 4 && std::wstring(argv[1]) == L"bus";
    const int fixed = onBus ? 4 : 6;
    if (argc < fixed || (!onBus && std::wstring(argv[1]) != L"vjoy")) return 2;
    const std::wstring bridge = argv[2], floor = argv[3];
    const std::wstring dll = onBus ? L"" : argv[4], logs = onBus ? L"" : argv[5];
    const int lines = argc > fixed ? _wtoi(argv[fixed]) : 300;
    const int rounds = argc > fixed + 1 ? _wtoi(argv[fixed + 1]) : 3;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const double ticksPerUs = static_cast<double>(frequency.QuadPart) / 1e6;

    bus::Control control;  // opened on the bus only; elsewhere it finds no interface
    if (onBus && !control.ok()) {
        std::printf("latency: no stand-in bus in this prefix (error %lu)\n", control.open_error());
        return 1;
    }
    if (!onBus) SetEnvironmentVariableW(L"VJOY_DOUBLE_STAMP", L"1");
    const std::wstring floorCommand = L"\"" + floor + L"\"" + (onBus ? L"" : L" \"" + dll + L"\"");
    const std::wstring bridgeCommand =
        L"\"" + bridge + L"\"" + (onBus ? L"" : L" --vjoy-dll \"" + dll + L"\"");

    unsigned seed = 12345;
    Figures floorFigures, bridgeFigures;
    for (int round = 0; round < rounds; ++round) {
        for (Figures* figures : {&floorFigures, &bridgeFigures}) {
            const std::wstring& command = figures == &floorFigures ? floorCommand : bridgeCommand;
            const std::wstring log = logs + L"\\latency.log";
            if (onBus) {
                control.Reset();
            } else {
                DeleteFileW(log.c_str());
                SetEnvironmentVariableW(L"VJOY_DOUBLE_LOG", log.c_str());
            }
            const std::vector<LONGLONG> writes = Feed(command, lines, seed);
            Collect(*figures, writes, onBus ? BusCalls(control) : VjoyCalls(log), ticksPerUs);
        }
    }
    if (bridgeFigures.us.empty() || floorFigures.us.empty()) {
        std::printf("latency: a program did not run\n");
        return 1;
    }
    Report("floor:", floorFigures);
    Report("padbridge:", bridgeFigures);
    std::printf("ratios: p50 %.2f x floor, p99 %.2f x floor\n",
                Percentile(bridgeFigures.us, 0.50) / Percentile(floorFigures.us, 0.50),
                Percentile(bridgeFigures.us, 0.99) / Percentile(floorFigures.us, 0.99));
    return 0;
}
