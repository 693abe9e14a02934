// The simulated input stream: every SendInput call and every event it carried, byte for byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "os/os.h"

namespace sim {

// One event as it was handed over: the 40 bytes of the record, so a test also sees whether the
// bridge zero-filled it; the virtual time of the call; and how much output came before it, so a
// test can order events against output lines.
struct InjectedEvent {
    uint64_t at;               // milliseconds after the start
    std::size_t outputBefore;  // bytes handed to standard output before the call
    uint8_t bytes[sizeof(os::InputRecord)];
};

struct SendInputCall {
    uint32_t count;
    int recordSize;
};

// The scan code of each virtual key on a US keyboard layout, as MapVirtualKeyW gives it for
// MAPVK_VK_TO_VSC (the values Wine 8 gives): the set-1 make code without its E0 prefix, 0 for a
// key the layout has none for. PrintScreen gives SysRq's 0x54 and Pause gives 0.
std::array<uint16_t, 256> UsLayoutScanCodes();

// A rectangle of the desktop in screen pixels: the virtual desktop around every monitor, or one
// monitor. Its left and top may be negative (a monitor left of or above the primary one).
struct ScreenRect {
    int32_t left;
    int32_t top;
    int32_t width;
    int32_t height;
};

struct ScreenPoint {
    int32_t x;
    int32_t y;
};

// A while in which SendInput inserts nothing, as while a secure desktop (a UAC prompt, the lock
// screen) is the input desktop: from `from` up to, not including, `until` (milliseconds after the
// start), every call returns 0 and leaves `win32Error` for GetLastError (0: it says nothing).
struct Refusal {
    uint64_t from;
    uint64_t until;
    uint32_t win32Error = 5;  // ERROR_ACCESS_DENIED
};

struct InputSink {
    std::vector<SendInputCall> calls;
    std::vector<InjectedEvent> events;  // events the system accepted, in order
    bool refuse = false;  // SendInput accepts nothing (as when a secure desktop is up)
    std::vector<Refusal> refusals;
    // SendInput call number (0-based) -> how long that call blocks after its events are taken,
    // as it does while a low-level hook answers late.
    std::map<uint32_t, uint64_t> slowCalls;
    // The current keyboard layout, indexed by virtual key; a test may change it at any point.
    std::array<uint16_t, 256> scanCodes = UsLayoutScanCodes();
    // Where accepted mouse moves put the pointer. An absolute move maps 0..65535 onto the virtual
    // desktop with MOUSEEVENTF_VIRTUALDESK, else onto the primary monitor, as pixel =
    // left + coordinate × size / 65536 rounded down (what Wine does); a relative move adds its
    // motion as it is (no pointer acceleration). The pointer always stays on the virtual desktop;
    // gaps between monitors of different sizes are not modelled.
    ScreenRect virtualDesktop{0, 0, 1920, 1080};
    ScreenRect primaryMonitor{0, 0, 1920, 1080};
    ScreenPoint cursor{960, 540};
};

// Readable forms, one per event, naming every field:
//   "key vk=0x51 scan=0x0000 flags=0x0"  keyboard
//   "mouse dx=200 dy=-3 data=-120 flags=0x800"  mouse (data read as signed)
// A record with a nonzero byte outside its named members gets " dirty" appended; one of an unknown
// type reads "type=N".
std::string DescribeEvent(const InjectedEvent& event);
std::string KeyEvent(uint16_t vk, uint16_t scan, uint32_t flags);
std::string MouseEvent(int32_t dx, int32_t dy, int32_t data, uint32_t flags);

// Every accepted event of the current machine, described.
std::vector<std::string> InjectedEvents();

}  // namespace sim
