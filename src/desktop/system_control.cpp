#include "desktop/system_control.h"

#include "os/os.h"
#include "protocol/fields.h"
#include "protocol/output.h"

namespace padbridge {

void HandleSystemPermission(SystemControl& control, const char* line) {
    (void)control;
    (void)line;
}

void HandleSystemHeartbeat(SystemControl& control) { RefreshHeartbeat(control); }

void RefreshHeartbeat(SystemControl& control) { control.heartbeatTick = os::GetTickCount64(); }

void RunHeartbeatWatchdog(SystemControl& control, uint64_t now) {
    (void)control;
    (void)now;
}

void ReleaseAll(SystemControl& control) { (void)control; }

}  // namespace padbridge
