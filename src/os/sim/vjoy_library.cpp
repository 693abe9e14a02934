// The simulated library loader and vJoyInterface.dll.
#include <algorithm>
#include <cstring>

#include "os/sim/sim.h"

namespace sim {
namespace {

constexpr os::Handle kVjoyModule = 0x400;

int32_t VjoyEnabled() {
    ++Current().vjoy.enabledCalls;
    return Current().vjoy.enabled;
}

// Every export resolves; the ones other than vJoyEnabled are filled in by the vJoy pad double.
struct Export {
    const char* name;
    os::ProcAddress address;
};

void Unused() {}

const Export kExports[] = {
    {"vJoyEnabled", reinterpret_cast<os::ProcAddress>(&VjoyEnabled)},
    {"AcquireVJD", &Unused},
    {"RelinquishVJD", &Unused},
    {"SetAxis", &Unused},
    {"SetBtn", &Unused},
    {"SetContPov", &Unused},
    {"GetVJDAxisExist", &Unused},
    {"GetVJDAxisMin", &Unused},
    {"GetVJDAxisMax", &Unused},
    {"GetVJDButtonNumber", &Unused},
    {"GetVJDContPovNumber", &Unused},
};

}  // namespace
}  // namespace sim

namespace os {

using sim::Current;

Handle LoadLibraryExW(const WideChar* path, uint32_t flags) {
    sim::VjoyLibrary& vjoy = Current().vjoy;
    vjoy.loadAttempts.emplace_back(path);
    vjoy.lastLoadFlags = flags;
    if (vjoy.installedPath.empty() || vjoy.installedPath != path) {
        Current().lastError = 126;  // ERROR_MOD_NOT_FOUND
        return kNullHandle;
    }
    ++vjoy.loads;
    vjoy.loaded = true;
    return sim::kVjoyModule;
}

ProcAddress GetProcAddress(Handle module, const char* exportName) {
    const sim::VjoyLibrary& vjoy = Current().vjoy;
    if (module != sim::kVjoyModule || !vjoy.loaded) return nullptr;
    const auto& missing = vjoy.missingExports;
    if (std::find(missing.begin(), missing.end(), exportName) != missing.end()) return nullptr;
    for (const sim::Export& e : sim::kExports) {
        if (std::strcmp(e.name, exportName) == 0) return e.address;
    }
    return nullptr;
}

bool FreeLibrary(Handle module) {
    sim::VjoyLibrary& vjoy = Current().vjoy;
    if (module != sim::kVjoyModule || !vjoy.loaded) return false;
    ++vjoy.frees;
    vjoy.loaded = false;
    return true;
}

}  // namespace os
