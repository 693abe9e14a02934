// The DualShock 4 as the bus driver presents it: the 63-byte input report built from a
// GamepadFrame, the touchpad's tracking numbers and counters, the report records, and the
// feedback record (motors and lightbar) that games send back.
#pragma once

#include <cstdint>

#include "gamepad/input.h"

namespace padbridge {

namespace ds4 {

// Request codes: bus extender device type 0x2A, buffered method.
inline constexpr uint32_t kSubmitReport = 0x2AA80C;
inline constexpr uint32_t kAwaitFeedback = 0x2AA810;

inline constexpr uint32_t kInputReportSize = 63;
inline constexpr uint32_t kFullRecordSize = 71;   // size, serial, the whole input report
inline constexpr uint32_t kShortRecordSize = 20;  // size, serial, 9 report bytes, 3 padding
inline constexpr uint32_t kShortReportBytes = 9;
inline constexpr uint32_t kFeedbackRecordSize = 16;
inline constexpr uint32_t kMaxRecordSize = 72;  // a buffer for either report record

inline constexpr uint8_t kHatNone = 8;
inline constexpr uint8_t kNoFinger = 0x80;
inline constexpr int kTouchWidth = 1919;  // largest x, y of a finger on the touchpad
inline constexpr int kTouchHeight = 942;

}  // namespace ds4

struct Ds4Finger {
    bool down;
    uint8_t tracking;  // 0..127 while down
    uint16_t x;        // 0..kTouchWidth
    uint16_t y;        // 0..kTouchHeight
};

// What one GamepadFrame asks of the pad, everything but the counters and the timestamp.
struct Ds4State {
    uint8_t sticks[4];  // left X, left Y, right X, right Y; 0x80 centred, 0 left/up
    uint16_t buttons;   // hat in bits 0..3, then square, cross, circle, triangle, L1 ... R3
    uint8_t special;    // bit 0 PS, bit 1 touchpad click
    uint8_t leftTrigger;
    uint8_t rightTrigger;
    int16_t gyro[kMotionAxes];   // sensor counts
    int16_t accel[kMotionAxes];  // sensor counts
    Ds4Finger fingers[kMaxFingers];
};

// The DualShock 4 side of one pad: the newest state and the numbers that go on from report to
// report for as long as the pad lives.
struct Ds4Pad {
    Ds4State latest;
    uint8_t nextTracking;  // the tracking number of the next finger that comes down
    uint32_t reportsSent;  // reports built for this pad; the counter is its low 6 bits
    uint64_t firstReportMicros;
    uint8_t touchPackets;                // the touch packet counter of the last report
    Ds4Finger sentFingers[kMaxFingers];  // the fingers of the last report
    bool shortReports;                   // the driver refused the full report: send the short one
    bool fullAccepted;                   // the driver took a full report of this pad
    uint32_t recordLength;               // of the report record in `record`
    uint8_t record[ds4::kMaxRecordSize];
    uint8_t feedbackRecord[ds4::kFeedbackRecordSize];
    uint8_t lightbar[3];  // the colour last printed: red, green, blue
};

// Sensor counts of a pad whose calibration the driver fixes: the host's deg/s or m/s^2 scaled,
// then the calibration undone, rounded half away from zero and clamped to int16.
int16_t GyroCounts(int axis, double degreesPerSecond);
int16_t AccelCounts(int axis, double metresPerSecondSquared);

// The frame's sticks, buttons, triggers, motion and finger positions; every finger up.
Ds4State BuildDs4State(const GamepadFrame& frame);

// The pad as an input report (full or short: both begin the same) shows it, in the standard
// layout: the trace's view of what the driver took. The triggers' own bits are left to the
// triggers.
TracedPad ShownDs4Pad(const uint8_t* report);

// Stores the frame as the pad's newest state. A finger that stays down keeps its tracking
// number; one that comes down takes the next.
void AcceptDs4Frame(Ds4Pad& pad, const GamepadFrame& frame);

// Writes the 63-byte input report.
void EncodeDs4Report(const Ds4State& state, uint8_t counter, uint16_t timestamp,
                     uint8_t touchPackets, uint8_t* out);

// Builds the report record of the pad's newest state into `pad.record` (full or short, as the
// pad sends) and advances the counters, and the timestamp to `nowMicros` (microseconds on a
// clock that only moves forward). Returns the record's length.
uint32_t BuildDs4ReportRecord(Ds4Pad& pad, uint32_t serial, uint64_t nowMicros);

// Rewrites `pad.record` as the short record of the same report.
uint32_t ShortenDs4ReportRecord(Ds4Pad& pad);

// The feedback request's record: size, serial, and zeros to be overwritten.
void EncodeDs4FeedbackWait(uint32_t serial, uint8_t* out);

struct Ds4Feedback {
    uint32_t size;
    uint32_t serial;
    uint8_t smallMotor;
    uint8_t largeMotor;
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};
Ds4Feedback DecodeDs4Feedback(const uint8_t* in);

}  // namespace padbridge
