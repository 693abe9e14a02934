// The `system` line: pointer, wheel, mouse buttons, named keys and Unicode text.
#pragma once

#include <cstdint>

namespace padbridge {

struct SystemControl;

// Called only while desktop control is granted, with `stamp`, the tick at which the line arrived.
// Every line with a readable `action` counts as a heartbeat, whatever the action. A press (a key
// or a button down) more than a second old by the time it is handled does nothing.
void HandleSystem(SystemControl& control, const char* line, uint64_t stamp);

// A named key: its Windows virtual key (below 256; 0 for a name we do not know) and whether the
// keyboard sends it with an E0 prefix, which the event marks as an extended key.
struct KeyCode {
    uint16_t virtualKey;
    bool extended;
};

KeyCode LookupKey(const char* name);

// One press or release of `key`, with the layout's scan code, recorded in the pressed-key table.
void KeyEvent(SystemControl& control, KeyCode key, bool down);

}  // namespace padbridge
