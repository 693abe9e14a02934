// Input injection and text conversion: straight through to user32 and kernel32.
#include "os/win32/win32.h"

namespace os {

// The core fills InputRecord; the system reads INPUT. They must agree member by member.
static_assert(offsetof(INPUT, type) == offsetof(InputRecord, type));
static_assert(offsetof(INPUT, ki) == offsetof(InputRecord, ki));
static_assert(offsetof(MOUSEINPUT, dx) == offsetof(MouseInput, dx));
static_assert(offsetof(MOUSEINPUT, dy) == offsetof(MouseInput, dy));
static_assert(offsetof(MOUSEINPUT, mouseData) == offsetof(MouseInput, mouseData));
static_assert(offsetof(MOUSEINPUT, dwFlags) == offsetof(MouseInput, dwFlags));
static_assert(offsetof(MOUSEINPUT, time) == offsetof(MouseInput, time));
static_assert(offsetof(KEYBDINPUT, wVk) == offsetof(KeyboardInput, wVk));
static_assert(offsetof(KEYBDINPUT, wScan) == offsetof(KeyboardInput, wScan));
static_assert(offsetof(KEYBDINPUT, dwFlags) == offsetof(KeyboardInput, dwFlags));
static_assert(offsetof(KEYBDINPUT, time) == offsetof(KeyboardInput, time));
static_assert(sizeof(INPUT) == 40, "the bridge always passes the 64-bit record size");

uint32_t SendInput(uint32_t count, const InputRecord* records, int recordSize) {
    // SendInput only reads the records; its prototype just lacks the const.
    return ::SendInput(count, reinterpret_cast<INPUT*>(const_cast<InputRecord*>(records)),
                       recordSize);
}

uint32_t MapVirtualKeyW(uint32_t code, uint32_t mapType) {
    return ::MapVirtualKeyW(code, mapType);
}

int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* source, int sourceLength,
                        WideChar* destination, int destinationCapacity) {
    return ::MultiByteToWideChar(codePage, flags, source, sourceLength,
                                 reinterpret_cast<wchar_t*>(destination), destinationCapacity);
}

}  // namespace os
