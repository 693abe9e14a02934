// Virtual Xbox 360 pads on the ViGEmBus driver, one slot per player.
#pragma once

#include <cstdint>

#include "gamepad/input.h"
#include "gamepad/vigem/pending_io.h"

namespace padbridge {

struct Bridge;

enum PadState : uint32_t {
    kPadFree = 0,
    kPadPlugInPending = 1,
    kPadWaitReadyPending = 2,
    kPadReady = 3,
    kPadReportPending = 4,
};

struct PadSlot {
    uint32_t serial;  // 0 while the slot is free, else 1..65535
    uint32_t state;   // a PadState
    PendingIo mainIo;
    PendingIo rumbleIo;
    uint8_t requestBuffer[20];
    uint8_t rumbleRecord[12];
    PadReport latestReport;
    uint32_t reportDirty;
    uint32_t connected;
    uint8_t lastLow;
    uint8_t lastHigh;
    uint64_t rumbleRetryTick;
    uint64_t createRetryTick;
};

void AcceptReport(Bridge& bridge, int player, const GamepadFrame& frame);
void PumpPad(Bridge& bridge, int player);
void TeardownPad(Bridge& bridge, int player);

}  // namespace padbridge
