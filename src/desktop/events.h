// Single synthetic input events, each handed to the system on its own.
#pragma once

#include <cstdint>

namespace padbridge {

// Keyboard flags and mouse flags of the INPUT record.
inline constexpr uint32_t kKeyEventExtendedKey = 0x1;
inline constexpr uint32_t kKeyEventKeyUp = 0x2;
inline constexpr uint32_t kKeyEventUnicode = 0x4;
inline constexpr uint32_t kMouseEventMove = 0x1;
inline constexpr uint32_t kMouseEventLeftDown = 0x2;
inline constexpr uint32_t kMouseEventLeftUp = 0x4;
inline constexpr uint32_t kMouseEventRightDown = 0x8;
inline constexpr uint32_t kMouseEventRightUp = 0x10;
inline constexpr uint32_t kMouseEventWheel = 0x800;

// One zero-filled keyboard or mouse record per SendInput call. What the system makes of it is not
// our concern: the result is not looked at.
void SendKeyboardEvent(uint16_t virtualKey, uint16_t scanCode, uint32_t flags);
void SendMouseEvent(int32_t dx, int32_t dy, uint32_t mouseData, uint32_t flags);

}  // namespace padbridge
