// The real program's entry point: wide-character arguments straight from the system.
#include "app/bridge.h"

namespace {
padbridge::Bridge bridge;  // the whole process state, zero-initialised, lives until exit
}

int wmain(int argc, wchar_t** argv) {
    static_assert(sizeof(wchar_t) == sizeof(os::WideChar));
    return padbridge::RunBridge(bridge, argc, reinterpret_cast<const os::WideChar* const*>(argv));
}
