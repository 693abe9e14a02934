// Each form is the shared one of the tests (tests/support/wire.h); a letter per conversion says
// what it may hold:
//   P a player 0..7        T true or false       F a byte / 255 with six decimals
//   U a Win32 error code   B gamepadBackend word  S vigemBus word   C player error code
//   D a byte 0..255 in decimal                    K the backend of a pad
#include "catalogue.h"

#include <cstdio>
#include <cstring>

#include "wire.h"

namespace fuzz {
namespace {

namespace test = padbridge::test;

struct Form {
    const char* text;
    const char* values;  // one letter per conversion of `text`, in order
};

const Form kForms[] = {
    {test::kCapabilitiesForm, "BSTT"},
    {test::kDeviceCreatedForm, "PK"},
    {test::kDeviceRemovedForm, "P"},
    {test::kRumbleForm, "PFF"},
    {test::kLightbarForm, "PDDD"},
    {test::kPlayerErrorForm, "PCU"},
    {test::kDriverRequired, ""},
    {test::kVjoyConfigurationRequired, ""},
    {test::kVjoyAxisMissing, ""},
    {test::kVjoyBusy, ""},
    {test::kPermissionForm, "T"},
    {test::kBlockedForm, "U"},
    {test::kUnblocked, ""},
};

const char* const kBackends[] = {test::kXbox360, test::kVjoy, test::kNoDriver, nullptr};
const char* const kPadBackends[] = {test::kXbox360, test::kDualShock4, test::kVjoy, nullptr};
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

// Matches one form; the words taken by B, S and the two T are handed back for the capabilities
// check.
bool MatchForm(const Form& form, const char* text, const char** words, int* wordCount) {
    const char* values = form.values;
    for (const char* at = form.text; *at != '\0';) {
        if (*at != '%') {
            if (*at++ != *text++) return false;
            continue;
        }
        const char value = *values++;
        std::size_t length = 0;
        switch (value) {
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
            case 'K':
                length = MatchWord(text, kPadBackends);
                break;
            default:
                return false;
        }
        if (length == 0) return false;
        if (value != 'P' && *wordCount < 4) words[(*wordCount)++] = text;
        text += length;
        at += 2;  // the forms' conversions are %d, %s and %u
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
