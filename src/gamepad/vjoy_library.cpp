// Loading vJoyInterface.dll and finding its exports.
#include <cstring>

#include "gamepad/vjoy.h"

namespace padbridge {
namespace {

// The library's own dependencies come from its directory or the system directory only.
constexpr uint32_t kVjoyLoadFlags = 0x900;
constexpr uint32_t kPathCapacity = 260;
constexpr uint32_t kMaxGivenPath = kPathCapacity - 1;
constexpr uint32_t kMaxProgramFiles = 212;
constexpr char16_t kVjoyDefaultTail[] = u"\\vJoy\\x64\\vJoyInterface.dll";
static_assert(kMaxProgramFiles + sizeof kVjoyDefaultTail / sizeof(char16_t) <= kPathCapacity);

// A given path must be a drive-letter path that fits; without one, vJoy's default location
// under ProgramFiles.
bool BuildVjoyPath(const os::WideChar* given, os::WideChar (&path)[kPathCapacity]) {
    if (given != nullptr) {
        uint32_t length = 0;
        while (length < kPathCapacity && given[length] != 0) ++length;
        if (length < 3 || length > kMaxGivenPath || given[1] != u':') return false;
        std::memcpy(path, given, length * sizeof(os::WideChar));
        path[length] = 0;
        return true;
    }
    const uint32_t length = os::GetEnvironmentVariableW(u"ProgramFiles", path, kPathCapacity);
    if (length < 1 || length > kMaxProgramFiles) return false;
    std::memcpy(path + length, kVjoyDefaultTail, sizeof kVjoyDefaultTail);
    return true;
}

template <typename Function>
bool Resolve(os::Handle library, const char* name, Function*& entry) {
    const os::ProcAddress address = os::GetProcAddress(library, name);
    if (address == nullptr) return false;
    entry = reinterpret_cast<Function*>(address);
    return true;
}

// In table order; the first missing export fails and the rest are not looked up.
bool ResolveVjoy(os::Handle library, VjoyExports& e) {
    return Resolve(library, "vJoyEnabled", e.vJoyEnabled) &&
           Resolve(library, "AcquireVJD", e.AcquireVJD) &&
           Resolve(library, "RelinquishVJD", e.RelinquishVJD) &&
           Resolve(library, "SetAxis", e.SetAxis) && Resolve(library, "SetBtn", e.SetBtn) &&
           Resolve(library, "SetContPov", e.SetContPov) &&
           Resolve(library, "GetVJDAxisExist", e.GetVJDAxisExist) &&
           Resolve(library, "GetVJDAxisMin", e.GetVJDAxisMin) &&
           Resolve(library, "GetVJDAxisMax", e.GetVJDAxisMax) &&
           Resolve(library, "GetVJDButtonNumber", e.GetVJDButtonNumber) &&
           Resolve(library, "GetVJDContPovNumber", e.GetVJDContPovNumber);
}

}  // namespace

void LoadVjoy(VjoyBackend& vjoy) {
    if (vjoy.library != os::kNullHandle) {
        os::FreeLibrary(vjoy.library);
        vjoy.library = os::kNullHandle;
        vjoy.exports = VjoyExports{};  // they pointed into the library just unloaded
    }
    vjoy.available = false;
    os::WideChar path[kPathCapacity];
    if (!BuildVjoyPath(vjoy.libraryPath, path)) return;
    vjoy.library = os::LoadLibraryExW(path, kVjoyLoadFlags);
    if (vjoy.library == os::kNullHandle) return;
    if (!ResolveVjoy(vjoy.library, vjoy.exports)) return;  // the library stays loaded
    vjoy.available = vjoy.exports.vJoyEnabled() != 0;
}

void UnloadVjoy(VjoyBackend& vjoy) {
    if (vjoy.library != os::kNullHandle) {
        os::FreeLibrary(vjoy.library);
        vjoy.library = os::kNullHandle;
    }
}

}  // namespace padbridge
