// The floor for the latency benchmark on the bus: the least a feeder can do between a host's
// line and the SubmitReport it causes. It plugs in pad 1 on our stand-in bus driver, then blocks
// in ReadFile on standard input and, for every line, submits one report carrying the line's first
// axis; nothing else. Usage: bus_floor (in the prefix where the stand-in bus runs)
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bus_client.h"

namespace {

void PutU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

int main() {
    bus::Control control;
    if (!control.ok()) return 2;
    uint8_t plugIn[16] = {};
    PutU32(plugIn, 16);
    PutU32(plugIn + 4, 1);
    uint8_t serial[8] = {};
    PutU32(serial, 8);
    PutU32(serial + 4, 1);
    if (control.Send(bus::kPlugIn, plugIn, sizeof plugIn, nullptr, 0) != 0 ||
        control.Send(bus::kWaitReady, serial, sizeof serial, nullptr, 0) != 0)
        return 2;

    static char buffer[65536];
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD filled = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(input, buffer + filled, sizeof buffer - filled - 1, &got, nullptr) ||
            got == 0)
            break;
        filled += got;
        buffer[filled] = '\0';
        char* line = buffer;
        for (char* end; (end = std::strchr(line, '\n')) != nullptr; line = end + 1) {
            const char* axes = std::strstr(line, "\"axes\":[");
            if (axes == nullptr || axes > end) continue;
            uint8_t report[20] = {};
            PutU32(report, 20);
            PutU32(report + 4, 1);
            const auto x = static_cast<int16_t>(std::strtod(axes + 8, nullptr) * 32767.0);
            report[12] = static_cast<uint8_t>(x);
            report[13] = static_cast<uint8_t>(static_cast<uint16_t>(x) >> 8);
            control.Send(bus::kSubmitReport, report, sizeof report, nullptr, 0);
        }
        filled -= static_cast<DWORD>(line - buffer);
        std::memmove(buffer, line, filled);
    }
    control.Send(bus::kUnplug, serial, sizeof serial, nullptr, 0);
    return 0;
}
