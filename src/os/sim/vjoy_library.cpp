// The simulated library loader and vJoyInterface.dll.
#include <algorithm>
#include <cstring>

#include "os/sim/sim.h"

namespace sim {
namespace {

constexpr os::Handle kVjoyModule = 0x400;

VjoyLibrary& Library() {
    return Current().vjoy;
}

void Record(const char* name, std::vector<int64_t> args) {
    if (!Library().loaded) ++Library().callsWhileUnloaded;
    Library().calls.push_back({name, std::move(args)});
}

// The device behind an id the library accepts, or null for an id outside 1 to 16.
VjoyDevice* Find(uint32_t id) {
    if (id < 1 || id > kVjoyDeviceCount) return nullptr;
    return &Library().devices[id - 1];
}

bool AxisExists(const VjoyDevice& device, uint32_t usage) {
    if (usage < 0x30 || usage > 0x37) return false;
    const auto& missing = device.missingAxes;
    return std::find(missing.begin(), missing.end(), usage) == missing.end();
}

// The exports, with the exact types the bridge casts them to.

int32_t VjoyEnabled() {
    ++Library().enabledCalls;
    Record("vJoyEnabled", {});
    return Library().enabled;
}

int32_t AcquireVjd(uint32_t id) {
    Record("AcquireVJD", {id});
    VjoyDevice* device = Find(id);
    if (device == nullptr || device->refuseAcquire) return 0;
    device->owned = true;
    return 1;
}

int32_t RelinquishVjd(uint32_t id) {
    Record("RelinquishVJD", {id});
    VjoyDevice* device = Find(id);
    if (device == nullptr || !device->owned) return 0;
    device->owned = false;
    return 1;
}

int32_t SetAxis(int32_t value, uint32_t id, uint32_t usage) {
    Record("SetAxis", {value, id, usage});
    VjoyDevice* device = Find(id);
    if (device == nullptr || !device->owned || !AxisExists(*device, usage)) return 0;
    device->axes[usage - 0x30] = value;
    return 1;
}

int32_t SetBtn(int32_t state, uint32_t id, uint8_t button) {
    Record("SetBtn", {state, id, button});
    VjoyDevice* device = Find(id);
    if (device == nullptr || !device->owned || button < 1 || button > device->buttons) return 0;
    device->buttonStates[button] = state;
    return 1;
}

int32_t SetContPov(uint32_t value, uint32_t id, uint8_t pov) {
    Record("SetContPov", {value, id, pov});
    VjoyDevice* device = Find(id);
    if (device == nullptr || !device->owned || pov < 1 || pov > device->contPovs) return 0;
    if (pov == 1) device->pov = value;
    return 1;
}

int32_t GetVjdAxisExist(uint32_t id, uint32_t usage) {
    Record("GetVJDAxisExist", {id, usage});
    const VjoyDevice* device = Find(id);
    return device != nullptr && AxisExists(*device, usage) ? 1 : 0;
}

int32_t GetVjdAxisMin(uint32_t id, uint32_t usage, int32_t* min) {
    Record("GetVJDAxisMin", {id, usage, min != nullptr ? 1 : 0});
    const VjoyDevice* device = Find(id);
    if (device == nullptr || !AxisExists(*device, usage) || !device->axisMin) return 0;
    *min = *device->axisMin;
    return 1;
}

int32_t GetVjdAxisMax(uint32_t id, uint32_t usage, int32_t* max) {
    Record("GetVJDAxisMax", {id, usage, max != nullptr ? 1 : 0});
    const VjoyDevice* device = Find(id);
    if (device == nullptr || !AxisExists(*device, usage) || !device->axisMax) return 0;
    *max = *device->axisMax;
    return 1;
}

int32_t GetVjdButtonNumber(uint32_t id) {
    Record("GetVJDButtonNumber", {id});
    const VjoyDevice* device = Find(id);
    return device != nullptr ? device->buttons : 0;
}

int32_t GetVjdContPovNumber(uint32_t id) {
    Record("GetVJDContPovNumber", {id});
    const VjoyDevice* device = Find(id);
    return device != nullptr ? device->contPovs : 0;
}

struct Export {
    const char* name;
    os::ProcAddress address;
};

template <typename Function>
os::ProcAddress Address(Function* function) {
    return reinterpret_cast<os::ProcAddress>(function);
}

const Export kExports[] = {
    {"vJoyEnabled", Address(&VjoyEnabled)},
    {"AcquireVJD", Address(&AcquireVjd)},
    {"RelinquishVJD", Address(&RelinquishVjd)},
    {"SetAxis", Address(&SetAxis)},
    {"SetBtn", Address(&SetBtn)},
    {"SetContPov", Address(&SetContPov)},
    {"GetVJDAxisExist", Address(&GetVjdAxisExist)},
    {"GetVJDAxisMin", Address(&GetVjdAxisMin)},
    {"GetVJDAxisMax", Address(&GetVjdAxisMax)},
    {"GetVJDButtonNumber", Address(&GetVjdButtonNumber)},
    {"GetVJDContPovNumber", Address(&GetVjdContPovNumber)},
};

}  // namespace

VjoyDevice& VjoyDeviceById(uint32_t id) {
    return Library().devices[id - 1];
}

std::string Describe(const VjoyCall& call) {
    std::string text = call.name + "(";
    for (std::size_t i = 0; i < call.args.size(); ++i) {
        text += (i == 0 ? "" : ",") + std::to_string(call.args[i]);
    }
    return text + ")";
}

std::vector<std::string> DescribeCalls(const std::vector<VjoyCall>& calls) {
    std::vector<std::string> words;
    for (const VjoyCall& call : calls) words.push_back(Describe(call));
    return words;
}

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
