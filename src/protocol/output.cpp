#include "protocol/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "os/os.h"
#include "protocol/output_queue.h"
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
static_assert(kMaxWireLine == kMaxLineText + 2, "a queued line holds the longest text, CR, LF");

// The queue of the run in progress, bound by StartOutput and let go by FinishOutput. Outside a run
// (--self-test, --version) lines go straight to the system.
OutputQueue* boundQueue = nullptr;

const char* JsonBool(bool value) {
    return value ? "true" : "false";
}

// Hands the queued lines to the writer, oldest first, until it has no room.
void HandOverQueued(OutputQueue& queue) {
    while (queue.count > 0) {
        const QueuedLine& line = OldestLine(queue);
        if (!os::OfferStandardOutput(line.wire, line.length)) return;
        RemoveOldestLine(queue);
    }
}

// A line goes to the writer at once unless earlier lines still wait for room: then it waits
// behind them, so the host gets the lines in the order they were made.
void Emit(LineKind kind, int player, const char* wire, std::size_t length) {
    if (boundQueue == nullptr) {
        os::OfferStandardOutput(wire, length);
        return;
    }
    HandOverQueued(*boundQueue);
    if (boundQueue->count == 0 && os::OfferStandardOutput(wire, length)) return;
    EnqueueLine(*boundQueue, kind, player, wire, length);
}

// Standard output is a text-mode stream: each line feed goes out as CR LF. The whole line is
// translated into one buffer and handed over in one piece, so it arrives whole.
void WriteTextMode(LineKind kind, int player, const char* text, std::size_t length) {
    char wire[kMaxWireLine];
    std::size_t count = 0;
    for (std::size_t i = 0; i < length && count + 2 <= sizeof wire; ++i) {
        if (text[i] == '\n') wire[count++] = '\r';
        wire[count++] = text[i];
    }
    Emit(kind, player, wire, count);
}

void WriteFixed(LineKind kind, const char* line) {
    char text[kMaxLineText + 1];
    const std::size_t length = std::strlen(line);
    std::memcpy(text, line, length);
    text[length] = '\n';
    WriteTextMode(kind, kLineWithoutPlayer, text, length + 1);
}

#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
void WriteFormatted(LineKind kind, int player, const char* format, ...) {
    char text[kMaxLineText];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length <= 0) return;
    WriteTextMode(kind, player, text,
                  static_cast<std::size_t>(length) < sizeof text ? static_cast<std::size_t>(length)
                                                                 : sizeof text - 1);
}

}  // namespace

void WriteCapabilities(const char* gamepadBackend, const char* vigemBus, bool gamepadAvailable,
                       bool systemEnabled) {
    WriteFormatted(LineKind::kCapabilities, kLineWithoutPlayer, kCapabilitiesFormat, gamepadBackend,
                   vigemBus, JsonBool(gamepadAvailable), JsonBool(systemEnabled));
}

void WriteDeviceCreated(int player, const char* backend) {
    WriteFormatted(LineKind::kLasting, player, kDeviceCreatedFormat, player, backend);
}

void WriteDeviceRemoved(int player) {
    WriteFormatted(LineKind::kLasting, player, kDeviceRemovedFormat, player);
}

void WriteRumble(int player, uint8_t low, uint8_t high) {
    WriteFormatted(LineKind::kRumble, player, kRumbleFormat, player,
                   static_cast<double>(low) / 255.0, static_cast<double>(high) / 255.0);
}

void WriteLightbar(int player, uint8_t red, uint8_t green, uint8_t blue) {
    WriteFormatted(LineKind::kLightbar, player, kLightbarFormat, player, red, green, blue);
}

void WritePlayerError(int player, const char* code, uint32_t win32Error) {
    WriteFormatted(LineKind::kError, player, kPlayerErrorFormat, player, code,
                   static_cast<unsigned long>(win32Error));
}

void WriteDriverRequired() {
    WriteFixed(LineKind::kError, kDriverRequiredLine);
}
void WriteVjoyConfigurationRequired() {
    WriteFixed(LineKind::kError, kVjoyConfigurationLine);
}
void WriteVjoyConfigurationRequiredShort() {
    WriteFixed(LineKind::kError, kVjoyConfigurationShortLine);
}
void WriteVjoyBusy() {
    WriteFixed(LineKind::kError, kVjoyBusyLine);
}
void WriteSystemPermission(bool enabled) {
    WriteFormatted(LineKind::kLasting, kLineWithoutPlayer, kSystemPermissionFormat,
                   JsonBool(enabled));
}
void WriteSelfTestPassed() {
    WriteFixed(LineKind::kLasting, kSelfTestLine);
}
void WriteVersion() {
    WriteFixed(LineKind::kLasting, kVersionLine);
}

void StartOutput(OutputQueue& queue) {
    ResetOutputQueue(queue);
    queue.roomEvent = os::StartOutputWriter();
    boundQueue = &queue;
}

os::Handle OutputRoomEvent() {
    if (boundQueue == nullptr || boundQueue->count == 0) return os::kNullHandle;
    return boundQueue->roomEvent;
}

void PumpOutput() {
    if (boundQueue != nullptr) HandOverQueued(*boundQueue);
}

bool FinishOutput(uint32_t milliseconds) {
    if (boundQueue == nullptr) return true;
    OutputQueue& queue = *boundQueue;
    boundQueue = nullptr;
    const uint64_t deadline = os::GetTickCount64() + milliseconds;
    for (;;) {
        HandOverQueued(queue);
        const uint64_t now = os::GetTickCount64();
        const uint32_t left = deadline > now ? static_cast<uint32_t>(deadline - now) : 0;
        if (queue.count == 0) return os::FlushStandardOutput(left);
        if (left == 0 || queue.roomEvent == os::kNullHandle) return false;
        if (os::WaitForMultipleObjects(1, &queue.roomEvent, left) != os::kWaitObject0) return false;
    }
}

}  // namespace padbridge
