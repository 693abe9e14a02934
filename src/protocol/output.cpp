#include "protocol/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "os/os.h"
#include "version.h"

namespace padbridge {
namespace {

// Stored formats end in a line feed; stored fixed lines get theirs from the write, as puts would.
constexpr const char kCapabilitiesFormat[] =
    "{\"type\":\"capabilities\",\"os\":\"Windows\",\"gamepadBackend\":\"%s\",\"vigemBus\":\"%s\","
    "\"gamepadAvailable\":%s,\"textInput\":true,\"systemEnabled\":%s}\n";
constexpr const char kDeviceCreatedFormat[] =
    "{\"type\":\"device\",\"player\":%d,\"created\":true,\"backend\":\"%s\"}\n";
constexpr const char kDeviceRemovedFormat[] =
    "{\"type\":\"device\",\"player\":%d,\"created\":false}\n";
constexpr const char kRumbleFormat[] =
    "{\"type\":\"rumble\",\"player\":%d,\"low\":%.6f,\"high\":%.6f}\n";
constexpr const char kLightbarFormat[] =
    "{\"type\":\"lightbar\",\"player\":%d,\"red\":%d,\"green\":%d,\"blue\":%d}\n";
constexpr const char kPlayerErrorFormat[] =
    "{\"type\":\"error\",\"player\":%d,\"code\":\"%s\",\"win32Error\":%lu}\n";
constexpr const char kSystemPermissionFormat[] =
    "{\"type\":\"system-permission\",\"enabled\":%s}\n";

constexpr const char kDriverRequiredLine[] =
    "{\"type\":\"error\",\"code\":\"driver_required\",\"message\":\"Install the Xbox controller "
    "driver on this computer. Game keys still work.\"}";
constexpr const char kVjoyConfigurationLine[] =
    "{\"type\":\"error\",\"code\":\"vjoy_configuration_required\",\"message\":\"Configure this "
    "vJoy "
    "device with 10 buttons, X/Y/Rx/Ry/Z/Rz axes and a continuous POV.\"}";
constexpr const char kVjoyConfigurationShortLine[] =
    "{\"type\":\"error\",\"code\":\"vjoy_configuration_required\"}";
constexpr const char kVjoyBusyLine[] =
    "{\"type\":\"error\",\"code\":\"vjoy_busy\",\"message\":\"The vJoy device is in use by another "
    "feeder.\"}";
constexpr const char kSelfTestLine[] = "{\"type\":\"self-test\",\"ok\":true}";
constexpr const char kVersionLine[] =
    "{\"type\":\"version\",\"version\":\"" PADBRIDGE_VERSION "\"}";

constexpr std::size_t kMaxLineText = 256;  // longer than every line above, with its values

const char* JsonBool(bool value) {
    return value ? "true" : "false";
}

// Standard output is a text-mode stream: each line feed goes out as CR LF. The whole line is
// translated into one buffer and handed to the system in one write, so it arrives whole.
void WriteTextMode(const char* text, std::size_t length) {
    char wire[2 * kMaxLineText];
    std::size_t count = 0;
    for (std::size_t i = 0; i < length && count + 2 <= sizeof wire; ++i) {
        if (text[i] == '\n') wire[count++] = '\r';
        wire[count++] = text[i];
    }
    os::WriteStandardOutput(wire, count);
}

void WriteFixed(const char* line) {
    char text[kMaxLineText + 1];
    const std::size_t length = std::strlen(line);
    std::memcpy(text, line, length);
    text[length] = '\n';
    WriteTextMode(text, length + 1);
}

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void WriteFormatted(const char* format, ...) {
    char text[kMaxLineText];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length <= 0) return;
    WriteTextMode(text, static_cast<std::size_t>(length) < sizeof text
                            ? static_cast<std::size_t>(length)
                            : sizeof text - 1);
}

}  // namespace

void WriteCapabilities(const char* gamepadBackend, const char* vigemBus, bool gamepadAvailable,
                       bool systemEnabled) {
    WriteFormatted(kCapabilitiesFormat, gamepadBackend, vigemBus, JsonBool(gamepadAvailable),
                   JsonBool(systemEnabled));
}

void WriteDeviceCreated(int player, const char* backend) {
    WriteFormatted(kDeviceCreatedFormat, player, backend);
}

void WriteDeviceRemoved(int player) {
    WriteFormatted(kDeviceRemovedFormat, player);
}

void WriteRumble(int player, uint8_t low, uint8_t high) {
    WriteFormatted(kRumbleFormat, player, static_cast<double>(low) / 255.0,
                   static_cast<double>(high) / 255.0);
}

void WriteLightbar(int player, uint8_t red, uint8_t green, uint8_t blue) {
    WriteFormatted(kLightbarFormat, player, red, green, blue);
}

void WritePlayerError(int player, const char* code, uint32_t win32Error) {
    WriteFormatted(kPlayerErrorFormat, player, code, static_cast<unsigned long>(win32Error));
}

void WriteDriverRequired() {
    WriteFixed(kDriverRequiredLine);
}
void WriteVjoyConfigurationRequired() {
    WriteFixed(kVjoyConfigurationLine);
}
void WriteVjoyConfigurationRequiredShort() {
    WriteFixed(kVjoyConfigurationShortLine);
}
void WriteVjoyBusy() {
    WriteFixed(kVjoyBusyLine);
}
void WriteSystemPermission(bool enabled) {
    WriteFormatted(kSystemPermissionFormat, JsonBool(enabled));
}
void WriteSelfTestPassed() {
    WriteFixed(kSelfTestLine);
}
void WriteVersion() {
    WriteFixed(kVersionLine);
}

}  // namespace padbridge
