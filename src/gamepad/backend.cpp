#include "gamepad/backend.h"

#include "bridge.h"
#include "protocol/output.h"

namespace padbridge {

void ProbeBackend(Bridge& bridge, const os::WideChar* vjoyLibraryPath) {
    (void)vjoyLibraryPath;
    const BackendState& backend = bridge.backend;
    const bool busOpen = backend.busHandle != os::kInvalidHandle;
    const char* name = busOpen ? kBackendVigem : (backend.vjoyAvailable ? kBackendVjoy : kBackendNone);
    WriteCapabilities(name, backend.vigemBus, busOpen || backend.vjoyAvailable,
                      bridge.system.enabled != 0);
}

void CloseBackend(BackendState& backend) {
    if (backend.busHandle != os::kInvalidHandle) {
        os::CloseHandle(backend.busHandle);
        backend.busHandle = os::kInvalidHandle;
    }
    if (backend.vjoyModule != os::kNullHandle) {
        os::FreeLibrary(backend.vjoyModule);
        backend.vjoyModule = os::kNullHandle;
    }
}

}  // namespace padbridge
