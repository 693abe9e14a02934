#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "app/bridge.h"
#include "desktop/injection.h"
#include "protocol/fields.h"

namespace padbridge {
namespace {

constexpr std::size_t kTypeCapacity = 32;
constexpr int kNoPlayer = -1;

// The dispatcher's keys and then the `input` handler's: one walk over the line finds them all,
// since every line is read for the first two and most lines are `input`.
enum LineKey {
    kKeyType,
    kKeyPlayer,
    kFirstInputKey,
    kLineKeyCount = kFirstInputKey + kInputKeyCount
};
constexpr auto kLineKeys = [] {
    std::array<const char*, kLineKeyCount> keys{"type", "player"};
    for (std::size_t i = 0; i < kInputKeyCount; ++i) keys[kFirstInputKey + i] = kInputKeys[i];
    return keys;
}();
static_assert(kLineKeyCount <= kMaxKeys);

// `player` counts only when it is finite, whole and 0..7; -0 is player 0.
int ReadPlayerIndex(const char* playerValue) {
    const double value = ReadNumberAt(playerValue, -1.0);
    if (!(value >= 0.0 && value <= kPlayerCount - 1) || value != std::floor(value))
        return kNoPlayer;
    return static_cast<int>(value);
}

}  // namespace

void DispatchLine(Bridge& bridge, const char* line) {
    const char* values[kLineKeyCount];
    FindValues(line, kLineKeys.data(), kLineKeyCount, values);
    char type[kTypeCapacity];
    if (!ReadStringAt(values[kKeyType], type, sizeof type)) return;
    const int player = ReadPlayerIndex(values[kKeyPlayer]);
    const bool hasPlayer = player != kNoPlayer;

    if (std::strcmp(type, "probe") == 0) {
        ProbeBackend(bridge.players, bridge.bus, bridge.vjoy, bridge.output, bridge.system.enabled,
                     WatchdogHook(bridge.system));  // the watchdog keeps its time meanwhile
    } else if (std::strcmp(type, "input") == 0 && hasPlayer) {
        HandleInput(bridge.players, bridge.bus, bridge.vjoy, bridge.output, values + kFirstInputKey,
                    player);
    } else if ((std::strcmp(type, "neutral") == 0 || std::strcmp(type, "remove") == 0) &&
               hasPlayer) {
        TeardownPlayer(bridge.players, bridge.bus, bridge.vjoy, bridge.output, player);
    } else if (std::strcmp(type, "system-permission") == 0) {
        HandleSystemPermission(bridge.system, bridge.output, line);
    } else if (std::strcmp(type, "system-heartbeat") == 0 && bridge.system.enabled) {
        HandleSystemHeartbeat(bridge.system);
    } else if (std::strcmp(type, "system") == 0 && bridge.system.enabled) {
        HandleSystem(bridge.system, line);
        ReportBlocked(bridge.system, bridge.output);
    }
}

}  // namespace padbridge
