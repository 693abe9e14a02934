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
inline constexpr uint32_t kMouseEventMiddleDown = 0x20;
inline constexpr uint32_t kMouseEventMiddleUp = 0x40;
inline constexpr uint32_t kMouseEventXDown = 0x80;
inline constexpr uint32_t kMouseEventXUp = 0x100;
inline constexpr uint32_t kMouseEventWheel = 0x800;
inline constexpr uint32_t kMouseEventHWheel = 0x1000;
inline constexpr uint32_t kMouseEventVirtualDesk = 0x4000;
inline constexpr uint32_t kMouseEventAbsolute = 0x8000;
// mouseData of an X button event: which side button.
inline constexpr uint32_t kXButton1 = 0x1;
inline constexpr uint32_t kXButton2 = 0x2;

// The mouse buttons the bridge can hold down, in the order release-all lets them go.
enum MouseButton : int {
    kButtonLeft,
    kButtonRight,
    kButtonMiddle,
    kButtonBack,     // the first side button, XBUTTON1
    kButtonForward,  // the second side button, XBUTTON2
    kMouseButtonCount,
};

// What SendInput did with a call: how many of its events it inserted (the events after that many
// were refused) and, when it inserted fewer than it was given, GetLastError right after it (5 while
// a secure desktop is up; 0 when it said nothing). Events that User Interface Privilege Isolation
// drops count as accepted: nothing shows them.
struct Sent {
    uint32_t accepted;
    uint32_t win32Error;
};

// One zero-filled keyboard or mouse record per SendInput call, so accepted is 1 or 0.
Sent SendKeyboardEvent(uint16_t virtualKey, uint16_t scanCode, uint32_t flags);
Sent SendMouseEvent(int32_t dx, int32_t dy, uint32_t mouseData, uint32_t flags);
// One press or release of `button` at the pointer's position: its own down or up flag, and for
// a side button, which one in mouseData.
Sent SendMouseButton(MouseButton button, bool down);

}  // namespace padbridge
