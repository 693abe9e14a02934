#include "host.h"

#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace e2e {
namespace {

double MsSince(LARGE_INTEGER start) {
    LARGE_INTEGER now;
    LARGE_INTEGER freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 /
           static_cast<double>(freq.QuadPart);
}

// Quotes one argument so that CommandLineToArgvW (and the C runtime) give it back as is.
void AppendQuoted(std::wstring& cmd, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        cmd += arg;
        return;
    }
    cmd += L'"';
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == arg.size()) {
            cmd.append(backslashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"') {
            cmd.append(backslashes * 2 + 1, L'\\');
        } else {
            cmd.append(backslashes, L'\\');
        }
        cmd += arg[i];
    }
    cmd += L'"';
}

std::wstring NameOf(const std::wstring& entry) {
    // Entries such as "=C:=C:\dir" start with '='; their name runs to the second one.
    size_t eq = entry.find(L'=', entry.empty() || entry[0] != L'=' ? 0 : 1);
    return eq == std::wstring::npos ? entry : entry.substr(0, eq);
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The inherited environment with the extra variables put in, as a sorted Unicode block.
std::vector<wchar_t> EnvironmentBlock(
    const std::vector<std::pair<std::wstring, std::wstring>>& extra) {
    std::vector<std::wstring> entries;
    if (wchar_t* env = GetEnvironmentStringsW()) {
        for (const wchar_t* p = env; *p != L'\0'; p += wcslen(p) + 1) entries.emplace_back(p);
        FreeEnvironmentStringsW(env);
    }
    for (const auto& [name, value] : extra) {
        std::erase_if(entries,
                      [&name](const std::wstring& entry) { return SameName(NameOf(entry), name); });
        entries.push_back(name + L"=" + value);
    }
    std::stable_sort(
        entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
            std::wstring na = NameOf(a);
            std::wstring nb = NameOf(b);
            return CompareStringOrdinal(na.c_str(), static_cast<int>(na.size()), nb.c_str(),
                                        static_cast<int>(nb.size()), TRUE) == CSTR_LESS_THAN;
        });
    std::vector<wchar_t> block;
    for (const auto& entry : entries) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    if (block.size() == 1) block.push_back(L'\0');
    return block;
}

// Everything the threads of one session share.
struct Session {
    LARGE_INTEGER start{};
    std::mutex mutex;
    std::condition_variable output_changed;
    std::string output;
    std::vector<Chunk> chunks;
    bool output_closed = false;

    HANDLE stdin_write = nullptr;
    HANDLE stdout_read = nullptr;
    HANDLE process = nullptr;
    DWORD process_id = 0;

    const std::vector<Step>* script = nullptr;
    HANDLE reading_allowed = nullptr;  // manual reset: reset while the host plays frozen
    std::vector<double> reading_changes_ms;
    std::vector<WriteRecord> writes;
    std::vector<CpuSample> cpu;
    bool wait_output_failed = false;
    bool ctrl_break_sent = false;
    bool end_session_ran = false;
    int close_posts = 0;

    // Input capture (the hook procedures reach it through g_capture).
    std::vector<KeyEvent> keys;
    std::vector<MouseEvent> mice;
    HANDLE hooks_ready = nullptr;
    bool hooks_ok = false;
};

// Low-level hook procedures get no context pointer; one session at a time captures.
Session* g_capture = nullptr;

void CloseStdin(Session& s) {
    if (s.stdin_write != nullptr) {
        CloseHandle(s.stdin_write);
        s.stdin_write = nullptr;
    }
}

double FileTimeMs(FILETIME t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
           10000.0;
}

