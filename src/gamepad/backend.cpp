#include "gamepad/backend.h"

#include <cstdlib>
#include <cstring>

#include "bridge.h"
#include "gamepad/vigem/detached_requests.h"
#include "gamepad/vigem/driver_interface.h"
#include "protocol/output.h"

namespace padbridge {
namespace {

constexpr uint32_t kClassDevsFlags = 0x12;  // DIGCF_PRESENT | DIGCF_DEVICEINTERFACE
constexpr uint32_t kInterfaceDataSize = 32;
constexpr uint32_t kDetailFixedSize = 8;  // SP_DEVICE_INTERFACE_DETAIL_DATA_W on 64-bit Windows
constexpr std::size_t kDevicePathOffset = 4;

// The library's own dependencies come from its directory or the system directory only.
constexpr uint32_t kVjoyLoadFlags = 0x900;
constexpr uint32_t kPathCapacity = 260;
constexpr uint32_t kMaxGivenPath = kPathCapacity - 1;
constexpr uint32_t kMaxProgramFiles = 212;
constexpr char16_t kVjoyDefaultTail[] = u"\\vJoy\\x64\\vJoyInterface.dll";
static_assert(kMaxProgramFiles + sizeof kVjoyDefaultTail / sizeof(char16_t) <= kPathCapacity);

// Sizes, describes and opens one interface; `handle` stays invalid when any of that fails.
// False only when the detail block cannot be allocated, which ends the enumeration.
bool OpenInterface(os::Handle list, os::DeviceInterfaceData* data, os::Handle* handle) {
    uint32_t required = 0;
    os::SetupDiGetDeviceInterfaceDetailW(list, data, nullptr, 0, &required);
    if (required < kDetailFixedSize) return true;
    auto* block = static_cast<unsigned char*>(std::malloc(required));
    if (block == nullptr) return false;
    const uint32_t cbSize = kDetailFixedSize;
    std::memcpy(block, &cbSize, sizeof cbSize);
    if (os::SetupDiGetDeviceInterfaceDetailW(list, data, block, required, nullptr)) {
        const auto* path = reinterpret_cast<const os::WideChar*>(block + kDevicePathOffset);
        *handle = os::CreateFileW(path, vigem::kOpenAccess, vigem::kOpenShareMode,
                                  vigem::kOpenDisposition, vigem::kOpenFlags);
    }
    std::free(block);
    return true;
}

uint32_t CheckVersion(Bridge& bridge, os::Handle bus) {
    uint8_t record[vigem::kBusVersionRecordSize];
    vigem::EncodeBusVersion(record);
    return SendSyncRequest(bridge.detachedRequests, bus, vigem::kCheckVersion, record,
                           vigem::kBusVersionRecordSize, WatchdogHook(bridge.system));
}

// Looks for a ViGEmBus interface that opens and speaks our version. With several, the last one
// tried decides the status.
void DiscoverBus(Bridge& bridge) {
    BackendState& backend = bridge.backend;
    backend.vigemBus = kBusMissing;
    const os::Handle list = os::SetupDiGetClassDevsW(vigem::kBusInterfaceClass, kClassDevsFlags);
    if (list == os::kInvalidHandle) {
        backend.vigemBus = kBusUnavailable;
        return;
    }
    os::DeviceInterfaceData data{};
    data.cbSize = kInterfaceDataSize;
    for (uint32_t index = 0;; ++index) {
        if (!os::SetupDiEnumDeviceInterfaces(list, vigem::kBusInterfaceClass, index, &data)) {
            if (os::GetLastError() != os::kErrorNoMoreItems) backend.vigemBus = kBusUnavailable;
            break;
        }
        backend.vigemBus = kBusUnavailable;
        if (!OpenInterface(list, &data, &backend.busHandle)) break;
        if (backend.busHandle == os::kInvalidHandle) continue;
        const uint32_t result = CheckVersion(bridge, backend.busHandle);
        if (result == os::kErrorSuccess) {
            backend.vigemBus = kBusReady;
            break;
        }
        backend.vigemBus = result == os::kErrorNotSupported ? kBusIncompatible : kBusUnavailable;
        // A check whose cancellation still runs keeps the handle until the driver lets go.
        CloseDeviceWhenIdle(bridge.detachedRequests, backend.busHandle);
        backend.busHandle = os::kInvalidHandle;
    }
    os::SetupDiDestroyDeviceInfoList(list);
}

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
bool Resolve(os::Handle module, const char* name, Function*& entry) {
    const os::ProcAddress address = os::GetProcAddress(module, name);
    if (address == nullptr) return false;
    entry = reinterpret_cast<Function*>(address);
    return true;
}

// In table order; the first missing export fails and the rest are not looked up.
bool ResolveVjoy(os::Handle module, VjoyEntryPoints& e) {
    return Resolve(module, "vJoyEnabled", e.vJoyEnabled) &&
           Resolve(module, "AcquireVJD", e.AcquireVJD) &&
           Resolve(module, "RelinquishVJD", e.RelinquishVJD) &&
           Resolve(module, "SetAxis", e.SetAxis) && Resolve(module, "SetBtn", e.SetBtn) &&
           Resolve(module, "SetContPov", e.SetContPov) &&
           Resolve(module, "GetVJDAxisExist", e.GetVJDAxisExist) &&
           Resolve(module, "GetVJDAxisMin", e.GetVJDAxisMin) &&
           Resolve(module, "GetVJDAxisMax", e.GetVJDAxisMax) &&
           Resolve(module, "GetVJDButtonNumber", e.GetVJDButtonNumber) &&
           Resolve(module, "GetVJDContPovNumber", e.GetVJDContPovNumber);
}

void LoadVjoy(BackendState& backend, const os::WideChar* libraryPath) {
    if (backend.vjoyModule != os::kNullHandle) {
        os::FreeLibrary(backend.vjoyModule);
        backend.vjoyModule = os::kNullHandle;
        backend.vjoy = VjoyEntryPoints{};  // they pointed into the library just unloaded
    }
    backend.vjoyAvailable = false;
    os::WideChar path[kPathCapacity];
    if (!BuildVjoyPath(libraryPath, path)) return;
    backend.vjoyModule = os::LoadLibraryExW(path, kVjoyLoadFlags);
    if (backend.vjoyModule == os::kNullHandle) return;
    if (!ResolveVjoy(backend.vjoyModule, backend.vjoy)) return;  // the library stays loaded
    backend.vjoyAvailable = backend.vjoy.vJoyEnabled() != 0;
}

// The bus serves every pad from now on: players held on vJoy are released.
void HandOverToBus(Bridge& bridge) {
    for (int player = 0; player < kPlayerCount; ++player) {
        if (bridge.vjoy.acquired[player]) TeardownPlayer(bridge, player);
    }
    bridge.backend.vjoyAvailable = false;
}

}  // namespace

void ProbeBackend(Bridge& bridge, const os::WideChar* vjoyLibraryPath) {
    BackendState& backend = bridge.backend;
    if (backend.busHandle == os::kInvalidHandle) DiscoverBus(bridge);
    if (backend.busHandle != os::kInvalidHandle) {
        HandOverToBus(bridge);
    } else if (backend.vigemBus == kBusMissing && !backend.vjoyAvailable) {
        // Only when no bus interface exists at all; an interface that failed may yet recover.
        LoadVjoy(backend, vjoyLibraryPath);
    }
    const bool busOpen = backend.busHandle != os::kInvalidHandle;
    const char* name =
        busOpen ? kBackendVigem : (backend.vjoyAvailable ? kBackendVjoy : kBackendNone);
    WriteCapabilities(name, backend.vigemBus, busOpen || backend.vjoyAvailable,
                      bridge.system.enabled);
}

void CloseBackend(BackendState& backend) {
    if (backend.busHandle != os::kInvalidHandle) {
        os::CloseHandle(backend.busHandle);
        backend.busHandle = os::kInvalidHandle;
    }
    if (backend.vjoyModule != os::kNullHandle) {
        os::FreeLibrary(backend.vjoyModule);
        backend.vjoyModule = os::kNullHandle;
    }
}

}  // namespace padbridge
