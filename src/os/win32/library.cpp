// Library loading and the environment.
#include "os/win32/win32.h"

namespace os {

uint32_t GetEnvironmentVariableW(const WideChar* name, WideChar* buffer, uint32_t capacity) {
    return ::GetEnvironmentVariableW(win32::ToWide(name), reinterpret_cast<wchar_t*>(buffer),
                                     capacity);
}

Handle LoadLibraryExW(const WideChar* path, uint32_t flags) {
    return win32::FromHandle(::LoadLibraryExW(win32::ToWide(path), nullptr, flags));
}

ProcAddress GetProcAddress(Handle module, const char* exportName) {
    return reinterpret_cast<ProcAddress>(
        ::GetProcAddress(reinterpret_cast<HMODULE>(module), exportName));
}

bool FreeLibrary(Handle module) {
    return ::FreeLibrary(reinterpret_cast<HMODULE>(module)) != FALSE;
}

}  // namespace os
