// The simulated library loader and vJoyInterface.dll: where the library is installed, which of
// its exports exist, what vJoyEnabled answers, what each device reports, and every call the
// bridge made into the library, with its arguments in order.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "os/os.h"

namespace sim {

constexpr int kVjoyDeviceCount = 16;  // vJoy device ids 1 to 16

// One vJoy device: what the test configured and what the bridge last wrote to it.
struct VjoyDevice {
    int32_t buttons = 10;               // GetVJDButtonNumber
    int32_t contPovs = 1;               // GetVJDContPovNumber
    std::vector<uint32_t> missingAxes;  // usages for which GetVJDAxisExist answers 0
    // What GetVJDAxisMin / GetVJDAxisMax write for every axis; none leaves the output untouched.
    std::optional<int32_t> axisMin = 0;
    std::optional<int32_t> axisMax = 32767;
    bool refuseAcquire = false;  // another feeder owns the device

    // State written by the bridge.
    bool owned = false;
    std::array<int32_t, 8> axes{};            // by usage - 0x30 (X Y Z Rx Ry Rz Slider Dial)
    std::array<int32_t, 129> buttonStates{};  // by button number, 1 to 128
    uint32_t pov = 0xFFFFFFFF;                // continuous POV 1
};

// One call into the library: export name and arguments in the order passed (a pointer argument
// is recorded as 1 when non-null, 0 when null).
struct VjoyCall {
    std::string name;
    std::vector<int64_t> args;
    bool operator==(const VjoyCall&) const = default;
};

struct VjoyLibrary {
    std::u16string installedPath;  // LoadLibraryExW succeeds for exactly this path; empty: none
    std::vector<std::string> missingExports;
    int32_t enabled = 1;  // what vJoyEnabled returns
    std::array<VjoyDevice, kVjoyDeviceCount> devices{};

    // Observations.
    std::vector<std::u16string> loadAttempts;  // every path given to LoadLibraryExW
    uint32_t lastLoadFlags = 0;
    uint32_t loads = 0;  // successful loads
    uint32_t frees = 0;
    bool loaded = false;
    uint32_t enabledCalls = 0;
    std::vector<VjoyCall> calls;      // every export called, in order
    uint32_t callsWhileUnloaded = 0;  // calls through addresses of a library no longer loaded
};

// Device `id` (1 to 16) of the current machine's library.
VjoyDevice& VjoyDeviceById(uint32_t id);

// "SetAxis(16384,1,48)": a call in one readable word, for comparing call lists in tests.
std::string Describe(const VjoyCall& call);
std::vector<std::string> DescribeCalls(const std::vector<VjoyCall>& calls);

}  // namespace sim
