// A small Windows host for padbridge.exe, written the way a real host drives the bridge:
// CreatePipe'd stdin and stdout, CreateProcessW with STARTF_USESTDHANDLES, a reader thread
// that keeps every output byte, and a script of writes, sleeps and a close of stdin.
//
// Optionally it also captures the desktop input stream with low-level keyboard and mouse
// hooks while the session runs, so a test can see what the child injected.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "wire.h"

namespace e2e {

// One step of a session script.
struct Step {
    enum class Kind {
        kWrite,          // one WriteFile of `bytes` to the child's stdin
        kPause,          // Sleep(ms)
        kWaitOutput,     // wait (at most ms) until the output so far contains `bytes`
        kSampleCpu,      // record the child's CPU time (GetProcessTimes) and the wall time
        kCloseStdin,     // close our end of the child's stdin
        kCtrlBreak,      // GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT) to the child's process group
        kStopReading,    // our reader stops reading the child's stdout after its read in progress
        kResumeReading,  // and reads again
        kEndSession,     // Wine only: `wineboot --end-session`, waited for at most ms (a log-off)
        kPostClose,      // WM_CLOSE posted to the child's top-level windows, found within ms
    };
    Kind kind = Kind::kPause;
    std::string bytes;
    DWORD ms = 0;
};

Step Write(std::string bytes);
Step Pause(DWORD ms);
Step WaitOutput(std::string text, DWORD timeout_ms = 10000);
Step SampleCpu();
Step CloseStdin();
Step CtrlBreak();
Step EndSession(DWORD timeout_ms = 20000);
Step PostClose(DWORD timeout_ms = 5000);
Step StopReading();
Step ResumeReading();

struct SessionOptions {
    std::wstring program;            // Windows path of the child
    std::vector<std::wstring> args;  // arguments after the program name
    // Variables added to (or replacing those in) the inherited environment.
    std::vector<std::pair<std::wstring, std::wstring>> env;
    // How long to wait for the child to exit once the script has run; it is killed after.
    DWORD exit_timeout_ms = 20000;
    // Longest the script itself may take (a write into a child that stopped reading blocks).
    DWORD script_timeout_ms = 60000;
    // Close stdin after the last step when the script did not; with false, stdin stays
    // open until the child has exited (or was killed).
    bool close_stdin_at_end = true;
    // Install WH_KEYBOARD_LL and WH_MOUSE_LL hooks for the whole session.
    bool capture_input = false;
    // Start the child in a process group of its own (CREATE_NEW_PROCESS_GROUP), so a Ctrl+Break
    // can be sent to it alone.
    bool new_process_group = false;
    // The child's stdin is a named pipe in message mode, read as messages, instead of an
    // anonymous pipe: each write is one message, and a read shorter than it gets ERROR_MORE_DATA.
    bool message_mode_stdin = false;
    // The buffer size CreatePipe gets for the child's stdout (0: the system's default).
    DWORD stdout_pipe_bytes = 0;
};

// Output bytes as they arrived: one entry per successful ReadFile.
struct Chunk {
    double ms = 0;  // since the session started
    std::string bytes;
};

// One WriteFile to the child's stdin.
struct WriteRecord {
    double ms = 0;
    std::string bytes;
    bool ok = false;
};

struct CpuSample {
    double wall_ms = 0;  // since the session started
    double cpu_ms = 0;   // kernel + user time of the child
    bool ok = false;
};

struct KeyEvent {
    double ms = 0;
    DWORD vk = 0;
    DWORD scan = 0;
    DWORD flags = 0;  // LLKHF_*: 0x10 injected, 0x80 key up
    WPARAM message = 0;
};

struct MouseEvent {
    double ms = 0;
    WPARAM message = 0;  // WM_MOUSEMOVE, WM_MOUSEWHEEL, WM_LBUTTONDOWN, ...
    DWORD mouse_data = 0;
    DWORD flags = 0;
    POINT pt{};
};

struct SessionResult {
    bool started = false;
    DWORD start_error = 0;  // GetLastError of CreateProcessW when not started
    std::string output;     // exact bytes from the child's stdout
    std::vector<Chunk> chunks;
    std::vector<WriteRecord> writes;
    std::vector<CpuSample> cpu;
    std::vector<double> reading_changes_ms;  // when each kStopReading / kResumeReading ran
    DWORD exit_code = 0;
    bool timed_out = false;           // the child did not exit in time and was killed
    bool script_timed_out = false;    // the script did not finish in time
    bool wait_output_failed = false;  // some kWaitOutput step ran out of time
    bool capture_ok = false;          // hooks were installed (when capture_input was asked)
    bool ctrl_break_sent = false;     // GenerateConsoleCtrlEvent succeeded
    bool end_session_ran = false;     // wineboot --end-session started and finished in time
    int close_posts = 0;              // top-level windows of the child WM_CLOSE was posted to
    std::vector<KeyEvent> keys;
    std::vector<MouseEvent> mice;
};

SessionOptions Options(std::wstring program, std::vector<std::wstring> args = {});

SessionResult RunSession(const SessionOptions& options, const std::vector<Step>& script);

// The output split on LF. `all_crlf` is true when every line ends in CR LF and nothing
// follows the last line feed; `lines` hold the text without the CR LF.
struct Lines {
    std::vector<std::string> lines;
    bool all_crlf = true;
    std::string rest;  // bytes after the last line feed
};
Lines SplitLines(const std::string& output);

// Converts "/work/x/a.exe" to "Z:\work\x\a.exe" (Wine maps the Unix root to Z:); a path
// that already looks like a Windows one is returned with its slashes turned around.
std::wstring WindowsPathFromUnix(const std::string& path);

// padbridge.exe: the PADBRIDGE_EXE environment variable when set, else the build's own.
std::wstring PadbridgePath();

// Text for reading: CR as \r, LF as \n, other control bytes as \xNN.
std::string Visible(const std::string& bytes);

// The capabilities line of a machine with no gamepad driver, before and after a grant, and the
// replies to a grant and a refusal, as the host reads them.
inline const std::string kCapabilities =
    padbridge::test::Crlf(padbridge::test::kNoDriverCapabilities);
inline const std::string kCapabilitiesSystemEnabled = padbridge::test::Crlf(
    padbridge::test::CapabilitiesLine(padbridge::test::kNoDriver, "missing", false, true));
inline const std::string kPermissionTrue = padbridge::test::Crlf(padbridge::test::kGranted);
inline const std::string kPermissionFalse = padbridge::test::Crlf(padbridge::test::kRefused);

// The host's grant and refusal of desktop control, each with its line feed: the same text as the
// replies.
inline const std::string kGrant = padbridge::test::kGranted + "\n";
inline const std::string kRefuse = padbridge::test::kRefused + "\n";

}  // namespace e2e
