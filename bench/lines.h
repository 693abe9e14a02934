// The host lines the benchmarks and the idle-cost host send, built once, outside any timing.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// A DualShock 4 `input` line as a phone host writes it: the required fields as above with the
// centre button as a 17th, then the pad, the phone's gyro (degrees per second) and accelerometer
// (m/s^2, gravity included) readings and two fingers on the touchpad. About 330 bytes.
inline std::string Ds4InputLine(int player) {
    return "{\"type\":\"input\",\"player\":" + std::to_string(player) +
           ",\"axes\":[0.003921568859368563,-0.5019607843137255,0.25,-1],"
           "\"buttons\":[1,0,0.5,0,0.25,0,0.7490196228027344,0.12549019607843137,0,0,0.75,0,0.5,"
           "1,0.125,0.0392156862745098,0],\"pad\":\"dualshock4\","
           "\"gyro\":[12.345678901234567,-0.8726646259971648,151.3],"
           "\"accel\":[0.11970000714063644,9.806650161743164,-0.4788000285625458],"
           "\"touch\":[0.25,0.5,0.7490196228027344,0.12549019607843137]}";
}

// The same shapes with values that change from line to line, as a moving controller gives:
// float32 readings widened to double and printed shortest (mostly 16 to 18 digits), drawn from a
// fixed sequence so every run sees the same lines.
inline std::vector<std::string> VaryingInputLines(std::size_t count, bool dualShock4 = false) {
    std::vector<std::string> lines;
    uint32_t state = 12345;
    auto next = [&state](double low, double high) {
        state = state * 1664525u + 1013904223u;
        const auto reading = static_cast<float>(low + (high - low) * (state >> 8) / 16777216.0);
        char text[40];
        const auto result = std::to_chars(text, text + sizeof text, static_cast<double>(reading));
        return std::string(text, result.ptr);
    };
    for (std::size_t i = 0; i < count; ++i) {
        std::string line =
            "{\"type\":\"input\",\"player\":" + std::to_string(i % 8) + ",\"axes\":[";
        for (int k = 0; k < 4; ++k) line += (k ? "," : "") + next(-1, 1);
        line += "],\"buttons\":[";
        for (int k = 0; k < (dualShock4 ? 17 : 16); ++k)
            line += (k ? "," : "") + (k % 4 == 3 ? next(0, 1) : "0");
        if (!dualShock4) {
            line += "],\"mapping\":\"standard\",\"timestamp\":1733560000123.4}";
            lines.push_back(line);
            continue;
        }
        line += "],\"pad\":\"dualshock4\",\"gyro\":[";
        for (int k = 0; k < 3; ++k) line += (k ? "," : "") + next(-500, 500);
        line += "],\"accel\":[";
        for (int k = 0; k < 3; ++k) line += (k ? "," : "") + next(-20, 20);
        line += "],\"touch\":[";
        for (int k = 0; k < 4; ++k) line += (k ? "," : "") + next(0, 1);
        lines.push_back(line + "]}");
    }
    return lines;
}

inline const char* const kPermissionLine = "{\"type\":\"system-permission\",\"enabled\":true}";
inline const char* const kMoveLine = "{\"type\":\"system\",\"action\":\"move\",\"x\":12,\"y\":-7}";
// A press of the key-name table's last row, so the lookup reads the whole table.
inline const char* const kKeyLine =
    "{\"type\":\"system\",\"action\":\"key\",\"key\":\"Slash\",\"down\":true}";

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
