// The simulator's own lines: the game sets a pad's motors or lightbar, and a secure desktop comes
// or goes. They print nothing themselves: what the host sees is what the bridge makes of the
// driver's and the system's answers.
#include <cmath>
#include <cstring>

#include "os/sim/sim.h"
#include "protocol/fields.h"
#include "simulator/simulator.h"

namespace padbridge::simulator {
namespace {

// A whole number from `low` to `high`, or -1.
int ReadWhole(const char* line, const char* name, int low, int high) {
    const double value = ReadNumber(line, name, std::nan(""));
    if (!(value >= low && value <= high) || value != std::floor(value)) return -1;
    return static_cast<int>(value);
}

// A fraction 0..1 as the byte the game writes, round(value × 255); -1 when absent or outside.
int ReadLevel(const char* line, const char* name) {
    const double value = ReadNumber(line, name, std::nan(""));
    if (!(value >= 0.0 && value <= 1.0)) return -1;
    return static_cast<int>(std::lround(value * 255.0));
}

// The serial of the player's pad on the bus, 0 for none (a free slot, or a vJoy player).
uint32_t SerialOf(const Bridge& bridge, const char* line) {
    const int player = ReadWhole(line, "player", 0, kPlayerCount - 1);
    return player < 0 ? 0 : bridge.bus.pads[player].serial;
}

void Rumble(const Bridge& bridge, const char* line) {
    const uint32_t serial = SerialOf(bridge, line);
    const int low = ReadLevel(line, "low");
    const int high = ReadLevel(line, "high");
    if (serial == 0 || low < 0 || high < 0) return;
    sim::SetPadMotors(serial, static_cast<uint8_t>(low), static_cast<uint8_t>(high));
}

void Lightbar(const Bridge& bridge, const char* line) {
    const uint32_t serial = SerialOf(bridge, line);
    const int red = ReadWhole(line, "red", 0, 255);
    const int green = ReadWhole(line, "green", 0, 255);
    const int blue = ReadWhole(line, "blue", 0, 255);
    if (serial == 0 || red < 0 || green < 0 || blue < 0) return;
    sim::SetPadLightbar(serial, static_cast<uint8_t>(red), static_cast<uint8_t>(green),
                        static_cast<uint8_t>(blue));
}

// While blocked, SendInput refuses every event with error 5, as while a secure desktop is the
// input desktop.
void Desktop(const char* line) {
    const char* value = FindValue(line, "blocked");
    if (value == nullptr) return;
    if (std::strncmp(value, "true", 4) == 0) {
        sim::Current().input.refuse = true;
    } else if (std::strncmp(value, "false", 5) == 0) {
        sim::Current().input.refuse = false;
    }
}

}  // namespace

void HandleSimLine(void* context, const char* line) {
    const Bridge& bridge = *static_cast<const Bridge*>(context);
    char type[16];
    if (!ReadString(line, "type", type, sizeof type)) return;
    if (std::strcmp(type, "sim-rumble") == 0) {
        Rumble(bridge, line);
    } else if (std::strcmp(type, "sim-lightbar") == 0) {
        Lightbar(bridge, line);
    } else if (std::strcmp(type, "sim-desktop") == 0) {
        Desktop(line);
    }
}

}  // namespace padbridge::simulator
