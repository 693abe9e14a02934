#include "gamepad/vjoy.h"

#include "bridge.h"

namespace padbridge {

void UpdateVjoyPad(Bridge& bridge, int player, const GamepadFrame& frame) {
    (void)bridge;
    (void)player;
    (void)frame;
}

void ReleaseVjoyPad(Bridge& bridge, int player) { bridge.vjoy.acquired[player] = 0; }

}  // namespace padbridge
