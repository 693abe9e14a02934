// Process life: command line, start-up, the main loop and shutdown.
#include "app/bridge.h"

#include <cstdint>
#include <cstdio>

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

void WriteMessage(const char* text) {
    std::size_t length = 0;
    while (text[length] != '\0') ++length;
    os::WriteStandardError(text, length);
}

// Writes UTF-16 `text` to standard error as UTF-8, a piece at a time; a lone surrogate becomes
// U+FFFD.
void WriteWideMessage(const os::WideChar* text) {
    char piece[256];
    std::size_t length = 0;
    for (; *text != 0; ++text) {
        uint32_t unit = *text;
        if (unit >= 0xD800 && unit <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<uint32_t>(text[1]) - 0xDC00);
            ++text;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            unit = 0xFFFD;
        }
        if (length + 4 > sizeof piece) {
            os::WriteStandardError(piece, length);
            length = 0;
        }
        if (unit < 0x80) {
            piece[length++] = static_cast<char>(unit);
        } else if (unit < 0x800) {
            piece[length++] = static_cast<char>(0xC0 | unit >> 6);
            piece[length++] = static_cast<char>(0x80 | (unit & 0x3F));
        } else if (unit < 0x10000) {
            piece[length++] = static_cast<char>(0xE0 | unit >> 12);
            piece[length++] = static_cast<char>(0x80 | (unit >> 6 & 0x3F));
            piece[length++] = static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            piece[length++] = static_cast<char>(0xF0 | unit >> 18);
            piece[length++] = static_cast<char>(0x80 | (unit >> 12 & 0x3F));
            piece[length++] = static_cast<char>(0x80 | (unit >> 6 & 0x3F));
            piece[length++] = static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    os::WriteStandardError(piece, length);
}

// Reads `--vjoy-dll PATH` and `--trace PATH` wherever they stand, and opens the trace. False,
// with its message on standard error, when the trace has no path or cannot be opened: nothing
// else has happened then. A path is whatever argument follows its flag.
bool ReadCommandLine(Bridge& bridge, int argc, const os::WideChar* const* argv) {
    const os::WideChar* tracePath = nullptr;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (ArgumentIs(argv[i], "--vjoy-dll") && hasValue) {
            bridge.vjoy.libraryPath = argv[++i];
        } else if (ArgumentIs(argv[i], "--trace")) {
            if (!hasValue || argv[i + 1][0] == 0) {
                WriteMessage("padbridge: --trace needs a path, or - for standard error\n");
                return false;
            }
            tracePath = argv[++i];
        }
    }
    uint32_t error = 0;
    if (tracePath == nullptr || OpenTrace(bridge.trace, tracePath, &error)) return true;
    char number[16];
    std::snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(error));
    WriteMessage("padbridge: cannot open the trace \"");
    WriteWideMessage(tracePath);
    WriteMessage("\" (error ");
    WriteMessage(number);
    WriteMessage(")\n");
    return false;
}

void PumpPads(Bridge& bridge) {
    for (int player = 0; player < kPlayerCount; ++player)
        PumpPlayerPad(bridge.players, bridge.bus, bridge.output, player);
}

// The loop's own events, and its buffer for the host's bytes.
struct Loop {
    os::Handle inputReady;
    os::Handle stopRequested;
    char chunk[kReadChunkBytes];
};

// One pass over the lines: those that had arrived when it began. Lines that arrive later are
// taken in as soon as the pass looks again, so that a lapse knows of them, but they wait for the
// next pass, so that a host that floods cannot keep the loop from its wait.
struct Pass {
    uint32_t due;       // bytes of this pass still in the reader
    uint64_t lastLine;  // once `due` is 0: the number of lines, ever, that belong to the pass
    uint64_t lookedAt;  // the tick of the last look
    bool tookAny;
    bool handledAny;
};

enum class PassEnd : uint8_t { kDone, kStop };

