// Clock, standard streams and standard output.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "os/win32/win32.h"

namespace os {


uint32_t GetLastError() {
    return ::GetLastError();
}

uint64_t GetTickCount64() {
    return ::GetTickCount64();
}

bool SetDefaultDllDirectories(uint32_t flags) {
    return ::SetDefaultDllDirectories(flags) != FALSE;
}

void PrepareStandardStreams() {
    _setmode(_fileno(stdin), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

// The core hands over wire bytes (lines already end in CR LF), so they go straight to the
// standard output handle in one WriteFile: the line leaves whole, with no runtime buffering.
void WriteStandardOutput(const char* bytes, std::size_t count) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes, static_cast<DWORD>(count), &written,
                nullptr);
}

}  // namespace os
