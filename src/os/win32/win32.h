// Shared by the Win32 adapter's files: windows.h and the conversions between the seam's plain
// types and the API's.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "os/os.h"

namespace os::win32 {

inline HANDLE ToHandle(Handle handle) {
    return reinterpret_cast<HANDLE>(handle);
}
inline Handle FromHandle(HANDLE handle) {
    return reinterpret_cast<Handle>(handle);
}
inline const wchar_t* ToWide(const WideChar* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

static_assert(sizeof(wchar_t) == sizeof(WideChar), "Windows wide characters are UTF-16 units");
static_assert(sizeof(long) == 4, "the Windows ABI has a 32-bit long");
static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(OVERLAPPED, hEvent) == offsetof(Overlapped, event));
static_assert(sizeof(InputRecord) == sizeof(INPUT));
static_assert(offsetof(INPUT, mi) == offsetof(InputRecord, mi));
static_assert(offsetof(MOUSEINPUT, dwExtraInfo) == offsetof(MouseInput, dwExtraInfo));
static_assert(offsetof(KEYBDINPUT, dwExtraInfo) == offsetof(KeyboardInput, dwExtraInfo));
static_assert(sizeof(Guid) == sizeof(GUID));

inline OVERLAPPED* ToOverlapped(Overlapped* overlapped) {
    return reinterpret_cast<OVERLAPPED*>(overlapped);
}

}  // namespace os::win32
