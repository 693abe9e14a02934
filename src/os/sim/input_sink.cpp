// The simulated input stream and text conversion.
#include "os/sim/sim.h"

namespace os {

using sim::Current;


uint32_t SendInput(uint32_t count, const InputRecord* records, int recordSize) {
    if (recordSize != static_cast<int>(sizeof(InputRecord))) return 0;
    for (uint32_t i = 0; i < count; ++i) Current().input.events.push_back(records[i]);
    return count;
}

int MultiByteToWideChar(uint32_t, uint32_t, const char*, int, WideChar*, int) { return 0; }

}  // namespace os
