#include "gamepad/vigem/bus.h"

#include <cstdlib>
#include <cstring>

#include "gamepad/vigem/driver_interface.h"
#include "protocol/output.h"

namespace padbridge {
namespace {

constexpr uint32_t kClassDevsFlags = 0x12;  // DIGCF_PRESENT | DIGCF_DEVICEINTERFACE
constexpr uint32_t kInterfaceDataSize = 32;
constexpr uint32_t kDetailFixedSize = 8;  // SP_DEVICE_INTERFACE_DETAIL_DATA_W on 64-bit Windows
constexpr std::size_t kDevicePathOffset = 4;

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

void FinishDiscovery(BusPads& bus) {
    os::SetupDiDestroyDeviceInfoList(bus.discovery.list);
    bus.discovery = BusDiscovery{};
}

// The version check's answer: the interface is kept, or closed once the driver lets go of it.
// True when the bus is found.
bool TakeVersionAnswer(BusPads& bus, uint32_t result) {
    BusDiscovery& discovery = bus.discovery;
    discovery.check = kNoDetachedRequest;
    if (result == os::kErrorSuccess) {
        bus.handle = discovery.device;
        bus.status = BusStatus::kReady;
        return true;
    }
    bus.status =
        result == os::kErrorNotSupported ? BusStatus::kIncompatible : BusStatus::kUnavailable;
    // A check whose cancellation still runs keeps the handle until the driver lets go.
    CloseDeviceWhenIdle(bus.detached, discovery.device);
    discovery.device = os::kInvalidHandle;
    return false;
}

}  // namespace

bool StartBusDiscovery(BusPads& bus) {
    bus.status = BusStatus::kMissing;
    const os::Handle list = os::SetupDiGetClassDevsW(vigem::kBusInterfaceClass, kClassDevsFlags);
    if (list == os::kInvalidHandle) {
        bus.status = BusStatus::kUnavailable;
        return true;
    }
    bus.discovery = BusDiscovery{.running = true, .list = list};
    return ContinueBusDiscovery(bus);
}

bool ContinueBusDiscovery(BusPads& bus) {
    BusDiscovery& discovery = bus.discovery;
    if (!discovery.running) return true;
    uint32_t result = 0;
    if (discovery.check != kNoDetachedRequest) {
        if (!PollDetachedRequest(bus.detached, discovery.check, &result)) return false;
        if (TakeVersionAnswer(bus, result)) {
            FinishDiscovery(bus);
            return true;
        }
    }
    os::DeviceInterfaceData data{};
    data.cbSize = kInterfaceDataSize;
    for (;; ++discovery.index) {
        if (!os::SetupDiEnumDeviceInterfaces(discovery.list, vigem::kBusInterfaceClass,
                                             discovery.index, &data)) {
            if (os::GetLastError() != os::kErrorNoMoreItems) bus.status = BusStatus::kUnavailable;
            break;
        }
        bus.status = BusStatus::kUnavailable;
        os::Handle device = os::kInvalidHandle;
        if (!OpenInterface(discovery.list, &data, &device)) break;
        if (device == os::kInvalidHandle) continue;
        // The check goes on while the loop does; the next interface waits for its answer.
        uint8_t record[vigem::kBusVersionRecordSize];
        vigem::EncodeBusVersion(record);
        discovery.device = device;
        discovery.check = StartDetachedRequest(bus.detached, device, vigem::kCheckVersion, record,
                                               vigem::kBusVersionRecordSize, &result);
        if (discovery.check != kNoDetachedRequest &&
            !PollDetachedRequest(bus.detached, discovery.check, &result)) {
            ++discovery.index;
            return false;
        }
        if (TakeVersionAnswer(bus, result)) break;
    }
    FinishDiscovery(bus);
    return true;
}

uint64_t NextDiscoveryDeadline(const BusPads& bus) {
    if (bus.discovery.check == kNoDetachedRequest || !bus.discovery.running) return kNoDeadline;
    return NextDetachedRequestDeadline(bus.detached, bus.discovery.check);
}

void AbandonBusDiscovery(BusPads& bus) {
    BusDiscovery& discovery = bus.discovery;
    if (!discovery.running) return;
    if (discovery.check != kNoDetachedRequest) {
        AbandonDetachedRequest(bus.detached, discovery.check);
        CloseDeviceWhenIdle(bus.detached, discovery.device);
    }
    FinishDiscovery(bus);
}

const char* VigemBusWord(BusStatus status) {
    switch (status) {
        case BusStatus::kMissing:
            return kBusMissing;
        case BusStatus::kUnavailable:
            return kBusUnavailable;
        case BusStatus::kIncompatible:
            return kBusIncompatible;
        case BusStatus::kReady:
            return kBusReady;
    }
    return kBusUnavailable;
}

bool BusHeld(const BusPads& bus) {
    for (int player = 0; player < kPlayerCount; ++player) {
        if (PadHeld(bus, player)) return true;
    }
    return DetachedRequestsHeld(bus.detached);
}

void CloseBus(BusPads& bus) {
    if (BusIsBackend(bus) && !BusHeld(bus)) os::CloseHandle(bus.handle);
    bus.handle = os::kInvalidHandle;
}

}  // namespace padbridge
