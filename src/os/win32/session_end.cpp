// Being asked to stop from outside the pipe: console control events, the end of the Windows
// session, and WM_CLOSE.
//
// Ctrl+C, Ctrl+Break and closing the console reach a handler that the system runs on a thread it
// creates. Log-off and shutdown do not: a process that has loaded user32 (ours, for SendInput) is
// told through WM_QUERYENDSESSION and WM_ENDSESSION sent to its top-level windows, so a hidden
// one waits for them on a thread of its own. Either way the thread only signals the loop's stop
// event; the loop runs the same shutdown as for a closed input.
//
// Where the system ends the process as soon as the thread returns (a closed console, the end of
// the session), the thread holds it until the shutdown has released everything and then until
// the main thread has ended the process with exit code 0, never longer than the system would
// wait anyway. Ctrl+C and Ctrl+Break leave the process alive, so their handler returns at once:
// a press during a stall, or a second one, parks no thread.
//
// WM_CLOSE (what taskkill without /F posts to a process's top-level windows) is a request to
// stop like Ctrl+C. The window is not destroyed, as the default handling would: it has to stay
// to hear a later log-off or shutdown until the process ends.
#include "os/win32/win32.h"

namespace os {
namespace {

// Windows ends a process that holds a closed console or the session's end for about 5 s.
constexpr DWORD kHoldLimitMs = 4500;

HANDLE stopRequested = nullptr;
HANDLE shutdownFinished = nullptr;
HANDLE mainThread = nullptr;  // the loop's thread; it ends only as the process does

void HoldUntilExit() {
    const ULONGLONG start = ::GetTickCount64();
    if (::WaitForSingleObject(shutdownFinished, kHoldLimitMs) != WAIT_OBJECT_0) return;
    const ULONGLONG spent = ::GetTickCount64() - start;
    if (mainThread != nullptr && spent < kHoldLimitMs)
        ::WaitForSingleObject(mainThread, static_cast<DWORD>(kHoldLimitMs - spent));
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    ::SetEvent(stopRequested);
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) HoldUntilExit();
    return TRUE;
}

LRESULT CALLBACK OnSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            return TRUE;  // nothing of ours is worth keeping the session for
        case WM_ENDSESSION:
            // FALSE: someone refused and the session goes on, and so do we.
            if (wParam != FALSE) {
                ::SetEvent(stopRequested);
                HoldUntilExit();
            }
            return 0;
        case WM_CLOSE:
            ::SetEvent(stopRequested);
            return 0;
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

// Without a window station that can make windows (Wine without a graphics driver) the window is
// not made and the session's end is not seen; everything else works without it.
DWORD WINAPI RunSessionWindow(void*) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = OnSessionMessage;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"padbridge-session";
    if (::RegisterClassW(&windowClass) == 0) return 0;
    // Top-level (a message-only window gets no broadcasts) and never shown.
    const HWND window =
        ::CreateWindowExW(0, windowClass.lpszClassName, L"padbridge", WS_OVERLAPPED, 0, 0, 0, 0,
                          nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr) return 0;
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    return 0;
}

}  // namespace

Handle WatchStopRequests() {
    stopRequested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    shutdownFinished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopRequested == nullptr || shutdownFinished == nullptr) return kNullHandle;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                      &mainThread, SYNCHRONIZE, FALSE, 0);
    const HANDLE windowThread = ::CreateThread(nullptr, 0, RunSessionWindow, nullptr, 0, nullptr);
    if (windowThread != nullptr) ::CloseHandle(windowThread);  // it lives as long as the process
    const bool handlerSet = ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
    if (!handlerSet && windowThread == nullptr) return kNullHandle;
    return win32::FromHandle(stopRequested);
}

void FinishShutdown() {
    if (shutdownFinished != nullptr) ::SetEvent(shutdownFinished);
}

}  // namespace os
