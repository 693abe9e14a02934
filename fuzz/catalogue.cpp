// Each form is written once, with %-markers for the placeholders:
//   %P a player 0..7        %T true or false       %F a byte / 255 with six decimals
//   %U a Win32 error code   %B gamepadBackend word  %S vigemBus word   %C player error code
//   %D a byte 0..255 in decimal
#include "catalogue.h"

#include <cstdio>
#include <cstring>

namespace fuzz {
namespace {

const char* const kForms[] = {
    "{\"type\":\"capabilities\",\"os\":\"Windows\",\"gamepadBackend\":\"%B\",\"vigemBus\":\"%S\","
    "\"gamepadAvailable\":%T,\"textInput\":true,\"systemEnabled\":%T}",
    "{\"type\":\"device\",\"player\":%P,\"created\":true,\"backend\":\"Xbox 360 (ViGEmBus)\"}",
    "{\"type\":\"device\",\"player\":%P,\"created\":true,\"backend\":\"vJoy DirectInput\"}",
    "{\"type\":\"device\",\"player\":%P,\"created\":true,\"backend\":\"DualShock 4 "
    "(ViGEmBus)\"}",
    "{\"type\":\"device\",\"player\":%P,\"created\":false}",
    "{\"type\":\"rumble\",\"player\":%P,\"low\":%F,\"high\":%F}",
    "{\"type\":\"lightbar\",\"player\":%P,\"red\":%D,\"green\":%D,\"blue\":%D}",
    "{\"type\":\"error\",\"player\":%P,\"code\":\"%C\",\"win32Error\":%U}",
    "{\"type\":\"error\",\"code\":\"driver_required\",\"message\":\"Install the Xbox controller "
    "driver on this computer. Game keys still work.\"}",
    "{\"type\":\"error\",\"code\":\"vjoy_configuration_required\",\"message\":\"Configure this "
    "vJoy "
    "device with 10 buttons, X/Y/Rx/Ry/Z/Rz axes and a continuous POV.\"}",
    "{\"type\":\"error\",\"code\":\"vjoy_configuration_required\"}",
    "{\"type\":\"error\",\"code\":\"vjoy_busy\",\"message\":\"The vJoy device is in use by another "
    "feeder.\"}",
    "{\"type\":\"system-permission\",\"enabled\":%T}",
};

const char* const kBackends[] = {"Xbox 360 (ViGEmBus)", "vJoy DirectInput",
                                 "No gamepad driver installed", nullptr};
const char* const kStatuses[] = {"missing", "unavailable", "incompatible", "ready", nullptr};
const char* const kBools[] = {"true", "false", nullptr};
const char* const kCodes[] = {"gamepad_create_failed",      "gamepad_update_failed",
                              "gamepad_remove_failed",      "gamepad_rumble_unavailable",
                              "gamepad_motion_unavailable", nullptr};

// Length of the first word of `words` that starts `text`, or 0.
std::size_t MatchWord(const char* text, const char* const* words) {
    for (; *words != nullptr; ++words) {
        const std::size_t length = std::strlen(*words);
        if (std::strncmp(text, *words, length) == 0) return length;
    }
    return 0;
}

std::size_t MatchFraction(const char* text) {
    for (int byte = 0; byte < 256; ++byte) {
        char expected[16];
        std::snprintf(expected, sizeof expected, "%.6f", byte / 255.0);
        const std::size_t length = std::strlen(expected);
        if (std::strncmp(text, expected, length) == 0) return length;
    }
    return 0;
}

std::size_t MatchByte(const char* text) {
    std::size_t length = 0;
    unsigned value = 0;
    while (text[length] >= '0' && text[length] <= '9' && length < 4) {
        value = value * 10 + static_cast<unsigned>(text[length] - '0');
        ++length;
    }
    if (length == 0 || (length > 1 && text[0] == '0') || value > 255) return 0;
    return length;
}

std::size_t MatchErrorCode(const char* text) {
    std::size_t length = 0;
    unsigned long long value = 0;
    while (text[length] >= '0' && text[length] <= '9' && length < 11) {
        value = value * 10 + static_cast<unsigned>(text[length] - '0');
        ++length;
    }
    if (length == 0 || (length > 1 && text[0] == '0') || value > 0xFFFFFFFFull) return 0;
    return length;
}

// Matches one form; the words taken by %B, %S and the two %T are handed back for the
// capabilities check.
bool MatchForm(const char* form, const char* text, const char** words, int* wordCount) {
    while (*form != '\0') {
        if (*form != '%') {
            if (*form++ != *text++) return false;
            continue;
        }
        std::size_t length = 0;
        switch (form[1]) {
            case 'P':
                length = (*text >= '0' && *text <= '7') ? 1 : 0;
                break;
            case 'T':
                length = MatchWord(text, kBools);
                break;
            case 'F':
                length = MatchFraction(text);
                break;
            case 'U':
                length = MatchErrorCode(text);
                break;
            case 'D':
                length = MatchByte(text);
                break;
            case 'B':
                length = MatchWord(text, kBackends);
                break;
            case 'S':
                length = MatchWord(text, kStatuses);
                break;
            case 'C':
                length = MatchWord(text, kCodes);
                break;
            default:
                return false;
        }
        if (length == 0) return false;
        if (form[1] != 'P' && *wordCount < 4) words[(*wordCount)++] = text;
        text += length;
        form += 2;
    }
    return *text == '\0';
}

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The backend is the bus exactly when the bus is ready, and a pad is available exactly when
// some backend is.
bool CapabilitiesAgree(const char* const* words) {
    const bool vigem = StartsWith(words[0], "Xbox");
    const bool none = StartsWith(words[0], "No gamepad");
    const bool ready = StartsWith(words[1], "ready");
    const bool available = StartsWith(words[2], "true");
    return vigem == ready && available == !none;
}

}  // namespace

bool IsCatalogueLine(const std::string& line) {
    if (line.find('\0') != std::string::npos) return false;
    for (std::size_t i = 0; i < sizeof kForms / sizeof kForms[0]; ++i) {
        const char* words[4] = {};
        int wordCount = 0;
        if (!MatchForm(kForms[i], line.c_str(), words, &wordCount)) continue;
        return i != 0 || CapabilitiesAgree(words);
    }
    return false;
}

}  // namespace fuzz
