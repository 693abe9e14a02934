// A deterministic simulated machine behind the seam, for tests.
//
// A test resets the machine, scripts what the host sends and when, configures the drivers, runs
// the bridge, and then reads the exact output bytes and the recorded effects. Time is virtual: it
// moves only when the bridge waits, straight to the next thing that can happen, so a session of
// minutes runs in milliseconds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/os.h"
#include "os/sim/bus.h"
#include "os/sim/input_sink.h"
#include "os/sim/vjoy_library.h"

namespace sim {

// GetTickCount64 at the start of every session; never 0, which the bridge reads as "not set".
constexpr uint64_t kStartTick = 5'000'000;

// How the clock moves. kFine: every millisecond shows, and a wait lasts exactly its time-out.
// kCoarse: as a real Windows clock does, GetTickCount64 moves only at the clock interrupt (every
// 15.625 ms by default, so in steps of 15 or 16 ms) and a wait's time-out ends only at an
// interrupt, so a wait of 1 ms can last a whole step. Events (input, a driver's completion) still
// wake a waiter at once; the tick it then reads is the last interrupt's.
enum class ClockMode { kFine, kCoarse };
constexpr uint32_t kDefaultClockPeriodUs = 15'625;

struct Delivery {
    uint64_t at;            // milliseconds after the start
    std::size_t endOffset;  // input bytes up to here are in the pipe from `at` on
};

struct HostPipe {
    std::string bytes;  // everything the host will write, in order
    std::vector<Delivery> deliveries;
    std::size_t consumed = 0;
    uint64_t closeAt = 0;         // the host closes its end at this time...
    bool closeScheduled = false;  // ...once scheduled; a session must schedule it
    bool readerStarted = false;
    bool readerFails = false;  // StartInputReader cannot start
    uint32_t largestTake = 0;
};

// The console control events, with their Win32 numbers.
enum class ConsoleEvent : uint32_t {
    kCtrlC = 0,
    kCtrlBreak = 1,
    kClose = 2,
    kLogoff = 5,
    kShutdown = 6
};

// Asking the bridge to stop from outside its pipe. Ctrl+C, Ctrl+Break and closing the console
// reach its console control handler. Log-off and shutdown do not: Windows sends those console
// events only to processes that have not loaded user32, and the bridge loads it for SendInput.
// They reach it as WM_QUERYENDSESSION and WM_ENDSESSION sent to its hidden top-level window, if
// it has one. The first request that reaches the bridge signals its stop event.
struct ConsoleControl {
    bool scheduled = false;  // a console control event that reaches the handler...
    uint64_t at = 0;         // ...at this time after the start
    ConsoleEvent event = ConsoleEvent::kCtrlC;
    uint32_t undelivered = 0;   // log-off and shutdown console events, which Windows withholds
    bool sessionEnds = false;   // the Windows session ends (log-off or shutdown)...
    uint64_t sessionEndAt = 0;  // ...with WM_QUERYENDSESSION and WM_ENDSESSION at this time
    bool windowFails = false;   // the hidden window cannot be made (no graphics driver)
    bool watched = false;       // WatchStopRequests was called: the handler and the window
    bool shutdownFinished = false;
    uint64_t finishedAtMs = 0;       // when FinishShutdown came, after the start
    std::size_t outputAtFinish = 0;  // output bytes written when FinishShutdown came
};

// The time a console handler or the window may hold the session before Windows ends the process
// whatever it does; the bridge's shutdown must finish well within it.
constexpr uint64_t kEndOfSessionLimitMs = 5000;

constexpr uint64_t kNever = UINT64_MAX;

// A time in which the host does not read its end of standard output: [fromMs, untilMs) after
// the start, until kNever for a host that never reads again.
struct ReadPause {
    uint64_t fromMs;
    uint64_t untilMs;
};

// A time after the start as a machine time (kNever stays kNever).
uint64_t MachineTime(uint64_t ms);
// The pause of `pauses` that holds the machine time `tick`, or null.
const ReadPause* PauseAt(const std::vector<ReadPause>& pauses, uint64_t tick);

// Standard output as Windows has it: the writer thread's buffer of bytes it has taken, its one
// WriteFile in progress, and the pipe's own buffer. The host reads whatever is in the pipe at
// once, or a line at a time at its own pace, except during its pauses; a WriteFile blocks once
// the pipe's buffer is full.
struct OutputPipe {
    std::size_t pipeBytes = 4096;  // CreatePipe's buffer size
    std::size_t writerBytes = os::kOutputWriterBytes;
    std::vector<ReadPause> pauses;  // in time order, not overlapping
    // 0: the host reads everything at once. Otherwise it takes one line at a time, the next no
    // sooner than this many milliseconds after the last (a host busy with each line it reads).
    uint64_t readLineEveryMs = 0;
    uint64_t nextLineAt = 0;   // machine tick from which such a host takes its next line
    bool writerFails = false;  // StartOutputWriter cannot start its thread
    bool writerStarted = false;
    std::string pending;         // taken by the writer, not yet being written
    std::string writing;         // what its WriteFile in progress has not yet put in the pipe
    std::string inPipe;          // in the pipe's buffer, not yet read
    bool roomWanted = false;     // an offer was refused...
    bool roomSignalled = false;  // ...and the writer has since taken what waited
    uint32_t refusals = 0;
    uint64_t settledAt = 0;  // machine tick up to which the above is brought
};

// The trace's destination as Windows has it: the writer thread's buffer of bytes it has taken
// (at most kTraceWriterBytes), its one WriteFile in progress, and the file or standard error,
// which takes every write at once except while it stalls (a full disk's retries, a console in
// QuickEdit selection, a reader of standard error that stopped reading). The thread takes what
// waits as soon as its last write is done, so during a stall the writer holds its write in
// progress and a full buffer besides, and refuses the rest.
struct TraceWriter {
    uint32_t openError = 0;         // not 0: OpenTrace fails with this error (3: path not found)
    bool writerFails = false;       // the writer's thread cannot start (OpenTrace fails with 8)
    std::vector<ReadPause> stalls;  // in time order, not overlapping; untilMs kNever: for good
    bool opened = false;
    bool toStandardError = false;
    std::u16string path;
    std::string pending;  // taken by the writer, not yet being written
    std::string writing;  // its WriteFile in progress
    uint32_t refusals = 0;
};

// One call of WaitForMultipleObjects by the loop.
struct Wait {
    uint64_t atMs;  // when it was made, after the start
    uint32_t handleCount;
    uint32_t timeoutMs;
    uint32_t result;
    uint64_t wokeAtMs;
};

struct Machine {
    uint64_t now = kStartTick;  // the true time, in milliseconds; GetTickCount64 may lag it
    ClockMode clockMode = ClockMode::kFine;
    uint32_t clockPeriodUs = kDefaultClockPeriodUs;  // kCoarse: time between clock interrupts
    uint32_t lastError = 0;
    uint32_t defaultDllDirectories = 0;  // flags of the last SetDefaultDllDirectories
    bool streamsPrepared = false;
    HostPipe pipe;
    ConsoleControl console;
    std::vector<Wait> waits;
    std::string output;         // exactly the bytes the host has read from standard output
    std::string handed;         // every byte the bridge handed to standard output, read or not
    uint32_t outputWrites = 0;  // pieces handed to standard output (one per line)
    OutputPipe outputPipe;
    TraceWriter traceWriter;
    std::string trace;          // the trace file's bytes, as written
    std::string standardError;  // every byte written to standard error (messages; the trace at -)
    std::vector<std::pair<std::u16string, std::u16string>> environment;
    Bus bus;
    VjoyLibrary vjoy;
    InputSink input;
};

// The performance counter's rate: it shows the true time, whatever the clock mode.
constexpr int64_t kPerformanceFrequency = 10'000'000;

// The current machine; Reset gives a fresh one.
Machine& Current();
void Reset();

// Forgets what the models recorded for tests (requests, opens, library calls, injected events,
// faults, waits) and keeps only what they need to go on: for a program that runs them for hours.
void ForgetRecords();

// Milliseconds since the session started, on the virtual clock (the true time, not the tick).
uint64_t Elapsed();

// Chooses how the clock moves from now on; Reset goes back to kFine.
void SetClockMode(ClockMode mode);

// For the simulated calls: what GetTickCount64 reads now, and the true time at which a time-out
// of `milliseconds` begun now expires.
uint64_t TickNow(const Machine& m);
// What GetTickCount64 read at the true time `at` (a machine time, kStartTick based).
uint64_t TickAt(const Machine& m, uint64_t at);
// Whether `handle` is the stop event that WatchStopRequests gave out.
bool IsStopRequestedEvent(os::Handle handle);
uint64_t TimeoutEnd(const Machine& m, uint32_t milliseconds);

// The host writes `bytes` at `atMs` after the start (deliveries must come in time order).
void Send(uint64_t atMs, std::string_view bytes);
// The host writes `line` plus a line feed.
void SendLine(uint64_t atMs, std::string_view line);
// The host closes its end of the pipe at `atMs`; the bridge sees it once the pipe is drained.
void CloseInput(uint64_t atMs);
// The user sends a console control event at `atMs` (see ConsoleControl for which reach it).
void SendConsoleControl(uint64_t atMs, ConsoleEvent event = ConsoleEvent::kCtrlC);
// The user logs off, or the machine shuts down, at `atMs`: the window messages of a session end.
void EndSession(uint64_t atMs);
// When the stop event is signalled, if anything signals it.
std::optional<uint64_t> StopRequestTime(const Machine& m);

// The host stops reading its end of standard output at `fromMs` and reads again at `untilMs`
// (kNever: never again). It reads everything waiting the moment it reads again, or its next line
// when it reads one at a time (`OutputPipe::readLineEveryMs`).
void StopReading(uint64_t fromMs, uint64_t untilMs = kNever);

// The trace's writer stalls from `fromMs` until `untilMs` (kNever: for good): nothing it takes
// reaches the file meanwhile.
void StallTrace(uint64_t fromMs, uint64_t untilMs = kNever);

// For the loop's wait: the writer's room event, and when it is signalled (none: never).
bool IsOutputRoomEvent(os::Handle event);
std::optional<uint64_t> OutputRoomSignalTime();

void SetEnvironment(std::u16string_view name, std::u16string_view value);

// The output split into lines; each line must end in CR LF, which is removed. A trailing piece
// without CR LF is returned as is, so a test comparing lines also sees a broken ending.
std::vector<std::string> OutputLines();

}  // namespace sim