// Sleeps until something can happen: a request to stop, input, or what an owner waits for (a
// driver request's completion, room in the writer, the earliest deadline). With nothing live it
// waits for input alone, however long. Input is not waited for while the inbox has no room for
// it, nor, once it has ended, while a probe runs (its end stays signalled). False when the loop
// must end.
bool WaitForWork(const Bridge& bridge, const Loop& loop) {
    os::Handle loopEvents[kLoopEventSlots];
    uint32_t count = 0;
    if (loop.stopRequested != os::kNullHandle) loopEvents[count++] = loop.stopRequested;
    const bool endHeld = bridge.inbox.ended && BusDiscoveryRunning(bridge.bus);
    if (!endHeld && InboxRoom(bridge.inbox, bridge.lines) > 0)
        loopEvents[count++] = loop.inputReady;
    const uint32_t result = WaitForOwners(bridge, loopEvents, count);
    if (result == os::kWaitFailed) return false;
    return loop.stopRequested == os::kNullHandle || result != os::kWaitObject0;
}

// Takes up to `limit` bytes (no more than a chunk, and only as many as the inbox has room for)
// into the inbox and returns how many; notes whether the input has ended. Bytes left in the
// reader for want of room keep everything from the tick they were last seen waiting.
uint32_t TakeIntoInbox(Bridge& bridge, char* chunk, uint32_t limit) {
    const uint32_t room = InboxRoom(bridge.inbox, bridge.lines);
    const uint32_t wanted = limit < kReadChunkBytes ? limit : kReadChunkBytes;
    const bool roomLimited = room < wanted;
    os::InputArrival arrivals[os::kMaxTakeArrivals];
    uint32_t arrivalCount = 0;
    bool ended = false;
    const uint32_t got =
        os::TakeInput(chunk, roomLimited ? room : wanted, &ended, arrivals, &arrivalCount);
    if (got > 0)
        FeedLines(bridge.lines, chunk, got, arrivals, arrivalCount, AddToInbox, &bridge.inbox);
    bridge.inbox.ended = ended;
    if (!roomLimited) {
        bridge.inbox.unseenSince = 0;
    } else if (os::InputWaiting() > 0) {
        bridge.inbox.unseenSince = os::GetTickCount64();
    }
    return got;
}

// Takes what is left of the pass's own bytes, a chunk at most.
uint32_t TakeForPass(Bridge& bridge, Loop& loop, Pass& pass) {
    const uint32_t got = TakeIntoInbox(bridge, loop.chunk, pass.due);
    pass.due -= got;
    pass.tookAny |= got > 0;
    if (pass.due == 0) pass.lastLine = bridge.inbox.added;
    return got;
}

// Takes in every byte that has arrived, as far as the inbox has room: the pass's own first.
void TakeEverythingArrived(Bridge& bridge, Loop& loop, Pass& pass) {
    while (pass.due > 0 && TakeForPass(bridge, loop, pass) > 0) {
    }
    if (pass.due > 0) return;
    while (TakeIntoInbox(bridge, loop.chunk, ~uint32_t{0}) > 0) {
    }
}

bool StopRequested(const Loop& loop) {
    return loop.stopRequested != os::kNullHandle &&
           os::WaitForSingleObject(loop.stopRequested, 0) == os::kWaitObject0;
}

// Between two lines, once the clock has moved since the last look (a handler took time): a
// request to stop is heard, every byte that has arrived is taken in, and the owners run on the
// tick of the moment, judging a lapse with the waiting lines in view. False when asked to stop.
bool LookBetweenLines(Bridge& bridge, Loop& loop, Pass& pass) {
    const uint64_t now = os::GetTickCount64();
    if (now == pass.lookedAt) return true;
    pass.lookedAt = now;
    if (StopRequested(loop)) return false;
    TakeEverythingArrived(bridge, loop, pass);
    WakeOwners(bridge, PassStep::kAfterLines, now);
    return true;
}

