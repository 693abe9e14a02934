// Shared by the DualShock 4 tests: input lines that ask for one, and the reports the simulated
// driver received.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/sim/sim.h"
#include "session.h"
#include "vigem_fixture.h"

namespace padbridge::test {

// An `input` line asking for a DualShock 4, with `extra` fields (such as ,"gyro":[1,2,3])
// inserted after `pad`.
inline std::string Ds4Line(int player, const std::vector<double>& axes = {0, 0, 0, 0},
                           const std::vector<double>& buttons = std::vector<double>(16, 0.0),
                           const std::string& extra = "") {
    std::string line = InputLine(player, axes, buttons);
    line.insert(line.size() - 1, ",\"pad\":\"dualshock4\"" + extra);
    return line;
}

// The DualShock 4 report records the driver received, in order; each as the driver saw it.
inline std::vector<std::vector<uint8_t>> Ds4Records() {
    std::vector<std::vector<uint8_t>> records;
    for (const sim::Request& r : sim::Current().bus.RequestsOf(sim::kSubmitDs4Report))
        records.push_back(r.input);
    return records;
}

// The 63-byte input reports of the full records the driver received.
inline std::vector<std::vector<uint8_t>> Ds4Reports() {
    std::vector<std::vector<uint8_t>> reports;
    for (const std::vector<uint8_t>& record : Ds4Records()) {
        if (record.size() == 71) reports.emplace_back(record.begin() + 8, record.end());
    }
    return reports;
}

inline uint16_t U16At(const std::vector<uint8_t>& bytes, std::size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

inline int16_t I16At(const std::vector<uint8_t>& bytes, std::size_t offset) {
    return static_cast<int16_t>(U16At(bytes, offset));
}

}  // namespace padbridge::test
