// Device-interface enumeration and overlapped driver I/O.
#include "os/win32/win32.h"
// setupapi.h needs windows.h first.
#include <setupapi.h>

namespace os {

using win32::FromHandle;
using win32::ToHandle;
using win32::ToOverlapped;

static_assert(sizeof(DeviceInterfaceData) == sizeof(SP_DEVICE_INTERFACE_DATA));
// The probe hands SetupDiGetDeviceInterfaceDetailW a block with cbSize 8 and reads the path at 4.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) == 4);

Handle SetupDiGetClassDevsW(const Guid& classGuid, uint32_t flags) {
    const HDEVINFO list =
        ::SetupDiGetClassDevsW(reinterpret_cast<const GUID*>(&classGuid), nullptr, nullptr, flags);
    return FromHandle(list);
}

bool SetupDiEnumDeviceInterfaces(Handle deviceInfoSet, const Guid& classGuid, uint32_t memberIndex,
                                 DeviceInterfaceData* data) {
    return ::SetupDiEnumDeviceInterfaces(
               ToHandle(deviceInfoSet), nullptr, reinterpret_cast<const GUID*>(&classGuid),
               memberIndex, reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(data)) != FALSE;
}

bool SetupDiGetDeviceInterfaceDetailW(Handle deviceInfoSet, DeviceInterfaceData* data, void* detail,
                                      uint32_t detailSize, uint32_t* requiredSize) {
    DWORD required = requiredSize != nullptr ? *requiredSize : 0;
    const BOOL ok = ::SetupDiGetDeviceInterfaceDetailW(
        ToHandle(deviceInfoSet), reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(data),
        static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detail), detailSize,
        requiredSize != nullptr ? &required : nullptr, nullptr);
    if (requiredSize != nullptr) *requiredSize = required;
    return ok != FALSE;
}

bool SetupDiDestroyDeviceInfoList(Handle deviceInfoSet) {
    return ::SetupDiDestroyDeviceInfoList(ToHandle(deviceInfoSet)) != FALSE;
}

Handle CreateFileW(const WideChar* path, uint32_t access, uint32_t shareMode, uint32_t disposition,
                   uint32_t flagsAndAttributes) {
    return FromHandle(::CreateFileW(win32::ToWide(path), access, shareMode, nullptr, disposition,
                                    flagsAndAttributes, nullptr));
}

bool CloseHandle(Handle handle) {
    return ::CloseHandle(ToHandle(handle)) != FALSE;
}

bool DeviceIoControl(Handle device, uint32_t ioControlCode, const void* inBuffer, uint32_t inSize,
                     void* outBuffer, uint32_t outSize, uint32_t* bytesReturned,
                     Overlapped* overlapped) {
    DWORD* returned = reinterpret_cast<DWORD*>(bytesReturned);
    return ::DeviceIoControl(ToHandle(device), ioControlCode, const_cast<void*>(inBuffer), inSize,
                             outBuffer, outSize, returned, ToOverlapped(overlapped)) != FALSE;
}

bool GetOverlappedResult(Handle device, Overlapped* overlapped, uint32_t* bytesTransferred,
                         bool wait) {
    return ::GetOverlappedResult(ToHandle(device), ToOverlapped(overlapped),
                                 reinterpret_cast<DWORD*>(bytesTransferred),
                                 wait ? TRUE : FALSE) != FALSE;
}

bool CancelIoEx(Handle device, Overlapped* overlapped) {
    return ::CancelIoEx(ToHandle(device), ToOverlapped(overlapped)) != FALSE;
}

Handle CreateManualResetEvent() {
    return FromHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

bool ResetEvent(Handle event) {
    return ::ResetEvent(ToHandle(event)) != FALSE;
}

uint32_t WaitForSingleObject(Handle object, uint32_t milliseconds) {
    return ::WaitForSingleObject(ToHandle(object), milliseconds);
}

}  // namespace os
