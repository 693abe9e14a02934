// Process life: command line, start-up, the main loop and shutdown.
#include "app/bridge.h"

#include <cstdint>

#include "app/owners.h"
#include "os/os.h"
#include "protocol/output.h"

namespace padbridge {
namespace {

constexpr uint32_t kReadChunkBytes = 2048;
constexpr uint32_t kLoadLibrarySearchSystem32 = 0x800;

bool ArgumentIs(const os::WideChar* argument, const char* expected) {
    for (; *expected != '\0'; ++argument, ++expected) {
        if (*argument != static_cast<os::WideChar>(*expected)) return false;
    }
    return *argument == 0;
}

void DispatchFromFeed(void* context, const char* line) {
    DispatchLine(*static_cast<Bridge*>(context), line);
}

// The watchdog keeps its time while a version check holds the loop's thread.
void Probe(Bridge& bridge) {
    ProbeBackend(bridge.players, bridge.bus, bridge.vjoy, bridge.output, bridge.system.enabled,
                 WatchdogHook(bridge.system));
}

// Sleeps until something can happen: a request to stop, input, or what an owner waits for (a
// driver request's completion, room in the writer, the earliest deadline). With nothing live it
// waits for input alone, however long. False when the loop must end.
bool WaitForWork(const Bridge& bridge, os::Handle stopRequested, os::Handle inputReady) {
    os::Handle loopEvents[kLoopEventSlots];
    uint32_t count = 0;
    if (stopRequested != os::kNullHandle) loopEvents[count++] = stopRequested;
    const uint32_t inputIndex = count;
    loopEvents[count++] = inputReady;
    const uint32_t result = WaitForOwners(bridge, loopEvents, count);
    if (result == os::kWaitFailed) return false;
    return result == os::kWaitTimeout || result >= os::kWaitObject0 + inputIndex;
}

void PumpPads(Bridge& bridge) {
    for (int player = 0; player < kPlayerCount; ++player)
        PumpPlayerPad(bridge.players, bridge.bus, bridge.output, player);
}

// Takes and dispatches every byte that waits now, in chunks, and returns how many it took. Only
// what had arrived by the call is taken, so a host that floods cannot hold the timers back.
// The pads are pumped between chunks, so a burst's lines and the pads' lines reach the host in
// the order they are made; lapses wait for the end. Sets *ended once the input has ended and
// everything before the end has been taken.
uint32_t DispatchWaitingInput(Bridge& bridge, char* chunk, bool* ended) {
    const uint32_t due = os::InputWaiting();
    uint32_t taken = 0;
    for (;;) {
        const uint32_t left = due - taken;
        const uint32_t got =
            os::TakeInput(chunk, left < kReadChunkBytes ? left : kReadChunkBytes, ended);
        if (got == 0) break;
        FeedLines(bridge.lines, chunk, got, DispatchFromFeed, &bridge);
        taken += got;
        if (taken >= due) break;
        PumpPads(bridge);
    }
    return taken;
}

// Runs until the input ends or the stop event asks to stop. Each pass: wait for work, let the
// owners that act on waking do so, take one tick sample, dispatch every line that had arrived by
// then, then run the other owners on that sample. A handler may take long and more lines may
// arrive meanwhile; judging with the tick from before the dispatch means no lapse is ever judged
// while a line that arrived in time sits unread. Those later lines wait for the next pass, which
// comes at once.
void RunMainLoop(Bridge& bridge) {
    const os::Handle inputReady = os::StartInputReader();
    if (inputReady == os::kNullHandle) return;
    const os::Handle stopRequested = os::WatchStopRequests();
    char chunk[kReadChunkBytes];
    while (WaitForWork(bridge, stopRequested, inputReady)) {
        WakeOwners(bridge, PassStep::kOnWaking, os::GetTickCount64());
        const uint64_t now = os::GetTickCount64();
        bool ended = false;
        if (DispatchWaitingInput(bridge, chunk, &ended) == 0 && ended) return;
        WakeOwners(bridge, PassStep::kAfterLines, now);
    }
}

void Shutdown(Bridge& bridge) {
    ReleaseAll(bridge.system);
    ReportBlocked(bridge.system, bridge.output);
    for (int player = 0; player < kPlayerCount; ++player)
        TeardownPlayer(bridge.players, bridge.bus, bridge.vjoy, bridge.output, player);
    DrainOwners(bridge);
    CloseBus(bridge.bus);
    UnloadVjoy(bridge.vjoy);
}

}  // namespace

int RunBridge(Bridge& bridge, int argc, const os::WideChar* const* argv) {
    if (argc >= 2 && ArgumentIs(argv[1], "--self-test"))
        return RunSelfTest(kSelfTestVector, bridge.output);
    if (argc >= 2 && ArgumentIs(argv[1], "--version")) {  // like --self-test: nothing else runs
        WriteVersion(bridge.output);
        return 0;
    }

    os::SetDefaultDllDirectories(kLoadLibrarySearchSystem32);
    if (argc >= 3 && ArgumentIs(argv[1], "--vjoy-dll")) bridge.vjoy.libraryPath = argv[2];
    os::PrepareStandardStreams();
    StartOutput(bridge.output);
    Probe(bridge);

    RunMainLoop(bridge);
    Shutdown(bridge);
    // A host that no longer reads cannot hold the end.
    FinishOutput(bridge.output, kShutdownFlushMs);
    os::FinishShutdown();
    return 0;
}

}  // namespace padbridge
