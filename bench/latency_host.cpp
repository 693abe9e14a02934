// From a host's write of an `input` line to the vJoy call it causes, for padbridge.exe and for a
// floor program (bench/floor_feeder.c: a bare blocking read and the same call per line), in one
// run. Both load our stand-in vJoyInterface.dll with VJOY_DOUBLE_STAMP=1, so every call is logged
// with the QueryPerformanceCounter reading at its entry; the host reads the same counter just
// before each WriteFile. Each line moves the first axis to a new value, so the k-th SetAxis of the
// X axis answers the k-th write. Lines go out at random gaps of 2 to 12 ms, the two programs take
// turns in rounds, and the report gives p50 and p99 of each in microseconds.
//
// Usage: latency_host BRIDGE_EXE FLOOR_EXE VJOY_DLL LOG_DIR [LINES_PER_ROUND] [ROUNDS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

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
std::vector<LONGLONG> Feed(std::wstring command, const std::wstring& log, int lines,
                           unsigned& seed) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {};
    SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    DeleteFileW(log.c_str());
    SetEnvironmentVariableW(L"VJOY_DOUBLE_LOG", log.c_str());
    SetEnvironmentVariableW(L"VJOY_DOUBLE_STAMP", L"1");
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

// The entry stamps of the SetAxis calls on device 1's X axis, in order.
std::vector<LONGLONG> AxisCalls(const std::wstring& log) {
    std::ifstream file(log.c_str());
    std::vector<LONGLONG> stamps;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] != '@' || line.find(" SetAxis(") == std::string::npos) continue;
        if (line.find(",1,48)") == std::string::npos) continue;
        stamps.push_back(std::atoll(line.c_str() + 1));
    }
    return stamps;
}

struct Figures {
    std::vector<double> us;
    int lost = 0;
};

void Collect(Figures& figures, const std::vector<LONGLONG>& writes,
             const std::vector<LONGLONG>& calls, double ticksPerUs) {
    for (std::size_t k = 0; k < writes.size(); ++k) {
        if (k >= calls.size()) {
            ++figures.lost;
            continue;
        }
        figures.us.push_back(static_cast<double>(calls[k] - writes[k]) / ticksPerUs);
    }
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) return 2;
    const std::wstring bridge = argv[1], floor = argv[2], dll = argv[3], logs = argv[4];
    const int lines = argc > 5 ? _wtoi(argv[5]) : 300;
    const int rounds = argc > 6 ? _wtoi(argv[6]) : 2;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const double ticksPerUs = static_cast<double>(frequency.QuadPart) / 1e6;

    unsigned seed = 12345;
    Figures bridgeFigures, floorFigures;
    for (int round = 0; round < rounds; ++round) {
        const std::wstring floorLog = logs + L"\\latency-floor.log";
        const std::vector<LONGLONG> floorWrites =
            Feed(L"\"" + floor + L"\" \"" + dll + L"\"", floorLog, lines, seed);
        Collect(floorFigures, floorWrites, AxisCalls(floorLog), ticksPerUs);
        const std::wstring bridgeLog = logs + L"\\latency-bridge.log";
        const std::vector<LONGLONG> bridgeWrites =
            Feed(L"\"" + bridge + L"\" --vjoy-dll \"" + dll + L"\"", bridgeLog, lines, seed);
        Collect(bridgeFigures, bridgeWrites, AxisCalls(bridgeLog), ticksPerUs);
    }
    if (bridgeFigures.us.empty() || floorFigures.us.empty()) {
        std::printf("latency: a program did not run\n");
        return 1;
    }
    const double bridge50 = Percentile(bridgeFigures.us, 0.50);
    const double bridge99 = Percentile(bridgeFigures.us, 0.99);
    const double floor50 = Percentile(floorFigures.us, 0.50);
    const double floor99 = Percentile(floorFigures.us, 0.99);
    std::printf("floor:     %zu lines, p50 %.0f us, p99 %.0f us (%d without a call)\n",
                floorFigures.us.size(), floor50, floor99, floorFigures.lost);
    std::printf("padbridge: %zu lines, p50 %.0f us, p99 %.0f us (%d without a call)\n",
                bridgeFigures.us.size(), bridge50, bridge99, bridgeFigures.lost);
    std::printf("ratios: p50 %.2f x floor, p99 %.2f x floor\n", bridge50 / floor50,
                bridge99 / floor99);
    return bridgeFigures.lost == 0 && floorFigures.lost == 0 ? 0 : 1;
}
