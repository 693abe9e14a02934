// Process life: command line, start-up, the main loop and shutdown.
#include "app/bridge.h"

#include <cstdint>

#include "deadline.h"
#include "os/os.h"
#include "protocol/output.h"

namespace padbridge {
namespace {

constexpr uint32_t kReadChunkBytes = 2048;
constexpr uint32_t kLoadLibrarySearchSystem32 = 0x800;
constexpr uint32_t kLongestWaitMs = 0xFFFFFFFE;  // kInfinite is one more
// How long shutdown waits, once every pad's lines are out, for the driver to let go of cancelled
// requests before it leaves them to the process's end.
constexpr uint64_t kShutdownDrainMs = 1000;

// The loop's one wait: the stop event, the input's event, the writer's room event, each pad's
// requests and the detached requests the driver still holds. Whoever adds an event to it raises
// this count, which must stay within what the system can wait on.
constexpr uint32_t kWaitSlots = 3 + kEventsPerPad * kPlayerCount + kDetachedRequestCount;
static_assert(kWaitSlots <= os::kMaxWaitObjects);

bool ArgumentIs(const os::WideChar* argument, const char* expected) {
    for (; *expected != '\0'; ++argument, ++expected) {
        if (*argument != static_cast<os::WideChar>(*expected)) return false;
    }
    return *argument == 0;
}

void DispatchFromFeed(void* context, const char* line) {
    DispatchLine(*static_cast<Bridge*>(context), line);
}

void RunTimers(Bridge& bridge, uint64_t now) {
    RunHeartbeatWatchdog(bridge.system, now);
    CollectDetachedRequests(bridge.bus.detached);
    for (int player = 0; player < kPlayerCount; ++player) {
        if (CheckIdlePlayer(bridge.players, bridge.bus, bridge.vjoy, bridge.output, player, now))
            continue;
        PumpPlayerPad(bridge.players, bridge.bus, bridge.output, player);
    }
}

// The earliest tick at which RunTimers has something to do when nothing else arrives.
uint64_t NextDeadline(const Bridge& bridge, uint64_t now) {
    uint64_t next = NextHeartbeatDeadline(bridge.system);
    for (int player = 0; player < kPlayerCount; ++player) {
        next = EarlierOf(next, NextIdleDeadline(bridge.players, player));
        if (BusIsBackend(bridge.bus))
            next = EarlierOf(next, NextPadDeadline(bridge.bus, player, now));
    }
    return next;
}

uint32_t WaitTimeout(uint64_t deadline, uint64_t now) {
    if (deadline == kNoDeadline) return os::kInfinite;
    if (deadline <= now) return 0;
    return deadline - now < kLongestWaitMs ? static_cast<uint32_t>(deadline - now) : kLongestWaitMs;
}

// Adds the event of every request the bus driver holds: the pads' and the detached requests'.
uint32_t AddDriverEvents(const Bridge& bridge, uint64_t now, os::Handle* handles) {
    uint32_t count = 0;
    if (BusIsBackend(bridge.bus)) {
        for (int player = 0; player < kPlayerCount; ++player)
            count += static_cast<uint32_t>(AddPadEvents(bridge.bus, player, now, handles + count));
    }
    count += static_cast<uint32_t>(AddDetachedRequestEvents(bridge.bus.detached, handles + count));
    return count;
}

// Sleeps until something can happen: a console control event, input, the completion of a driver
// request, or the earliest timer. With nothing live it waits for input alone, however long.
// False when the loop must end.
bool WaitForWork(const Bridge& bridge, os::Handle stopRequested, os::Handle inputReady) {
    const uint64_t now = os::GetTickCount64();
    os::Handle handles[kWaitSlots];
    uint32_t count = 0;
    if (stopRequested != os::kNullHandle) handles[count++] = stopRequested;
    const uint32_t inputIndex = count;
    handles[count++] = inputReady;
    const os::Handle outputRoom = OutputRoomEvent(bridge.output);  // while lines wait for room
    if (outputRoom != os::kNullHandle) handles[count++] = outputRoom;
    count += AddDriverEvents(bridge, now, handles + count);
    const uint32_t timeout = WaitTimeout(NextDeadline(bridge, now), now);
    const uint32_t result = os::WaitForMultipleObjects(count, handles, timeout);
    if (result == os::kWaitFailed) return false;
    return result == os::kWaitTimeout || result >= os::kWaitObject0 + inputIndex;
}

void PumpPads(Bridge& bridge) {
    for (int player = 0; player < kPlayerCount; ++player)
        PumpPlayerPad(bridge.players, bridge.bus, bridge.output, player);
}

// Takes and dispatches every byte that waits now, in chunks, and returns how many it took. Only
// what had arrived by the call is taken, so a host that floods cannot hold the timers back.
// Between chunks the pads are pumped, as they always were after each chunk, so a burst's lines
// and the pads' lines reach the host in the order they always did; lapses wait for the end.
// Sets *ended once the input has ended and everything before the end has been taken.
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

// Runs until the input ends or the stop event asks to stop. Each pass: wait for work, take one
// tick sample, dispatch every line that had arrived by then, then run the timers on that sample.
// A handler may take long and more lines may arrive meanwhile; judging with the tick from before
// the dispatch means no lapse is ever judged while a line that arrived in time sits unread.
// Those later lines wait for the next pass, which comes at once.
void RunMainLoop(Bridge& bridge) {
    const os::Handle inputReady = os::StartInputReader();
    if (inputReady == os::kNullHandle) return;
    const os::Handle stopRequested = os::WatchStopRequests();
    char chunk[kReadChunkBytes];
    while (WaitForWork(bridge, stopRequested, inputReady)) {
        PumpOutput(bridge.output);
        const uint64_t now = os::GetTickCount64();
        bool ended = false;
        if (DispatchWaitingInput(bridge, chunk, &ended) == 0 && ended) return;
        RunTimers(bridge, now);
    }
}

// Drives the teardowns that shutdown started until every pad's lines are out (each request is
// bounded by its time-out), then gives cancelled requests, a version check's among them, a
// bounded while to be let go of.
void FinishPads(Bridge& bridge) {
    uint64_t drainUntil = kNoDeadline;
    for (;;) {
        PumpPads(bridge);
        CollectDetachedRequests(bridge.bus.detached);
        if (!BusHeld(bridge.bus)) return;
        const uint64_t now = os::GetTickCount64();
        uint64_t next = kNoDeadline;
        bool linesPending = false;
        for (int player = 0; player < kPlayerCount; ++player)
            linesPending = linesPending || PadOwesLines(bridge.bus, player);
        if (linesPending) {
            for (int player = 0; player < kPlayerCount; ++player)
                next = EarlierOf(next, NextPadDeadline(bridge.bus, player, now));
        } else {
            if (drainUntil == kNoDeadline) drainUntil = now + kShutdownDrainMs;
            if (now >= drainUntil) return;
            next = drainUntil;
        }
        os::Handle handles[kWaitSlots];
        const uint32_t count = AddDriverEvents(bridge, now, handles);
        if (count == 0) return;
        if (os::WaitForMultipleObjects(count, handles, WaitTimeout(next, now)) == os::kWaitFailed)
            return;
    }
}

void Shutdown(Bridge& bridge) {
    ReleaseAll(bridge.system);
    for (int player = 0; player < kPlayerCount; ++player)
        TeardownPlayer(bridge.players, bridge.bus, bridge.vjoy, bridge.output, player);
    FinishPads(bridge);
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
    ProbeBackend(bridge.players, bridge.bus, bridge.vjoy, bridge.output, bridge.system.enabled,
                 WatchdogHook(bridge.system));

    RunMainLoop(bridge);
    Shutdown(bridge);
    // A host that no longer reads cannot hold the end.
    FinishOutput(bridge.output, kShutdownFlushMs);
    os::FinishShutdown();
    return 0;
}

}  // namespace padbridge
