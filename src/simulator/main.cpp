// padbridge-sim's entry point: the command line of padbridge.exe, plus --sim-backend, then the
// same RunBridge on the simulated PC.
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/os.h"
#include "os/sim/sim.h"
#include "simulator/simulator.h"

namespace {

padbridge::Bridge bridge;  // the whole process state, zero-initialised, lives until exit

constexpr char kBackendMessage[] = "padbridge-sim: --sim-backend must be vigem, vjoy or none\n";

// An argument as the core takes it, UTF-16. A byte that is not part of well-formed UTF-8 becomes
// the unpaired surrogate U+DC00 + byte, which the trace's path gives back as that byte.
std::u16string Widen(const char* argument) {
    std::u16string wide;
    const auto* s = reinterpret_cast<const unsigned char*>(argument);
    while (*s != 0) {
        uint32_t c = *s;
        int length = c < 0x80                 ? 1
                     : c >= 0xC2 && c <= 0xDF ? 2
                     : c >= 0xE0 && c <= 0xEF ? 3
                     : c >= 0xF0 && c <= 0xF4 ? 4
                                              : 0;
        uint32_t value = length == 1 ? c : c & (0x7Fu >> length);
        for (int i = 1; i < length && length > 0; ++i) {
            const unsigned char next = s[i];
            if ((next & 0xC0) != 0x80) {
                length = 0;
                break;
            }
            value = value << 6 | (next & 0x3Fu);
        }
        const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
        const bool outside = value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF);
        if (length == 0 || (length > 1 && (overlong || outside))) {
            wide.push_back(static_cast<char16_t>(0xDC00 + c));
            ++s;
            continue;
        }
        if (value >= 0x10000) {
            wide.push_back(static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10)));
            wide.push_back(static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
        } else {
            wide.push_back(static_cast<char16_t>(value));
        }
        s += length;
    }
    return wide;
}

bool ReadBackend(const char* name, padbridge::simulator::Backend* backend) {
    using padbridge::simulator::Backend;
    if (std::strcmp(name, "vigem") == 0) {
        *backend = Backend::kVigem;
    } else if (std::strcmp(name, "vjoy") == 0) {
        *backend = Backend::kVjoy;
    } else if (std::strcmp(name, "none") == 0) {
        *backend = Backend::kNone;
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using padbridge::simulator::Backend;
    // A host that has gone shows as a failed write, as on Windows, not as the end of the process.
    signal(SIGPIPE, SIG_IGN);
    // --self-test and --version are first-argument-only and run nothing else; otherwise the
    // simulator's own options come out before the core reads the rest. The vJoy model is always
    // the library, so --vjoy-dll and its path are dropped.
    const bool alone = argc >= 2 && (std::strcmp(argv[1], "--self-test") == 0 ||
                                     std::strcmp(argv[1], "--version") == 0);
    Backend backend = Backend::kVigem;
    std::vector<std::u16string> kept;
    for (int i = 0; i < argc; ++i) {
        if (!alone && i > 0 && std::strcmp(argv[i], "--sim-backend") == 0) {
            if (i + 1 >= argc || !ReadBackend(argv[i + 1], &backend)) {
                os::WriteStandardError(kBackendMessage, sizeof kBackendMessage - 1);
                return 2;
            }
            ++i;
        } else if (!alone && i > 0 && std::strcmp(argv[i], "--vjoy-dll") == 0) {
            ++i;
        } else {
            kept.push_back(Widen(argv[i]));
        }
    }
    std::vector<const os::WideChar*> arguments;
    for (const std::u16string& argument : kept) arguments.push_back(argument.c_str());
    arguments.push_back(nullptr);

    padbridge::simulator::InstallBackend(backend);
    bridge.other = {padbridge::simulator::HandleSimLine, &bridge};
    const int code = padbridge::RunBridge(bridge, static_cast<int>(kept.size()), arguments.data());
    // The adapter's threads may still be blocked in a read or a write: the process ends with
    // them, without running destructors under them.
    std::_Exit(code);
}
