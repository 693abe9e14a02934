#include "desktop/events.h"

#include <cstring>

#include "os/os.h"
#include "trace/trace.h"

namespace padbridge {
namespace {

constexpr uint32_t kInputMouse = 0;
constexpr uint32_t kInputKeyboard = 1;

// Every byte starts at zero, padding and the unused members included: time and extra info stay 0.
// Filled in place: a copy need not carry the padding bytes along.
void ZeroRecord(os::InputRecord* record, uint32_t type) {
    std::memset(record, 0, sizeof *record);
    record->type = type;
}

struct ButtonFlags {
    uint32_t down;
    uint32_t up;
    uint32_t mouseData;
};

// Indexed by MouseButton.
constexpr ButtonFlags kButtonFlags[kMouseButtonCount] = {
    {kMouseEventLeftDown, kMouseEventLeftUp, 0},     {kMouseEventRightDown, kMouseEventRightUp, 0},
    {kMouseEventMiddleDown, kMouseEventMiddleUp, 0}, {kMouseEventXDown, kMouseEventXUp, kXButton1},
    {kMouseEventXDown, kMouseEventXUp, kXButton2},
};

Sent SendOne(const os::InputRecord& record) {
    const uint32_t accepted = os::SendInput(1, &record, static_cast<int>(sizeof record));
    TraceInput(record, accepted);
    return {accepted, accepted < 1 ? os::GetLastError() : 0};
}

}  // namespace

Sent SendKeyboardEvent(uint16_t virtualKey, uint16_t scanCode, uint32_t flags) {
    os::InputRecord record;
    ZeroRecord(&record, kInputKeyboard);
    record.ki.wVk = virtualKey;
    record.ki.wScan = scanCode;
    record.ki.dwFlags = flags;
    return SendOne(record);
}

Sent SendMouseEvent(int32_t dx, int32_t dy, uint32_t mouseData, uint32_t flags) {
    os::InputRecord record;
    ZeroRecord(&record, kInputMouse);
    record.mi.dx = dx;
    record.mi.dy = dy;
    record.mi.mouseData = mouseData;
    record.mi.dwFlags = flags;
    return SendOne(record);
}

Sent SendMouseButton(MouseButton button, bool down) {
    const ButtonFlags& flags = kButtonFlags[button];
    return SendMouseEvent(0, 0, flags.mouseData, down ? flags.down : flags.up);
}

}  // namespace padbridge
