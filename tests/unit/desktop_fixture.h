// Shared by the desktop tests: the grant line and the injected events they expect, in the
// readable form of sim::DescribeEvent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/sim/sim.h"

namespace padbridge::testing {

using Events = std::vector<std::string>;

inline const char* const kGrant = R"({"type":"system-permission","enabled":true})";

inline std::string Down(uint16_t vk) {
    return sim::KeyEvent(vk, 0, 0);
}
inline std::string Up(uint16_t vk) {
    return sim::KeyEvent(vk, 0, 2);
}
inline const std::string kLeftDown = sim::MouseEvent(0, 0, 0, 0x2);
inline const std::string kLeftUp = sim::MouseEvent(0, 0, 0, 0x4);
inline const std::string kRightDown = sim::MouseEvent(0, 0, 0, 0x8);
inline const std::string kRightUp = sim::MouseEvent(0, 0, 0, 0x10);

}  // namespace padbridge::testing
