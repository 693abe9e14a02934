#include "os/win32/win32.h"

namespace os {

bool QueryPerformanceCounter(int64_t* count) {
    LARGE_INTEGER value;
    const bool ok = ::QueryPerformanceCounter(&value) != 0;
    *count = ok ? value.QuadPart : 0;
    return ok;
}

bool QueryPerformanceFrequency(int64_t* frequency) {
    LARGE_INTEGER value;
    const bool ok = ::QueryPerformanceFrequency(&value) != 0;
    *frequency = ok ? value.QuadPart : 0;
    return ok;
}

}  // namespace os
