// The `system` line: pointer, wheel, mouse buttons, named keys and Unicode text.
#pragma once

#include <cstdint>

namespace padbridge {

struct SystemControl;

// Called only while desktop control is granted. Every line with a readable `action` counts as a
// heartbeat, whatever the action.
void HandleSystem(SystemControl& control, const char* line);

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
