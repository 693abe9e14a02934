// Sessions with vJoy as the backend: the library installed where the bridge looks for it, and
// the calls it made, split into the queries and the writes.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace padbridge::test {

inline const char16_t* const kVjoyPath = u"C:\\Program Files\\vJoy\\x64\\vJoyInterface.dll";

// Installs the library double under ProgramFiles, where the start-up probe finds it.
inline void InstallVjoy() {
    sim::SetEnvironment(u"ProgramFiles", u"C:\\Program Files");
    sim::Current().vjoy.installedPath = kVjoyPath;
}

// Every call but the probe's vJoyEnabled, in order.
inline std::vector<std::string> PadCalls() {
    std::vector<std::string> words;
    for (const sim::VjoyCall& call : sim::Current().vjoy.calls) {
        if (call.name != "vJoyEnabled") words.push_back(sim::Describe(call));
    }
    return words;
}

// Only the calls that change something: acquire, relinquish and the three writes.
inline std::vector<std::string> PadWrites() {
    std::vector<std::string> words;
    for (const sim::VjoyCall& call : sim::Current().vjoy.calls) {
        if (call.name.rfind("Get", 0) != 0 && call.name != "vJoyEnabled") {
            words.push_back(sim::Describe(call));
        }
    }
    return words;
}

// Sixteen buttons, all released except the ones given as {index, value}.
inline std::vector<double> Buttons(std::vector<std::pair<int, double>> pressed = {}) {
    std::vector<double> buttons(16, 0.0);
    for (const auto& [index, value] : pressed) buttons[static_cast<std::size_t>(index)] = value;
    return buttons;
}

}  // namespace padbridge::test
