#include "session.h"

#include <memory>
#include <string>

#include "lines.h"
#include "os/sim/sim.h"
#include "protocol/output.h"

namespace bench {
namespace {

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace

// The loop's path for one take: the lines into the inbox with their stamp, then each handled.
void Feed(padbridge::Bridge& bridge, const char* bytes, std::size_t count) {
    const os::InputArrival arrival{static_cast<uint32_t>(count), os::GetTickCount64()};
    padbridge::FeedLines(bridge.lines, bytes, count, &arrival, 1, padbridge::AddToInbox,
                         &bridge.inbox);
    while (const padbridge::InboxLine* next = padbridge::FirstWaitingLine(bridge.inbox)) {
        const padbridge::InboxLine line = *next;
        padbridge::HandleLine(bridge, padbridge::LineText(bridge.inbox, line), line.type,
                              line.player, line.stamp);
        padbridge::RemoveFirstLine(bridge.inbox);
    }
}

void RunTick(padbridge::Bridge& bridge) {
    const uint64_t now = os::GetTickCount64();
    padbridge::RunHeartbeatWatchdog(bridge.system, now);
    for (int player = 0; player < padbridge::kPlayerCount; ++player) {
        if (padbridge::CheckIdlePlayer(bridge.players, bridge.bus, bridge.vjoy, bridge.output,
                                       player, now))
            continue;
        padbridge::PumpPlayerPad(bridge.players, bridge.bus, bridge.output, player);
    }
}

constexpr std::size_t kRecordingRoom = 1 << 16;

void ForgetRecordings() {
    sim::Machine& machine = sim::Current();
    machine.bus.requests.clear();
    machine.input.calls.clear();
    machine.input.events.clear();
    machine.output.clear();
}

// Room for the simulation's records, touched once, so that a run does not time their growth.
void MakeRoomForRecordings() {
    sim::Machine& machine = sim::Current();
    machine.bus.requests.reserve(kRecordingRoom);
    machine.input.calls.resize(kRecordingRoom);
    machine.input.events.resize(kRecordingRoom);
    machine.output.resize(kRecordingRoom);
    ForgetRecordings();
}

bool RecordingsNearlyFull() {
    const sim::Machine& machine = sim::Current();
    constexpr std::size_t kMargin = 4096;
    return machine.bus.requests.size() + kMargin > kRecordingRoom ||
           machine.input.events.size() + kMargin > kRecordingRoom ||
           machine.output.size() + kMargin > kRecordingRoom;
}

padbridge::Bridge* ReadyBridge(bool dualShock4) {
    static std::unique_ptr<padbridge::Bridge> bridge;
    sim::Reset();
    sim::Current().bus.interfaces = {sim::DeviceInterface{}};
    bridge = std::make_unique<padbridge::Bridge>();
    // With the writer thread running, as in the program: without it desktop control is refused.
    padbridge::StartOutput(bridge->output);
    padbridge::StartProbe(*bridge);
    std::string lines;
    for (int player = 0; player < padbridge::kPlayerCount; ++player)
        lines += (dualShock4 ? Ds4InputLine(player) : InputLine(player)) + "\n";
    lines += std::string(kPermissionLine) + "\n";
    for (std::size_t at = 0; at < lines.size(); at += 2048)
        Feed(*bridge, lines.data() + at, lines.size() - at < 2048 ? lines.size() - at : 2048);
    for (int tick = 0; tick < 4; ++tick) RunTick(*bridge);
    const std::string& output = sim::Current().output;
    const bool ready = Count(output, "\"created\":true") == padbridge::kPlayerCount &&
                       Count(output, "\"enabled\":true") == 1 && bridge->system.enabled;
    MakeRoomForRecordings();
    return ready ? bridge.get() : nullptr;
}

}  // namespace bench
