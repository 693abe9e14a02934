// The simulated bus driver behind the device-interface and overlapped-I/O operations.
#include "os/sim/sim.h"

namespace os {

using sim::Current;

// No bus driver is installed.

Handle SetupDiGetClassDevsW(const Guid&, uint32_t) {
    ++Current().bus.openDeviceInfoLists;
    return 0x200;
}

bool SetupDiEnumDeviceInterfaces(Handle, const Guid&, uint32_t, DeviceInterfaceData*) {
    Current().lastError = kErrorNoMoreItems;
    return false;
}

bool SetupDiGetDeviceInterfaceDetailW(Handle, DeviceInterfaceData*, void*, uint32_t, uint32_t*) {
    Current().lastError = kErrorInvalidParameter;
    return false;
}

bool SetupDiDestroyDeviceInfoList(Handle) {
    --Current().bus.openDeviceInfoLists;
    return true;
}

Handle CreateFileW(const WideChar*, uint32_t, uint32_t, uint32_t, uint32_t) {
    Current().lastError = 2;  // ERROR_FILE_NOT_FOUND
    return kInvalidHandle;
}

bool CloseHandle(Handle) { return true; }

bool DeviceIoControl(Handle, uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t*,
                     Overlapped*) {
    Current().lastError = 6;  // ERROR_INVALID_HANDLE
    return false;
}

bool GetOverlappedResult(Handle, Overlapped*, uint32_t*, bool) {
    Current().lastError = 6;
    return false;
}

bool CancelIoEx(Handle, Overlapped*) { return false; }

Handle CreateManualResetEvent() {
    ++Current().bus.openEvents;
    return 0x300;
}

bool ResetEvent(Handle) { return true; }

uint32_t WaitForSingleObject(Handle, uint32_t milliseconds) {
    Current().now += milliseconds;
    return kWaitTimeout;
}

}  // namespace os
