// The simulated library loader and vJoyInterface.dll: where the library is installed, which of
// its exports exist, what vJoyEnabled answers, and (extended by the vJoy pad tests) what each
// device reports and every call the bridge made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/os.h"

namespace sim {

struct VjoyLibrary {
    std::u16string installedPath;  // LoadLibraryExW succeeds for exactly this path; empty: none
    std::vector<std::string> missingExports;
    int32_t enabled = 1;  // what vJoyEnabled returns

    // Observations.
    std::vector<std::u16string> loadAttempts;  // every path given to LoadLibraryExW
    uint32_t lastLoadFlags = 0;
    uint32_t loads = 0;  // successful loads
    uint32_t frees = 0;
    bool loaded = false;
    uint32_t enabledCalls = 0;
};

}  // namespace sim
