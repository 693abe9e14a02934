// Shared by the desktop tests: the grant line and the injected events they expect, in the
// readable form of sim::DescribeEvent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/sim/sim.h"
#include "session.h"

namespace padbridge::test {

using Events = std::vector<std::string>;

inline const char* const kGrant = R"({"type":"system-permission","enabled":true})";

// A plain key's down and up with the scan code of the simulation's US layout.
inline std::string Down(uint16_t vk) {
    return sim::KeyEvent(vk, sim::UsLayoutScanCodes()[vk], 0);
}
inline std::string Up(uint16_t vk) {
    return sim::KeyEvent(vk, sim::UsLayoutScanCodes()[vk], 2);
}
inline const std::string kLeftDown = sim::MouseEvent(0, 0, 0, 0x2);
inline const std::string kLeftUp = sim::MouseEvent(0, 0, 0, 0x4);
inline const std::string kRightDown = sim::MouseEvent(0, 0, 0, 0x8);
inline const std::string kRightUp = sim::MouseEvent(0, 0, 0, 0x10);

inline std::string System(const std::string& fields) {
    return R"({"type":"system",)" + fields + "}";
}

// Grants, sends `lines` at time 0, closes the pipe at 100 and returns every event injected,
// shutdown's releases included.
inline Events Inject(const std::vector<std::string>& lines) {
    Session session;
    sim::SendLine(0, kGrant);
    for (const std::string& line : lines) sim::SendLine(0, line);
    sim::CloseInput(100);
    session.Run();
    return sim::InjectedEvents();
}

inline Events Inject(const std::string& line) {
    return Inject(std::vector<std::string>{line});
}

}  // namespace padbridge::test
