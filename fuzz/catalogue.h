// A checker for the bridge's output: every line must be one of the catalogue's forms.
#pragma once

#include <string>

namespace fuzz {

// True when `line` (without its CR LF) is one of the outbound lines, with every placeholder
// holding a value it may hold: a player 0..7, a motor byte as a fraction of 255, an unsigned
// 32-bit error code, one of the fixed words, and a capabilities line whose fields agree.
bool IsCatalogueLine(const std::string& line);

}  // namespace fuzz
