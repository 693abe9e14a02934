#include "protocol/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "os/os.h"
#include "protocol/output_queue.h"
#include "trace/trace.h"
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
constexpr const char kSystemBlockedFormat[] =
    "{\"type\":\"system-blocked\",\"blocked\":true,\"win32Error\":%lu}\n";

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
constexpr const char kSystemUnblockedLine[] = "{\"type\":\"system-blocked\",\"blocked\":false}";
constexpr const char kSelfTestLine[] = "{\"type\":\"self-test\",\"ok\":true}";
constexpr const char kVersionLine[] =
    "{\"type\":\"version\",\"version\":\"" PADBRIDGE_VERSION "\"}";

constexpr std::size_t kMaxLineText = 256;  // longer than every line above, with its values
static_assert(kMaxWireLine == kMaxLineText + 2, "a queued line holds the longest text, CR, LF");

const char* JsonBool(bool value) {
    return value ? "true" : "false";
}

// Hands the queued lines to the writer, oldest first, until it has no room.
void HandOverQueued(OutputQueue& out) {
    while (out.count > 0) {
        const QueuedLine& line = OldestLine(out);
        if (!os::OfferStandardOutput(line.wire, line.length)) return;
        TraceOut(line.wire, line.length);
        RemoveOldestLine(out);
    }
}

// A line goes to the writer at once unless earlier lines still wait for room: then it waits
// behind them, so the host gets the lines in the order they were made.
void Emit(OutputQueue& out, LineKind kind, int player, const char* wire, std::size_t length) {
    if (!out.running) {
        os::OfferStandardOutput(wire, length);
        TraceOut(wire, length);
        return;
    }
    HandOverQueued(out);
    if (out.count == 0 && os::OfferStandardOutput(wire, length)) {
        TraceOut(wire, length);
        return;
    }
    EnqueueLine(out, kind, player, wire, length);
}

// Standard output is a text-mode stream: each line feed goes out as CR LF. The whole line is
// translated into one buffer and handed over in one piece, so it arrives whole.
void WriteTextMode(OutputQueue& out, LineKind kind, int player, const char* text,
                   std::size_t length) {
    char wire[kMaxWireLine];
    std::size_t count = 0;
    for (std::size_t i = 0; i < length && count + 2 <= sizeof wire; ++i) {
        if (text[i] == '\n') wire[count++] = '\r';
        wire[count++] = text[i];
    }
    Emit(out, kind, player, wire, count);
}

void WriteFixed(OutputQueue& out, LineKind kind, const char* line) {
    char text[kMaxLineText + 1];
    const std::size_t length = std::strlen(line);
    std::memcpy(text, line, length);
    text[length] = '\n';
    WriteTextMode(out, kind, kLineWithoutPlayer, text, length + 1);
}

#if defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
void WriteFormatted(OutputQueue& out, LineKind kind, int player, const char* format, ...) {
    char text[kMaxLineText];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length <= 0) return;
    WriteTextMode(out, kind, player, text,
                  static_cast<std::size_t>(length) < sizeof text ? static_cast<std::size_t>(length)
                                                                 : sizeof text - 1);
}

}  // namespace

void WriteCapabilities(OutputQueue& out, const char* gamepadBackend, const char* vigemBus,
                       bool gamepadAvailable, bool systemEnabled) {
    WriteFormatted(out, LineKind::kCapabilities, kLineWithoutPlayer, kCapabilitiesFormat,
                   gamepadBackend, vigemBus, JsonBool(gamepadAvailable), JsonBool(systemEnabled));
}

void WriteDeviceCreated(OutputQueue& out, int player, const char* backend) {
    WriteFormatted(out, LineKind::kLasting, player, kDeviceCreatedFormat, player, backend);
}

void WriteDeviceRemoved(OutputQueue& out, int player) {
    WriteFormatted(out, LineKind::kLasting, player, kDeviceRemovedFormat, player);
}

void WriteRumble(OutputQueue& out, int player, uint8_t low, uint8_t high) {
    WriteFormatted(out, LineKind::kRumble, player, kRumbleFormat, player,
                   static_cast<double>(low) / 255.0, static_cast<double>(high) / 255.0);
}

void WriteLightbar(OutputQueue& out, int player, uint8_t red, uint8_t green, uint8_t blue) {
    WriteFormatted(out, LineKind::kLightbar, player, kLightbarFormat, player, red, green, blue);
}

void WritePlayerError(OutputQueue& out, int player, const char* code, uint32_t win32Error) {
    WriteFormatted(out, LineKind::kError, player, kPlayerErrorFormat, player, code,
                   static_cast<unsigned long>(win32Error));
}

void WriteDriverRequired(OutputQueue& out) {
    WriteFixed(out, LineKind::kError, kDriverRequiredLine);
}
void WriteVjoyConfigurationRequired(OutputQueue& out) {
    WriteFixed(out, LineKind::kError, kVjoyConfigurationLine);
}
void WriteVjoyConfigurationRequiredShort(OutputQueue& out) {
    WriteFixed(out, LineKind::kError, kVjoyConfigurationShortLine);
}
void WriteVjoyBusy(OutputQueue& out) {
    WriteFixed(out, LineKind::kError, kVjoyBusyLine);
}
void WriteSystemPermission(OutputQueue& out, bool enabled) {
    WriteFormatted(out, LineKind::kLasting, kLineWithoutPlayer, kSystemPermissionFormat,
                   JsonBool(enabled));
}
void WriteSystemBlocked(OutputQueue& out, bool blocked, uint32_t win32Error) {
    if (!blocked) {
        WriteFixed(out, LineKind::kLasting, kSystemUnblockedLine);
        return;
    }
    WriteFormatted(out, LineKind::kLasting, kLineWithoutPlayer, kSystemBlockedFormat,
                   static_cast<unsigned long>(win32Error));
}
void WriteSelfTestPassed(OutputQueue& out) {
    WriteFixed(out, LineKind::kLasting, kSelfTestLine);
}
void WriteVersion(OutputQueue& out) {
    WriteFixed(out, LineKind::kLasting, kVersionLine);
}

void StartOutput(OutputQueue& out) {
    ResetOutputQueue(out);
    out.roomEvent = os::StartOutputWriter();
    out.running = true;
}

os::Handle OutputRoomEvent(const OutputQueue& out) {
    return out.running && out.count > 0 ? out.roomEvent : os::kNullHandle;
}

void PumpOutput(OutputQueue& out) {
    if (out.running) HandOverQueued(out);
}

bool OutputMayBlock(const OutputQueue& out) {
    return !out.running || out.roomEvent == os::kNullHandle;
}

bool FinishOutput(OutputQueue& out, uint32_t milliseconds) {
    if (!out.running) return true;
    out.running = false;
    const uint64_t deadline = os::GetTickCount64() + milliseconds;
    for (;;) {
        HandOverQueued(out);
        const uint64_t now = os::GetTickCount64();
        const uint32_t left = deadline > now ? static_cast<uint32_t>(deadline - now) : 0;
        if (out.count == 0) return os::FlushStandardOutput(left);
        if (left == 0 || out.roomEvent == os::kNullHandle) return false;
        if (os::WaitForMultipleObjects(1, &out.roomEvent, left) != os::kWaitObject0) return false;
    }
}

}  // namespace padbridge
