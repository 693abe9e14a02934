#include "desktop/injection.h"

#include "desktop/system_control.h"

namespace padbridge {

void HandleSystem(SystemControl& control, const char* line) {
    (void)control;
    (void)line;
}

}  // namespace padbridge
