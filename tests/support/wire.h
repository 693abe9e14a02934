// The exact lines padbridge prints, each built in one place for every kind of test: the unit and
// scenario tests, the end-to-end tests under Wine, the stand-in bus driver's tests and the fuzz
// targets. The forms are copied from the table of outbound lines in docs/protocol.md, never taken
// from the program's own writers, so a test agrees with the program only when both follow it.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace padbridge::test {

// The backends a line may name.
inline constexpr char kXbox360[] = "Xbox 360 (ViGEmBus)";
inline constexpr char kDualShock4[] = "DualShock 4 (ViGEmBus)";
inline constexpr char kVjoy[] = "vJoy DirectInput";
inline constexpr char kNoDriver[] = "No gamepad driver installed";

// Each line's text as a printf form, the way the protocol's table writes it; the fuzz targets
// match output against the same forms.
inline constexpr char kCapabilitiesForm[] =
    R"({"type":"capabilities","os":"Windows","gamepadBackend":"%s","vigemBus":"%s",)"
    R"("gamepadAvailable":%s,"textInput":true,"systemEnabled":%s})";
inline constexpr char kDeviceCreatedForm[] =
    R"({"type":"device","player":%d,"created":true,"backend":"%s"})";
inline constexpr char kDeviceRemovedForm[] = R"({"type":"device","player":%d,"created":false})";
inline constexpr char kRumbleForm[] = R"({"type":"rumble","player":%d,"low":%s,"high":%s})";
inline constexpr char kLightbarForm[] =
    R"({"type":"lightbar","player":%d,"red":%d,"green":%d,"blue":%d})";
inline constexpr char kPlayerErrorForm[] =
    R"({"type":"error","player":%d,"code":"%s","win32Error":%u})";
inline constexpr char kPermissionForm[] = R"({"type":"system-permission","enabled":%s})";
inline constexpr char kBlockedForm[] =
    R"({"type":"system-blocked","blocked":true,"win32Error":%u})";
inline constexpr char kVersionForm[] = R"({"type":"version","version":"%s"})";

// The lines that never change.
inline constexpr char kDriverRequired[] =
    R"({"type":"error","code":"driver_required","message":"Install the Xbox controller driver )"
    R"(on this computer. Game keys still work."})";
inline constexpr char kVjoyConfigurationRequired[] =
    R"({"type":"error","code":"vjoy_configuration_required","message":"Configure this vJoy )"
    R"(device with 10 buttons, X/Y/Rx/Ry/Z/Rz axes and a continuous POV."})";
inline constexpr char kVjoyAxisMissing[] =
    R"({"type":"error","code":"vjoy_configuration_required"})";
inline constexpr char kVjoyBusy[] =
    R"({"type":"error","code":"vjoy_busy","message":"The vJoy device is in use by another )"
    R"(feeder."})";
inline constexpr char kSelfTest[] = R"({"type":"self-test","ok":true})";
inline constexpr char kUnblocked[] = R"({"type":"system-blocked","blocked":false})";

// printf into a string; every line fits the buffer.
[[gnu::format(printf, 1, 2)]] inline std::string Format(const char* form, ...) {
    char text[512];
    va_list values;
    va_start(values, form);
    std::vsnprintf(text, sizeof text, form, values);
    va_end(values);
    return text;
}

inline const char* Bool(bool value) {
    return value ? "true" : "false";
}

inline std::string CapabilitiesLine(const char* backend, const char* bus, bool available,
                                    bool systemEnabled) {
    return Format(kCapabilitiesForm, backend, bus, Bool(available), Bool(systemEnabled));
}

inline std::string DeviceCreated(int player, const char* backend = kXbox360) {
    return Format(kDeviceCreatedForm, player, backend);
}

inline std::string DeviceRemoved(int player) {
    return Format(kDeviceRemovedForm, player);
}

// The motor values as the host reads them (six decimals), so a test shows the exact digits.
inline std::string RumbleLine(int player, const char* low, const char* high) {
    return Format(kRumbleForm, player, low, high);
}

inline std::string ZeroRumble(int player) {
    return RumbleLine(player, "0.000000", "0.000000");
}

inline std::string LightbarLine(int player, int red, int green, int blue) {
    return Format(kLightbarForm, player, red, green, blue);
}

inline std::string PlayerError(int player, const char* code, uint32_t win32Error) {
    return Format(kPlayerErrorForm, player, code, win32Error);
}

inline std::string PermissionLine(bool enabled) {
    return Format(kPermissionForm, Bool(enabled));
}

inline std::string BlockedLine(uint32_t win32Error) {
    return Format(kBlockedForm, win32Error);
}

inline std::string VersionLine(const char* version) {
    return Format(kVersionForm, version);
}

// The lines most sessions see.
inline const std::string kNoDriverCapabilities =
    CapabilitiesLine(kNoDriver, "missing", false, false);
inline const std::string kBusReady = CapabilitiesLine(kXbox360, "ready", true, false);
inline const std::string kVjoyCapabilities = CapabilitiesLine(kVjoy, "missing", true, false);
inline const std::string kGranted = PermissionLine(true);
inline const std::string kRefused = PermissionLine(false);

// Lines as the host reads them off the pipe: each ends in CR LF.
template <typename... Lines>
std::string Crlf(const Lines&... lines) {
    return ((std::string(lines) + "\r\n") + ...);
}

}  // namespace padbridge::test
