// The places where the pad life differs by kind: the report request, the refusal of the
// DualShock 4's full report, the neutral report of a teardown, and the feedback request.
#pragma once

#include <cstdint>

namespace padbridge {

struct BusPads;
struct OutputQueue;
struct PadSlot;

// Builds the newest DualShock 4 report into the slot and issues it on `mainIo`.
void SubmitDs4Report(const BusPads& bus, PadSlot& slot);

// For a DualShock 4 whose first full report the driver refused (an older driver): says so once
// per bus with "gamepad_motion_unavailable", and issues the same report again in its short form,
// as every later report of every pad will be. False when `result` is not such a refusal.
bool FallBackToShortReport(BusPads& bus, OutputQueue& out, int player, uint32_t result);

// The report that leaves a game a pad at rest, for the slot's kind: its record in `record` (at
// least ds4::kMaxRecordSize bytes), its request code in `code`; returns the record's length.
uint32_t EncodeNeutralReport(const BusPads& bus, PadSlot& slot, uint8_t* record, uint32_t* code);

// Issues a DualShock 4's feedback request on `rumbleIo`.
void StartDs4FeedbackWait(const BusPads& bus, PadSlot& slot);

// A collected feedback completion, read for the slot's kind.
struct PadFeedback {
    bool valid;    // the byte count, size and serial are those of the slot's record
    uint8_t low;   // large, low-frequency motor
    uint8_t high;  // small, high-frequency motor
    bool hasLightbar;
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};
PadFeedback ReadFeedback(const PadSlot& slot);

}  // namespace padbridge
