#include <cmath>
#include <cstdlib>
#include <cstring>

#include "app/bridge.h"
#include "app/inbox.h"
#include "desktop/injection.h"
#include "protocol/fields.h"

namespace padbridge {
namespace {

constexpr std::size_t kTypeCapacity = 32;

// The keys every line is read for as it arrives, found in one walk that ends once both are.
constexpr const char* kRoutingKeys[] = {"type", "player"};
constexpr int kRoutingKeyCount = 2;

// `player` counts only when it is finite, whole and 0..7; -0 is player 0.
int ReadPlayerIndex(const char* playerValue) {
    const double value = ReadNumberAt(playerValue, -1.0);
    if (!(value >= 0.0 && value <= kPlayerCount - 1) || value != std::floor(value))
        return kNoPlayer;
    return static_cast<int>(value);
}

}  // namespace

LineType ClassifyLine(const char* line, int* player) {
    const char* values[kRoutingKeyCount];
    FindValues(line, kRoutingKeys, kRoutingKeyCount, values);
    char type[kTypeCapacity];
    *player = kNoPlayer;
    if (!ReadStringAt(values[0], type, sizeof type)) return LineType::kOther;
    LineType kind = LineType::kOther;
    if (std::strcmp(type, "input") == 0) {
        kind = LineType::kInput;
    } else if (std::strcmp(type, "system") == 0) {
        return LineType::kSystem;
    } else if (std::strcmp(type, "system-heartbeat") == 0) {
        return LineType::kHeartbeat;
    } else if (std::strcmp(type, "neutral") == 0 || std::strcmp(type, "remove") == 0) {
        kind = LineType::kTeardown;
    } else if (std::strcmp(type, "probe") == 0) {
        return LineType::kProbe;
    } else if (std::strcmp(type, "system-permission") == 0) {
        return LineType::kPermission;
    } else {
        return LineType::kUnknown;
    }
    // A player's line without a player of ours asks for nothing.
    *player = ReadPlayerIndex(values[1]);
    return *player == kNoPlayer ? LineType::kOther : kind;
}

void HandleLine(Bridge& bridge, const char* line, LineType kind, int player, uint64_t stamp) {
    switch (kind) {
        case LineType::kProbe:
            StartProbe(bridge);
            break;
        case LineType::kInput: {
            // The `input` fields in one more walk over the line.
            const char* values[kInputKeyCount];
            FindValues(line, kInputKeys, kInputKeyCount, values);
            HandleInput(bridge.players, bridge.bus, bridge.vjoy, bridge.output, values, player,
                        stamp);
            break;
        }
        case LineType::kTeardown:
            TeardownPlayer(bridge.players, bridge.bus, bridge.vjoy, bridge.output, player);
            break;
        case LineType::kPermission:
            HandleSystemPermission(bridge.system, bridge.output, line, stamp);
            break;
        case LineType::kHeartbeat:
            if (bridge.system.enabled) HandleSystemHeartbeat(bridge.system, stamp);
            break;
        case LineType::kSystem:
            if (bridge.system.enabled) {
                HandleSystem(bridge.system, line, stamp);
                ReportBlocked(bridge.system, bridge.output);
            }
            break;
        case LineType::kUnknown:
            if (bridge.other.handle != nullptr)
                bridge.other.handle(bridge.other.context, line);
            break;
        case LineType::kOther:
            break;
    }
}

void DispatchLine(Bridge& bridge, const char* line) {
    int player = kNoPlayer;
    const LineType kind = ClassifyLine(line, &player);
    HandleLine(bridge, line, kind, player, os::GetTickCount64());
}

}  // namespace padbridge
