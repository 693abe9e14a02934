// Clock, standard streams and the host pipe.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "os/win32/win32.h"

namespace os {

using win32::ToHandle;

uint32_t GetLastError() {
    return ::GetLastError();
}

uint64_t GetTickCount64() {
    return ::GetTickCount64();
}

void Sleep(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

bool SetDefaultDllDirectories(uint32_t flags) {
    return ::SetDefaultDllDirectories(flags) != FALSE;
}

void PrepareStandardStreams() {
    _setmode(_fileno(stdin), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

Handle GetStdInputHandle() {
    return win32::FromHandle(::GetStdHandle(STD_INPUT_HANDLE));
}

bool PeekNamedPipe(Handle pipe, uint32_t* totalAvailable) {
    DWORD available = 0;
    if (!::PeekNamedPipe(ToHandle(pipe), nullptr, 0, nullptr, &available, nullptr)) return false;
    *totalAvailable = available;
    return true;
}

bool ReadFile(Handle file, void* buffer, uint32_t count, uint32_t* bytesRead) {
    DWORD got = 0;
    const BOOL ok = ::ReadFile(ToHandle(file), buffer, count, &got, nullptr);
    *bytesRead = got;
    return ok != FALSE;
}

// The core hands over wire bytes (lines already end in CR LF), so they go straight to the
// standard output handle in one WriteFile: the line leaves whole, with no runtime buffering.
void WriteStandardOutput(const char* bytes, std::size_t count) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes, static_cast<DWORD>(count), &written,
                nullptr);
}

}  // namespace os