// Kernel plus user time of a child. Wine answers GetProcessTimes for another process with
// zeros but keeps real per-thread times, so the threads are summed as well and the larger
// figure wins.
bool ChildCpuMs(HANDLE process, DWORD process_id, double& cpu_ms) {
    FILETIME created, exited, kernel, user;
    bool ok = GetProcessTimes(process, &created, &exited, &kernel, &user) != FALSE;
    double from_process = ok ? FileTimeMs(kernel) + FileTimeMs(user) : 0;

    double from_threads = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Thread32First(snapshot, &entry); more;
             more = Thread32Next(snapshot, &entry)) {
            if (entry.th32OwnerProcessID != process_id) continue;
            HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
            if (thread == nullptr) continue;
            if (GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
                from_threads += FileTimeMs(kernel) + FileTimeMs(user);
                ok = true;
            }
            CloseHandle(thread);
        }
        CloseHandle(snapshot);
    }
    cpu_ms = std::max(from_process, from_threads);
    return ok;
}

DWORD WINAPI ReaderThread(void* param) {
    Session& s = *static_cast<Session*>(param);
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        WaitForSingleObject(s.reading_allowed, INFINITE);
        if (!ReadFile(s.stdout_read, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
        double ms = MsSince(s.start);
        std::lock_guard lock(s.mutex);
        s.output.append(buffer, got);
        s.chunks.push_back({ms, std::string(buffer, got)});
        s.output_changed.notify_all();
    }
    std::lock_guard lock(s.mutex);
    s.output_closed = true;
    s.output_changed.notify_all();
    return 0;
}

// Runs a program of the system and waits for it; false when it could not start or did not end.
bool RunAndWait(std::wstring command_line, DWORD timeout_ms) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    const bool ended = WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ended;
}

struct WindowSearch {
    DWORD process_id = 0;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
    WindowSearch& search = *reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search.process_id) search.windows.push_back(window);
    return TRUE;
}

// What taskkill without /F does: WM_CLOSE to every top-level window of the process. The child
// makes its window on a thread of its own, so the search is repeated until one shows up.
int PostCloseToWindows(DWORD process_id, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    WindowSearch search;
    search.process_id = process_id;
    for (;;) {
        EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
        if (!search.windows.empty() || GetTickCount64() >= deadline) break;
        ::Sleep(20);
    }
    int posted = 0;
    for (HWND window : search.windows) {
        if (PostMessageW(window, WM_CLOSE, 0, 0)) ++posted;
    }
    return posted;
}

DWORD WINAPI ScriptThread(void* param) {
    Session& s = *static_cast<Session*>(param);
    for (const Step& step : *s.script) {
        switch (step.kind) {
            case Step::Kind::kWrite: {
                WriteRecord record{MsSince(s.start), step.bytes, false};
                if (step.bytes.empty()) {
                    // A zero-byte write can read as end of file on the other side.
                    record.ok = true;
                } else if (s.stdin_write != nullptr) {
                    DWORD written = 0;
                    record.ok =
                        WriteFile(s.stdin_write, step.bytes.data(),
                                  static_cast<DWORD>(step.bytes.size()), &written, nullptr) &&
                        written == step.bytes.size();
                }
                s.writes.push_back(std::move(record));
                break;
            }
            case Step::Kind::kPause:
                ::Sleep(step.ms);
                break;
            case Step::Kind::kWaitOutput: {
                std::unique_lock lock(s.mutex);
                bool seen = s.output_changed.wait_for(
                    lock, std::chrono::milliseconds(step.ms), [&s, &step] {
                        return s.output.find(step.bytes) != std::string::npos || s.output_closed;
                    });
                if (!seen || s.output.find(step.bytes) == std::string::npos) {
                    s.wait_output_failed = true;
                }
                break;
            }
            case Step::Kind::kSampleCpu: {
                CpuSample sample;
                sample.wall_ms = MsSince(s.start);
                sample.ok = ChildCpuMs(s.process, s.process_id, sample.cpu_ms);
                s.cpu.push_back(sample);
                break;
            }
            case Step::Kind::kCloseStdin:
                CloseStdin(s);
                break;
            case Step::Kind::kCtrlBreak:
                s.ctrl_break_sent =
                    GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, s.process_id) != FALSE;
                break;
            case Step::Kind::kEndSession:
                s.end_session_ran = RunAndWait(L"wineboot.exe --end-session", step.ms);
                break;
            case Step::Kind::kPostClose:
                s.close_posts = PostCloseToWindows(s.process_id, step.ms);
                break;
            case Step::Kind::kStopReading:
            case Step::Kind::kResumeReading:
                s.reading_changes_ms.push_back(MsSince(s.start));
                if (step.kind == Step::Kind::kStopReading) {
                    ResetEvent(s.reading_allowed);
                } else {
                    SetEvent(s.reading_allowed);
                }
                break;
        }
    }
    return 0;
}

