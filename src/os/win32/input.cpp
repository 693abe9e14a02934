// Input injection and text conversion.
#include "os/win32/win32.h"

namespace os {

uint32_t SendInput(uint32_t count, const InputRecord* records, int recordSize) {
    return ::SendInput(count, reinterpret_cast<INPUT*>(const_cast<InputRecord*>(records)), recordSize);
}

int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* source, int sourceLength,
                        WideChar* destination, int destinationCapacity) {
    return ::MultiByteToWideChar(codePage, flags, source, sourceLength,
                                 reinterpret_cast<wchar_t*>(destination), destinationCapacity);
}

}  // namespace os
