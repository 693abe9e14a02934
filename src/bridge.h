// The process-wide state: one plain record. The program keeps one in static storage for its
// whole life; every test makes its own.
#pragma once

#include <cstdint>

#include "desktop/system_control.h"
#include "gamepad/backend.h"
#include "gamepad/input.h"
#include "gamepad/vigem/pads.h"
#include "gamepad/vjoy.h"
#include "os/os.h"
#include "protocol/line_reader.h"
#include "protocol/output_queue.h"

namespace padbridge {

struct Bridge {
    const os::WideChar* vjoyLibraryPath = nullptr;  // borrowed from the command line
    LineAssembler lines{};
    BackendState backend{};
    PadSlot pads[kPlayerCount]{};
    DetachedRequests detachedRequests{};
    VjoyPads vjoy{};
    uint64_t lastInputTick[kPlayerCount]{};  // 0: not set
    SystemControl system{};
    OutputQueue output{};  // lines that wait while the host does not read
};

// The whole process after the entry point: command line, start-up, main loop, shutdown.
// Returns the exit code.
int RunBridge(Bridge& bridge, int argc, const os::WideChar* const* argv);

// Routes one received line to the handler that owns it.
void DispatchLine(Bridge& bridge, const char* line);

}  // namespace padbridge
