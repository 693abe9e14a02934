#include "gamepad/dualshock4_report.h"

#include <cmath>
#include <cstring>

namespace padbridge {
namespace {

// The calibration the driver's virtual pad reports to games. A game reads
// counts * scale - bias, so the pad sends (counts + bias) / scale.
constexpr double kGyroBias[kMotionAxes] = {1, 0, 0};
constexpr double kGyroScale[kMotionAxes] = {0.977596, 0.972370, 0.971550};
constexpr double kAccelBias[kMotionAxes] = {-297, -42, -512};
constexpr double kAccelScale[kMotionAxes] = {1.010796, 1.014614, 1.024768};
constexpr double kGyroCountsPerDegree = 16.0;
constexpr double kAccelCountsPerG = 8192.0;

constexpr uint8_t kBatteryFull = 0xFF;
constexpr uint8_t kStatusWiredFull = 0x1A;
constexpr uint8_t kTrackingMask = 0x7F;

// Standard-layout buttons behind the report's bits 4..15 (square, cross, circle, triangle, L1,
// R1, L2, R2, share, options, L3, R3).
constexpr int kButtonSources[12] = {2, 0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr int kDpadUp = 12;
constexpr int kDpadDown = 13;
constexpr int kDpadLeft = 14;
constexpr int kDpadRight = 15;

// Hat values by vertical (up 1, none 0, down -1) and horizontal (left -1, none 0, right 1)
// direction: 0 north, then clockwise to 7 north-west, 8 none.
constexpr uint8_t kHat[3][3] = {
    {5, 4, 3},  // down: south-west, south, south-east
    {6, 8, 2},  // level: west, none, east
    {7, 0, 1},  // up: north-west, north, north-east
};

bool Pressed(double value) {
    return value > 0.5;
}

int16_t ClampedCounts(double counts) {
    const double rounded = std::round(counts);  // half away from zero
    if (rounded < -32768.0) return -32768;
    if (rounded > 32767.0) return 32767;
    return static_cast<int16_t>(rounded);
}

uint8_t RoundedByte(double value) {
    const double rounded = std::round(value);
    return static_cast<uint8_t>(rounded < 0 ? 0 : (rounded > 255 ? 255 : rounded));
}

void PutU16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetU32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// Tracking number, then 12-bit x and 12-bit y packed into three bytes.
void PutFinger(const Ds4Finger& finger, uint8_t* out) {
    if (!finger.down) {
        out[0] = ds4::kNoFinger;
        out[1] = out[2] = out[3] = 0;
        return;
    }
    out[0] = static_cast<uint8_t>(finger.tracking & kTrackingMask);
    out[1] = static_cast<uint8_t>(finger.x & 0xFF);
    out[2] = static_cast<uint8_t>((finger.x >> 8) | ((finger.y & 0xF) << 4));
    out[3] = static_cast<uint8_t>(finger.y >> 4);
}

bool SameFingers(const Ds4Finger* a, const Ds4Finger* b) {
    for (int i = 0; i < kMaxFingers; ++i) {
        if (a[i].down != b[i].down) return false;
        if (a[i].down && (a[i].tracking != b[i].tracking || a[i].x != b[i].x || a[i].y != b[i].y))
            return false;
    }
    return true;
}

}  // namespace

int16_t GyroCounts(int axis, double degreesPerSecond) {
    return ClampedCounts((degreesPerSecond * kGyroCountsPerDegree + kGyroBias[axis]) /
                         kGyroScale[axis]);
}

int16_t AccelCounts(int axis, double metresPerSecondSquared) {
    return ClampedCounts(
        (metresPerSecondSquared / kStandardGravity * kAccelCountsPerG + kAccelBias[axis]) /
        kAccelScale[axis]);
}

Ds4State BuildDs4State(const GamepadFrame& frame) {
    Ds4State state{};
    for (int i = 0; i < kAxisCount; ++i) state.sticks[i] = RoundedByte((frame.axes[i] + 1) * 127.5);
    const int vertical = Pressed(frame.buttons[kDpadUp]) - Pressed(frame.buttons[kDpadDown]);
    const int horizontal = Pressed(frame.buttons[kDpadRight]) - Pressed(frame.buttons[kDpadLeft]);
    state.buttons = kHat[vertical + 1][horizontal + 1];
    for (int bit = 0; bit < 12; ++bit) {
        if (Pressed(frame.buttons[kButtonSources[bit]]))
            state.buttons = static_cast<uint16_t>(state.buttons | (1u << (bit + 4)));
    }
    if (Pressed(frame.buttons[kCentreButton])) state.special |= 0x01;
    if (Pressed(frame.buttons[kTouchpadButton])) state.special |= 0x02;
    state.leftTrigger = RoundedByte(frame.buttons[6] * 255.0);
    state.rightTrigger = RoundedByte(frame.buttons[7] * 255.0);
    for (int axis = 0; axis < kMotionAxes; ++axis) {
        state.gyro[axis] = GyroCounts(axis, frame.gyro[axis]);
        state.accel[axis] = AccelCounts(axis, frame.accel[axis]);
    }
    for (int i = 0; i < frame.fingerCount && i < kMaxFingers; ++i) {
        state.fingers[i].x =
            static_cast<uint16_t>(std::round(frame.touch[2 * i] * ds4::kTouchWidth));
        state.fingers[i].y =
            static_cast<uint16_t>(std::round(frame.touch[2 * i + 1] * ds4::kTouchHeight));
    }
    return state;
}

TracedPad ShownDs4Pad(const uint8_t* report) {
    TracedPad pad{"dualshock4", 0, {}, {}};
    const uint16_t bits = static_cast<uint16_t>(report[4] | report[5] << 8);
    for (int vertical = 0; vertical < 3; ++vertical) {
        for (int horizontal = 0; horizontal < 3; ++horizontal) {
            if (kHat[vertical][horizontal] != (bits & 0xF)) continue;
            if (vertical == 2) pad.buttons |= 1U << kDpadUp;
            if (vertical == 0) pad.buttons |= 1U << kDpadDown;
            if (horizontal == 2) pad.buttons |= 1U << kDpadRight;
            if (horizontal == 0) pad.buttons |= 1U << kDpadLeft;
        }
    }
    for (int bit = 0; bit < 12; ++bit) {
        const int source = kButtonSources[bit];
        if (source != 6 && source != 7 && (bits >> (bit + 4) & 1) != 0) pad.buttons |= 1U << source;
    }
    if ((report[6] & 0x01) != 0) pad.buttons |= 1U << kCentreButton;
    if ((report[6] & 0x02) != 0) pad.buttons |= 1U << kTouchpadButton;
    for (int axis = 0; axis < kAxisCount; ++axis)
        pad.axes[axis] = StickFraction(report[axis] - 128, -128, 127);
    pad.triggers[0] = report[7] / 255.0;
    pad.triggers[1] = report[8] / 255.0;
    return pad;
}

void AcceptDs4Frame(Ds4Pad& pad, const GamepadFrame& frame) {
    const Ds4State previous = pad.latest;
    pad.latest = BuildDs4State(frame);
    for (int i = 0; i < frame.fingerCount && i < kMaxFingers; ++i) {
        Ds4Finger& finger = pad.latest.fingers[i];
        finger.down = true;
        if (previous.fingers[i].down) {
            finger.tracking = previous.fingers[i].tracking;
        } else {
            finger.tracking = pad.nextTracking;
            pad.nextTracking = static_cast<uint8_t>((pad.nextTracking + 1) & kTrackingMask);
        }
    }
}

void EncodeDs4Report(const Ds4State& state, uint8_t counter, uint16_t timestamp,
                     uint8_t touchPackets, uint8_t* out) {
    std::memset(out, 0, ds4::kInputReportSize);
    std::memcpy(out, state.sticks, 4);
    PutU16(out + 4, state.buttons);
    out[6] = static_cast<uint8_t>((state.special & 0x03) | (counter & 0x3F) << 2);
    out[7] = state.leftTrigger;
    out[8] = state.rightTrigger;
    PutU16(out + 9, timestamp);
    out[11] = kBatteryFull;
    for (int axis = 0; axis < kMotionAxes; ++axis) {
        PutU16(out + 12 + 2 * axis, static_cast<uint16_t>(state.gyro[axis]));
        PutU16(out + 18 + 2 * axis, static_cast<uint16_t>(state.accel[axis]));
    }
    out[29] = kStatusWiredFull;
    out[32] = 1;  // one touch packet in this report
    out[33] = touchPackets;
    PutFinger(state.fingers[0], out + 34);
    PutFinger(state.fingers[1], out + 38);
    // Two earlier touch packets, unused: a zero counter and two absent fingers each.
    for (int packet = 0; packet < 2; ++packet) {
        uint8_t* p = out + 42 + 9 * packet;
        p[1] = ds4::kNoFinger;
        p[5] = ds4::kNoFinger;
    }
}

uint32_t BuildDs4ReportRecord(Ds4Pad& pad, uint32_t serial, uint64_t nowMicros) {
    if (pad.reportsSent == 0) {
        pad.firstReportMicros = nowMicros;
        pad.touchPackets = 0;
    } else if (!SameFingers(pad.latest.fingers, pad.sentFingers)) {
        ++pad.touchPackets;
    }
    std::memcpy(pad.sentFingers, pad.latest.fingers, sizeof pad.sentFingers);
    // Units of 16/3 us since the pad's first report, wrapping at 16 bits.
    const uint16_t timestamp = static_cast<uint16_t>((nowMicros - pad.firstReportMicros) * 3 / 16);
    const uint8_t counter = static_cast<uint8_t>(pad.reportsSent & 0x3F);
    ++pad.reportsSent;
    std::memset(pad.record, 0, sizeof pad.record);
    PutU32(pad.record, ds4::kFullRecordSize);
    PutU32(pad.record + 4, serial);
    EncodeDs4Report(pad.latest, counter, timestamp, pad.touchPackets, pad.record + 8);
    pad.recordLength = ds4::kFullRecordSize;
    return pad.shortReports ? ShortenDs4ReportRecord(pad) : pad.recordLength;
}

uint32_t ShortenDs4ReportRecord(Ds4Pad& pad) {
    PutU32(pad.record, ds4::kShortRecordSize);
    std::memset(pad.record + 8 + ds4::kShortReportBytes, 0,
                sizeof pad.record - 8 - ds4::kShortReportBytes);
    pad.recordLength = ds4::kShortRecordSize;
    return pad.recordLength;
}

void EncodeDs4FeedbackWait(uint32_t serial, uint8_t* out) {
    std::memset(out, 0, ds4::kFeedbackRecordSize);
    PutU32(out, ds4::kFeedbackRecordSize);
    PutU32(out + 4, serial);
}

Ds4Feedback DecodeDs4Feedback(const uint8_t* in) {
    Ds4Feedback feedback{};
    feedback.size = GetU32(in);
    feedback.serial = GetU32(in + 4);
    feedback.smallMotor = in[8];
    feedback.largeMotor = in[9];
    feedback.red = in[10];
    feedback.green = in[11];
    feedback.blue = in[12];
    return feedback;
}

}  // namespace padbridge
