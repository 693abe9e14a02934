// The backend probe: which driver serves the virtual pads, and the capabilities line.
#pragma once

#include <cstdint>

#include "os/os.h"

namespace padbridge {

struct Bridge;

// vJoyInterface.dll exports, looked up by name in this order.
struct VjoyEntryPoints {
    int32_t (*vJoyEnabled)();
    int32_t (*AcquireVJD)(uint32_t device);
    int32_t (*RelinquishVJD)(uint32_t device);
    int32_t (*SetAxis)(int32_t value, uint32_t device, uint32_t axis);
    int32_t (*SetBtn)(int32_t state, uint32_t device, uint8_t button);
    int32_t (*SetContPov)(uint32_t value, uint32_t device, uint8_t pov);
    int32_t (*GetVJDAxisExist)(uint32_t device, uint32_t axis);
    int32_t (*GetVJDAxisMin)(uint32_t device, uint32_t axis, int32_t* min);
    int32_t (*GetVJDAxisMax)(uint32_t device, uint32_t axis, int32_t* max);
    int32_t (*GetVJDButtonNumber)(uint32_t device);
    int32_t (*GetVJDContPovNumber)(uint32_t device);
};

struct BackendState {
    os::Handle busHandle =
        os::kInvalidHandle;            // the one open ViGEmBus interface, shared by all pads
    const char* vigemBus = "missing";  // status word of the last discovery
    os::Handle vjoyModule = os::kNullHandle;
    VjoyEntryPoints vjoy{};
    bool vjoyAvailable = false;    // library loaded, every export found, vJoyEnabled non-zero
    bool ds4ShortReports = false;  // the open bus refused a DualShock 4's full report
};

// Discovers ViGEmBus (or loads vJoy when no bus interface exists), hands vJoy players over to the
// bus when it appears, and prints one capabilities line. `vjoyLibraryPath` may be null.
void ProbeBackend(Bridge& bridge, const os::WideChar* vjoyLibraryPath);

// Shutdown's part: closes the bus handle and unloads the vJoy library.
void CloseBackend(BackendState& backend);

}  // namespace padbridge
