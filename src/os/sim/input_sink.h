// The simulated input stream: every SendInput call and every event it carried, byte for byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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

struct InputSink {
    std::vector<SendInputCall> calls;
    std::vector<InjectedEvent> events;  // events the system accepted, in order
    bool refuse = false;  // SendInput accepts nothing (as when a secure desktop is up)
    // The current keyboard layout, indexed by virtual key; a test may change it at any point.
    std::array<uint16_t, 256> scanCodes = UsLayoutScanCodes();
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
