// The process-wide state: one plain record made of the records each subsystem owns. The program
// keeps one in static storage for its whole life; every test makes its own. Only app/ sees the
// whole: every other function takes the records it works on, and nothing more.
#pragma once

#include "app/inbox.h"
#include "desktop/system_control.h"
#include "gamepad/players.h"
#include "gamepad/vigem/bus.h"
#include "gamepad/vjoy.h"
#include "os/os.h"
#include "protocol/line_reader.h"
#include "protocol/output_queue.h"
#include "trace/trace.h"

namespace padbridge {

// A taker for the lines of a type the bridge does not know, handled in their turn among the
// others: padbridge-sim's own lines. padbridge.exe has none, and drops such lines as they arrive.
struct OtherLines {
    void (*handle)(void* context, const char* line);
    void* context;
};

struct Bridge {
    LineAssembler lines{};   // the host's bytes cut into lines
    Inbox inbox{};           // the lines that have arrived and wait for their turn
    OutputQueue output{};    // the lines that wait while the host does not read
    BusPads bus{};           // the ViGEmBus backend: its handle, pads and detached requests
    VjoyBackend vjoy{};      // the vJoy backend: its library and devices
    Players players{};       // the players' last input
    SystemControl system{};  // desktop control: permission, heartbeat, what is held down
    Trace trace{};           // --trace: where records are formatted, and how many were lost
    OtherLines other{};      // set before RunBridge by a program with lines of its own
};

// The whole process after the entry point: command line, start-up, main loop, shutdown.
// Returns the exit code: 0, or kBadCommandLine when the trace cannot be opened or has no path.
// `--self-test` and `--version` count only as the first argument; otherwise `--vjoy-dll PATH` and
// `--trace PATH` may come in any order, and every other argument is ignored.
int RunBridge(Bridge& bridge, int argc, const os::WideChar* const* argv);
inline constexpr int kBadCommandLine = 2;
// How long the end waits for the trace's writer, after the output's.
inline constexpr uint32_t kTraceFlushMs = 500;

// Routes one line of the given kind and player to the handler that owns it; `stamp` is the tick
// at which it arrived.
void HandleLine(Bridge& bridge, const char* line, LineType kind, int player, uint64_t stamp);
// Routes one received line to the handler that owns it, as arriving now.
void DispatchLine(Bridge& bridge, const char* line);

// Starts a probe; its capabilities line comes at once or when its version checks are answered.
void StartProbe(Bridge& bridge);

}  // namespace padbridge
