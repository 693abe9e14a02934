// One `input` line to a GamepadFrame three ways: the bridge's own field readers, simdjson's
// on-demand API and nlohmann::json. Each extracts the same fields (type, player, 4 axes, 16
// buttons), applies the same checks (type "input", player whole in 0..7, exact element counts,
// finite numbers) and the same clamping, so their times compare like for like.
//
// The bridge's route also looks for the optional DualShock 4 fields; ParseWithSimdjson does not,
// which makes the Xbox line's comparison a strict one. ParseDs4WithSimdjson extracts every field
// the bridge reads (16 to 18 buttons, `pad`, `gyro`, `accel`, `touch`) with the bridge's checks.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <string>

#include "gamepad/input.h"

namespace bench {

bool ParseWithFieldReaders(const char* line, padbridge::GamepadFrame* frame, int* player);

// `padded` holds the line followed by at least simdjson's padding.
bool ParseWithSimdjson(simdjson::ondemand::parser& parser, const std::string& padded,
                       std::size_t length, padbridge::GamepadFrame* frame, int* player);

bool ParseDs4WithSimdjson(simdjson::ondemand::parser& parser, const std::string& padded,
                          std::size_t length, padbridge::GamepadFrame* frame, int* player);

bool ParseWithNlohmann(const std::string& line, padbridge::GamepadFrame* frame, int* player);

}  // namespace bench
