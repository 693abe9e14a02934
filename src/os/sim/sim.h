// A deterministic simulated machine behind the seam, for tests.
//
// A test resets the machine, scripts what the host sends and when, configures the drivers, runs
// the bridge, and then reads the exact output bytes and the recorded effects. Time is virtual: it
// moves only when the bridge waits, straight to the next thing that can happen, so a session of
// minutes runs in milliseconds.
#pragma once

#include <cstdint>
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

// A console control event (Ctrl+C, Ctrl+Break, console closed, log-off, shutdown).
struct ConsoleControl {
    bool scheduled = false;
    uint64_t at = 0;  // milliseconds after the start
    bool watched = false;
    bool shutdownFinished = false;
    std::size_t outputAtFinish = 0;  // output bytes written when FinishShutdown came
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
    std::string output;  // exactly the bytes written to standard output
    uint32_t outputWrites = 0;
    std::vector<std::pair<std::u16string, std::u16string>> environment;
    Bus bus;
    VjoyLibrary vjoy;
    InputSink input;
};

// The current machine; Reset gives a fresh one.
Machine& Current();
void Reset();

// Milliseconds since the session started, on the virtual clock (the true time, not the tick).
uint64_t Elapsed();

// Chooses how the clock moves from now on; Reset goes back to kFine.
void SetClockMode(ClockMode mode);

// For the simulated calls: what GetTickCount64 reads now, and the true time at which a time-out
// of `milliseconds` begun now expires.
uint64_t TickNow(const Machine& m);
uint64_t TimeoutEnd(const Machine& m, uint32_t milliseconds);

// The host writes `bytes` at `atMs` after the start (deliveries must come in time order).
void Send(uint64_t atMs, std::string_view bytes);
// The host writes `line` plus a line feed.
void SendLine(uint64_t atMs, std::string_view line);
// The host closes its end of the pipe at `atMs`; the bridge sees it once the pipe is drained.
void CloseInput(uint64_t atMs);
// A console control event reaches the bridge at `atMs`.
void SendConsoleControl(uint64_t atMs);

void SetEnvironment(std::u16string_view name, std::u16string_view value);

// The output split into lines; each line must end in CR LF, which is removed. A trailing piece
// without CR LF is returned as is, so a test comparing lines also sees a broken ending.
std::vector<std::string> OutputLines();

}  // namespace sim