LRESULT CALLBACK KeyboardHook(int code, WPARAM wparam, LPARAM lparam) {
    if (code == HC_ACTION && g_capture != nullptr) {
        const auto* info = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lparam);
        KeyEvent event{MsSince(g_capture->start), info->vkCode, info->scanCode, info->flags,
                       wparam};
        std::lock_guard lock(g_capture->mutex);
        g_capture->keys.push_back(event);
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

LRESULT CALLBACK MouseHook(int code, WPARAM wparam, LPARAM lparam) {
    if (code == HC_ACTION && g_capture != nullptr) {
        const auto* info = reinterpret_cast<const MSLLHOOKSTRUCT*>(lparam);
        MouseEvent event{MsSince(g_capture->start), wparam, info->mouseData, info->flags, info->pt};
        std::lock_guard lock(g_capture->mutex);
        g_capture->mice.push_back(event);
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

// Low-level hooks are called on the installing thread, which must pump messages.
DWORD WINAPI HookThread(void* param) {
    Session& s = *static_cast<Session*>(param);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // make sure the thread has a queue
    HINSTANCE self = GetModuleHandleW(nullptr);
    HHOOK keyboard = SetWindowsHookExW(WH_KEYBOARD_LL, KeyboardHook, self, 0);
    HHOOK mouse = SetWindowsHookExW(WH_MOUSE_LL, MouseHook, self, 0);
    s.hooks_ok = keyboard != nullptr && mouse != nullptr;
    SetEvent(s.hooks_ready);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (keyboard != nullptr) UnhookWindowsHookEx(keyboard);
    if (mouse != nullptr) UnhookWindowsHookEx(mouse);
    return 0;
}

// A named pipe in message mode: our end writes messages, the child's end (inheritable) reads
// them as messages, the read mode being a property of the handle it inherits.
bool MessagePipe(HANDLE* read_end, HANDLE* write_end, SECURITY_ATTRIBUTES* inheritable) {
    const std::wstring name = L"\\\\.\\pipe\\padbridge-e2e-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount64());
    *write_end = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND,
                                  PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 1 << 20,
                                  1 << 20, 0, nullptr);
    if (*write_end == INVALID_HANDLE_VALUE) return false;
    *read_end = CreateFileW(name.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, inheritable,
                            OPEN_EXISTING, 0, nullptr);
    DWORD mode = PIPE_READMODE_MESSAGE;
    return *read_end != INVALID_HANDLE_VALUE &&
           SetNamedPipeHandleState(*read_end, &mode, nullptr, nullptr) != FALSE;
}

}  // namespace

Step Write(std::string bytes) {
    return {Step::Kind::kWrite, std::move(bytes), 0};
}
Step Pause(DWORD ms) {
    return {Step::Kind::kPause, {}, ms};
}
Step WaitOutput(std::string text, DWORD timeout_ms) {
    return {Step::Kind::kWaitOutput, std::move(text), timeout_ms};
}
Step SampleCpu() {
    return {Step::Kind::kSampleCpu, {}, 0};
}
Step CloseStdin() {
    return {Step::Kind::kCloseStdin, {}, 0};
}

Step CtrlBreak() {
    return {Step::Kind::kCtrlBreak, {}, 0};
}
Step StopReading() {
    return {Step::Kind::kStopReading, {}, 0};
}
Step ResumeReading() {
    return {Step::Kind::kResumeReading, {}, 0};
}

Step EndSession(DWORD timeout_ms) {
    return {Step::Kind::kEndSession, {}, timeout_ms};
}
Step PostClose(DWORD timeout_ms) {
    return {Step::Kind::kPostClose, {}, timeout_ms};
}

SessionOptions Options(std::wstring program, std::vector<std::wstring> args) {
    SessionOptions options;
    options.program = std::move(program);
    options.args = std::move(args);
    return options;
}

SessionResult RunSession(const SessionOptions& options, const std::vector<Step>& script) {
    SessionResult result;
    Session s;
    s.script = &script;
    s.reading_allowed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    QueryPerformanceCounter(&s.start);

    HANDLE hook_thread = nullptr;
    DWORD hook_thread_id = 0;
    if (options.capture_input) {
        g_capture = &s;
        s.hooks_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        hook_thread = CreateThread(nullptr, 0, HookThread, &s, 0, &hook_thread_id);
        if (hook_thread != nullptr) WaitForSingleObject(s.hooks_ready, INFINITE);
        result.capture_ok = hook_thread != nullptr && s.hooks_ok;
    }

    // The child's ends are inheritable; ours are not, so the child never holds them and
    // closing our stdin end really ends its input.
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE child_stdin = nullptr;
    HANDLE child_stdout = nullptr;
    HANDLE child_stderr = nullptr;
    bool pipes =
        (options.message_mode_stdin ? MessagePipe(&child_stdin, &s.stdin_write, &inheritable)
                                    : CreatePipe(&child_stdin, &s.stdin_write, &inheritable, 0)) &&
        CreatePipe(&s.stdout_read, &child_stdout, &inheritable, options.stdout_pipe_bytes) &&
        SetHandleInformation(s.stdin_write, HANDLE_FLAG_INHERIT, 0) &&
        SetHandleInformation(s.stdout_read, HANDLE_FLAG_INHERIT, 0);
    HANDLE our_stderr = GetStdHandle(STD_ERROR_HANDLE);
    if (our_stderr != nullptr && our_stderr != INVALID_HANDLE_VALUE) {
        // The child's stderr goes to ours, so a crash report shows up in the test log.
        if (!DuplicateHandle(GetCurrentProcess(), our_stderr, GetCurrentProcess(), &child_stderr, 0,
                             TRUE, DUPLICATE_SAME_ACCESS)) {
            child_stderr = nullptr;
        }
    }

    PROCESS_INFORMATION pi{};
    if (pipes) {
        std::wstring cmd;
        AppendQuoted(cmd, options.program);
        for (const auto& arg : options.args) {
            cmd += L' ';
            AppendQuoted(cmd, arg);
        }
        std::vector<wchar_t> cmd_buffer(cmd.begin(), cmd.end());
        cmd_buffer.push_back(L'\0');
        std::vector<wchar_t> env = EnvironmentBlock(options.env);

        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = child_stdin;
        si.hStdOutput = child_stdout;
        si.hStdError = child_stderr;
        result.started =
            CreateProcessW(options.program.c_str(), cmd_buffer.data(), nullptr, nullptr, TRUE,
                           CREATE_UNICODE_ENVIRONMENT |
                               (options.new_process_group ? CREATE_NEW_PROCESS_GROUP : 0),
                           env.data(), nullptr, &si, &pi) != FALSE;
        if (!result.started) result.start_error = GetLastError();
    } else {
        result.start_error = GetLastError();
    }
    // Only the child may hold its ends now; otherwise our own copy of the stdout write end
    // would keep the reader from ever seeing the end of the output.
    for (HANDLE h : {child_stdin, child_stdout, child_stderr}) {
        if (h != nullptr) CloseHandle(h);
    }

    if (result.started) {
        s.process = pi.hProcess;
        s.process_id = pi.dwProcessId;
        HANDLE reader = CreateThread(nullptr, 0, ReaderThread, &s, 0, nullptr);
        HANDLE runner = CreateThread(nullptr, 0, ScriptThread, &s, 0, nullptr);
        if (runner != nullptr &&
            WaitForSingleObject(runner, options.script_timeout_ms) == WAIT_TIMEOUT) {
            // Most likely a write blocked in a child that no longer reads; killing the
            // child breaks the pipe and lets the write fail.
            result.script_timed_out = true;
            TerminateProcess(pi.hProcess, 0xDEAD);
            WaitForSingleObject(runner, INFINITE);
        }
        if (runner != nullptr) CloseHandle(runner);
        if (options.close_stdin_at_end) CloseStdin(s);

        if (WaitForSingleObject(pi.hProcess, options.exit_timeout_ms) == WAIT_TIMEOUT) {
            result.timed_out = true;
            TerminateProcess(pi.hProcess, 0xDEAD);
            WaitForSingleObject(pi.hProcess, INFINITE);
        }
        GetExitCodeProcess(pi.hProcess, &result.exit_code);
        CloseStdin(s);
        SetEvent(s.reading_allowed);  // whatever the script left, the reader sees the end

        if (reader != nullptr) {
            // The pipe breaks once the child is gone; a stuck read is cancelled.
            if (WaitForSingleObject(reader, 5000) == WAIT_TIMEOUT) {
                CancelSynchronousIo(reader);
                WaitForSingleObject(reader, INFINITE);
            }
            CloseHandle(reader);
        }
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseStdin(s);
    if (s.stdout_read != nullptr) CloseHandle(s.stdout_read);

    if (hook_thread != nullptr) {
        PostThreadMessageW(hook_thread_id, WM_QUIT, 0, 0);
        WaitForSingleObject(hook_thread, INFINITE);
        CloseHandle(hook_thread);
    }
    if (s.hooks_ready != nullptr) CloseHandle(s.hooks_ready);
    g_capture = nullptr;

    result.output = std::move(s.output);
    result.chunks = std::move(s.chunks);
    result.writes = std::move(s.writes);
    result.reading_changes_ms = std::move(s.reading_changes_ms);
    if (s.reading_allowed != nullptr) CloseHandle(s.reading_allowed);
    result.cpu = std::move(s.cpu);
    result.wait_output_failed = s.wait_output_failed;
    result.ctrl_break_sent = s.ctrl_break_sent;
    result.end_session_ran = s.end_session_ran;
    result.close_posts = s.close_posts;
    result.keys = std::move(s.keys);
    result.mice = std::move(s.mice);
    return result;
}

Lines SplitLines(const std::string& output) {
    Lines out;
    size_t begin = 0;
    for (size_t lf = output.find('\n'); lf != std::string::npos;
         begin = lf + 1, lf = output.find('\n', begin)) {
        size_t end = lf;
        if (end > begin && output[end - 1] == '\r') {
            --end;
        } else {
            out.all_crlf = false;
        }
        out.lines.push_back(output.substr(begin, end - begin));
    }
    out.rest = output.substr(begin);
    if (!out.rest.empty()) out.all_crlf = false;
    return out;
}

std::wstring WindowsPathFromUnix(const std::string& path) {
    std::wstring out;
    if (!path.empty() && path[0] == '/') out = L"Z:";
    for (char c : path)
        out += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return out;
}

std::wstring PadbridgePath() {
    if (const wchar_t* env = _wgetenv(L"PADBRIDGE_EXE"); env != nullptr && *env != L'\0') {
        return env;
    }
    return WindowsPathFromUnix(E2E_PADBRIDGE_UNIX_PATH);
}

std::string Visible(const std::string& bytes) {
    std::string out;
    for (char c : bytes) {
        auto u = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (u < 0x20 || u >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace e2e
