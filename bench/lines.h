// The host lines the benchmarks and the idle-cost host send, built once, outside any timing.
#pragma once

#include <cstddef>
#include <string>

namespace bench {

// A typical `input` line as a browser host writes it: the standard-gamepad values are float32
// readings widened to double, so most need 16 or 17 significant digits; buttons are analog.
// About 250 bytes.
inline std::string InputLine(int player) {
    return "{\"type\":\"input\",\"player\":" + std::to_string(player) +
           ",\"axes\":[0.003921568859368563,-0.5019607843137255,0.25,-1],"
           "\"buttons\":[1,0,0.5,0,0.25,0,0.7490196228027344,0.12549019607843137,0,0,0.75,0,0.5,"
           "1,0.125,0.0392156862745098],\"mapping\":\"standard\",\"timestamp\":1733560000123.4}";
}

inline const char* const kPermissionLine = "{\"type\":\"system-permission\",\"enabled\":true}";
inline const char* const kMoveLine = "{\"type\":\"system\",\"action\":\"move\",\"x\":12,\"y\":-7}";

// A `text` action carrying the longest text accepted: 1024 bytes.
inline std::string TextLine() {
    std::string text;
    for (std::size_t i = 0; text.size() < 1024; ++i) text += static_cast<char>('a' + i % 26);
    return "{\"type\":\"system\",\"action\":\"text\",\"text\":\"" + text + "\"}";
}

// One byte over the line limit: assembled up to the limit, then dropped with its line feed.
inline std::string JunkLine() {
    return std::string(16385, 'x');
}

}  // namespace bench
