// The `system` line: pointer, wheel, mouse buttons, named keys and Unicode text.
#pragma once

#include <cstdint>

namespace padbridge {

struct SystemControl;

// Called only while desktop control is granted. Every line with a readable `action` counts as a
// heartbeat, whatever the action.
void HandleSystem(SystemControl& control, const char* line);

// The virtual-key code for a key name, or 0 for a name we do not know.
uint16_t LookupKey(const char* name);

// One press or release of `code`, recorded in the pressed-key table.
void KeyEvent(SystemControl& control, uint16_t code, bool down);

}  // namespace padbridge
