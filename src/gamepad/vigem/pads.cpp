#include "gamepad/vigem/pads.h"

#include "bridge.h"

namespace padbridge {

void AcceptReport(Bridge& bridge, int player, const GamepadFrame& frame) {
    (void)bridge;
    (void)player;
    (void)frame;
}

void PumpPad(Bridge& bridge, int player) {
    (void)bridge;
    (void)player;
}

void TeardownPad(Bridge& bridge, int player) {
    (void)bridge;
    (void)player;
}

}  // namespace padbridge