// Handles, in order, every line that had arrived by the pass's start, taking the host's bytes in
// chunks; the pads are pumped between chunks, so a burst's lines and the pads' lines reach the
// host in the order they are made. A running probe holds the lines after it until its
// capabilities line is out; what arrives meanwhile is only taken in.
PassEnd HandleArrivedLines(Bridge& bridge, Loop& loop, Pass& pass) {
    if (pass.due == 0) TakeForPass(bridge, loop, pass);  // learns whether the input has ended
    bool firstChunk = true;
    for (;;) {
        if (BusDiscoveryRunning(bridge.bus)) {
            TakeEverythingArrived(bridge, loop, pass);
            return PassEnd::kDone;
        }
        const InboxLine* next = FirstWaitingLine(bridge.inbox);
        if (next != nullptr && (pass.due > 0 || bridge.inbox.handled < pass.lastLine)) {
            const InboxLine line = *next;
            HandleLine(bridge, LineText(bridge.inbox, line), line.type, line.player, line.stamp);
            RemoveFirstLine(bridge.inbox);
            pass.handledAny = true;
            if (!LookBetweenLines(bridge, loop, pass)) return PassEnd::kStop;
            continue;
        }
        if (pass.due == 0) return PassEnd::kDone;
        if (!firstChunk) PumpPads(bridge);
        firstChunk = false;
        if (TakeForPass(bridge, loop, pass) == 0) return PassEnd::kDone;
    }
}

// Runs until the input ends or a request to stop comes. Each pass: wait for work, let the owners
// that act on waking do so, take one tick sample, handle the lines that had arrived by then, then
// run the other owners on that sample. Between lines, once a handler has taken time, the loop
// looks again: it hears a request to stop, takes in what has arrived since and runs the owners on
// the tick of that moment, so a lapse is judged on time however far behind the handlers are, and
// never while a line that would have kept it waits.
void RunMainLoop(Bridge& bridge) {
    Loop loop;
    loop.inputReady = os::StartInputReader();
    if (loop.inputReady == os::kNullHandle) return;
    loop.stopRequested = os::WatchStopRequests();
    while (WaitForWork(bridge, loop)) {
        WakeOwners(bridge, PassStep::kOnWaking, os::GetTickCount64());
        const uint64_t now = os::GetTickCount64();
        Pass pass{os::InputWaiting(), 0, now, false, false};
        if (HandleArrivedLines(bridge, loop, pass) == PassEnd::kStop) return;
        const bool probing = BusDiscoveryRunning(bridge.bus);
        const bool nothingLeft = bridge.inbox.ended && FirstWaitingLine(bridge.inbox) == nullptr;
        if (!pass.tookAny && !pass.handledAny && nothingLeft && !probing) return;
        WakeOwners(bridge, PassStep::kAfterLines, now);
    }
}

// A stop gives a running probe up (no capabilities line; its check is left to the detached
// requests) and the lines not yet handled, as it does the bytes still in the pipe.
void Shutdown(Bridge& bridge) {
    AbandonBusDiscovery(bridge.bus);
    ReleaseAll(bridge.system);
    ReportBlocked(bridge.system, bridge.output);
    for (int player = 0; player < kPlayerCount; ++player)
        TeardownPlayer(bridge.players, bridge.bus, bridge.vjoy, bridge.output, player);
    DrainOwners(bridge);
    CloseBus(bridge.bus);
    UnloadVjoy(bridge.vjoy);
}

}  // namespace

void StartProbe(Bridge& bridge) {
    StartProbe(bridge.players, bridge.bus, bridge.vjoy, bridge.output, bridge.system.enabled);
}

int RunBridge(Bridge& bridge, int argc, const os::WideChar* const* argv) {
    if (argc >= 2 && ArgumentIs(argv[1], "--self-test"))
        return RunSelfTest(kSelfTestVector, bridge.output);
    if (argc >= 2 && ArgumentIs(argv[1], "--version")) {  // like --self-test: nothing else runs
        WriteVersion(bridge.output);
        return 0;
    }

    if (!ReadCommandLine(bridge, argc, argv)) return kBadCommandLine;
    os::SetDefaultDllDirectories(kLoadLibrarySearchSystem32);
    os::PrepareStandardStreams();
    bridge.inbox.keepUnknown = bridge.other.handle != nullptr;
    StartOutput(bridge.output);
    StartProbe(bridge);

    RunMainLoop(bridge);
    Shutdown(bridge);
    // A host that no longer reads cannot hold the end.
    FinishOutput(bridge.output, kShutdownFlushMs);
    CloseTrace(kTraceFlushMs);
    os::FinishShutdown();
    return 0;
}

}  // namespace padbridge
