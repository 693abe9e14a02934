// The `system` line: pointer, wheel, mouse buttons, named keys and Unicode text.
#pragma once

namespace padbridge {

struct SystemControl;

void HandleSystem(SystemControl& control, const char* line);

}  // namespace padbridge
