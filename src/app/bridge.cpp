// Process life: command line, start-up, the polling main loop and shutdown.
#include "bridge.h"

#include <cstdint>

#include "os/os.h"

namespace padbridge {
namespace {

constexpr uint32_t kReadChunkBytes = 2048;
constexpr uint32_t kIdleSleepMs = 5;
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

void RunTimers(Bridge& bridge, uint64_t now) {
    RunHeartbeatWatchdog(bridge.system, now);
    for (int player = 0; player < kPlayerCount; ++player) {
        if (CheckIdlePlayer(bridge, player, now)) continue;
        if (bridge.backend.busHandle != os::kInvalidHandle) PumpPad(bridge, player);
    }
}

// Polls the pipe until the host closes it: read what waits (at most one chunk a tick) and
// dispatch its lines, or sleep briefly when nothing waits; then run the timers on one tick sample.
void RunMainLoop(Bridge& bridge, os::Handle input) {
    char chunk[kReadChunkBytes];
    uint32_t available = 0;
    if (!os::PeekNamedPipe(input, &available)) return;
    for (;;) {
        if (available > 0) {
            const uint32_t wanted = available < kReadChunkBytes ? available : kReadChunkBytes;
            uint32_t got = 0;
            if (!os::ReadFile(input, chunk, wanted, &got) || got == 0) return;
            FeedLines(bridge.lines, chunk, got, DispatchFromFeed, &bridge);
        } else {
            os::Sleep(kIdleSleepMs);
        }
        RunTimers(bridge, os::GetTickCount64());
        if (!os::PeekNamedPipe(input, &available)) return;
    }
}

void Shutdown(Bridge& bridge) {
    ReleaseAll(bridge.system);
    for (int player = 0; player < kPlayerCount; ++player) TeardownPlayer(bridge, player);
    CloseBackend(bridge.backend);
}

}  // namespace

int RunBridge(Bridge& bridge, int argc, const os::WideChar* const* argv) {
    if (argc >= 2 && ArgumentIs(argv[1], "--self-test")) return RunSelfTest(kSelfTestVector);

    os::SetDefaultDllDirectories(kLoadLibrarySearchSystem32);
    if (argc >= 3 && ArgumentIs(argv[1], "--vjoy-dll")) bridge.vjoyLibraryPath = argv[2];
    os::PrepareStandardStreams();
    ProbeBackend(bridge, bridge.vjoyLibraryPath);

    RunMainLoop(bridge, os::GetStdInputHandle());
    Shutdown(bridge);
    return 0;
}

}  // namespace padbridge
