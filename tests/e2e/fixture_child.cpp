// A child process for checking the test host itself, without the bridge.
//   echo CODE   copy stdin to stdout as it arrives; exit CODE when stdin ends
//   args        print each argument and the variable E2E_PROBE, one per line
//   hang        never exit (the host must kill it)
//   spin        burn CPU on a second thread until stdin ends
//   inject      send a few keyboard and mouse events with SendInput, print how many went in
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Out(const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

std::string Utf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.pop_back();
    return out;
}

// Reads stdin until it ends, optionally echoing it.
void DrainStdin(bool echo) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) &&
           got > 0) {
        if (echo) Out(std::string(buffer, got));
    }
}

volatile bool g_spinning = true;

DWORD WINAPI Spin(void*) {
    volatile unsigned long long n = 0;
    while (g_spinning) n = n + 1;
    return 0;
}

UINT SendOne(INPUT input) {
    return SendInput(1, &input, sizeof(INPUT));
}

INPUT Key(WORD vk, WORD scan, DWORD flags) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = scan;
    input.ki.dwFlags = flags;
    return input;
}

INPUT Mouse(LONG dx, LONG dy, DWORD data, DWORD flags) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = dx;
    input.mi.dy = dy;
    input.mi.mouseData = data;
    input.mi.dwFlags = flags;
    return input;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    if (std::wcscmp(argv[1], L"echo") == 0) {
        DrainStdin(true);
        return argc > 2 ? _wtoi(argv[2]) : 0;
    }
    if (std::wcscmp(argv[1], L"args") == 0) {
        for (int i = 2; i < argc; ++i) Out("arg=" + Utf8(argv[i]) + "\n");
        const wchar_t* probe = _wgetenv(L"E2E_PROBE");
        Out("env=" + (probe != nullptr ? Utf8(probe) : std::string("(unset)")) + "\n");
        return 0;
    }
    if (std::wcscmp(argv[1], L"hang") == 0) {
        ::Sleep(INFINITE);
        return 0;
    }
    if (std::wcscmp(argv[1], L"spin") == 0) {
        HANDLE thread = CreateThread(nullptr, 0, Spin, nullptr, 0, nullptr);
        DrainStdin(false);
        g_spinning = false;
        if (thread != nullptr) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        return 0;
    }
    if (std::wcscmp(argv[1], L"inject") == 0) {
        UINT sent = 0;
        sent += SendOne(Key('A', 0, 0));
        sent += SendOne(Key('A', 0, KEYEVENTF_KEYUP));
        sent += SendOne(Key(0, 0x00E9, KEYEVENTF_UNICODE));
        sent += SendOne(Key(0, 0x00E9, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP));
        sent += SendOne(Mouse(5, -3, 0, MOUSEEVENTF_MOVE));
        sent += SendOne(Mouse(0, 0, static_cast<DWORD>(-120), MOUSEEVENTF_WHEEL));
        char line[32];
        std::snprintf(line, sizeof line, "sent=%u\n", sent);
        Out(line);
        return 0;
    }
    return 2;
}
