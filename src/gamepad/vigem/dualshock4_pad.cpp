#include "gamepad/vigem/dualshock4_pad.h"

#include <cstring>

#include "gamepad/vigem/bus.h"
#include "gamepad/vigem/driver_interface.h"
#include "protocol/output.h"

namespace padbridge {
namespace {

// What a driver that knows only the short report answers a full one: it checks the record's
// size against its own and rejects the buffer (STATUS_INVALID_PARAMETER,
// STATUS_INFO_LENGTH_MISMATCH, STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_BUFFER_SIZE).
constexpr uint32_t kRefusals[] = {
    os::kErrorInvalidParameter,  // 87
    24,                          // ERROR_BAD_LENGTH
    122,                         // ERROR_INSUFFICIENT_BUFFER
    1784,                        // ERROR_INVALID_USER_BUFFER
};

bool IsRefusal(uint32_t result) {
    for (uint32_t refusal : kRefusals) {
        if (result == refusal) return true;
    }
    return false;
}

// The performance counter in microseconds: the report's timestamp must follow the real time
// between reports, finer than the tick's 15.6 ms steps.
uint64_t ClockMicroseconds() {
    int64_t count = 0;
    int64_t frequency = 0;
    if (!os::QueryPerformanceCounter(&count) || !os::QueryPerformanceFrequency(&frequency) ||
        count < 0 || frequency <= 0) {
        return os::GetTickCount64() * 1000;
    }
    const auto counts = static_cast<uint64_t>(count);
    const auto rate = static_cast<uint64_t>(frequency);
    return counts / rate * 1000000 + counts % rate * 1000000 / rate;
}

void IssueReportRecord(const BusPads& bus, PadSlot& slot) {
    StartPendingIo(bus.handle, slot.mainIo, ds4::kSubmitReport, slot.ds4.record,
                   slot.ds4.recordLength, nullptr, 0);
}

}  // namespace

void SubmitDs4Report(const BusPads& bus, PadSlot& slot) {
    slot.ds4.shortReports = bus.ds4ShortReports;
    BuildDs4ReportRecord(slot.ds4, slot.serial, ClockMicroseconds());
    IssueReportRecord(bus, slot);
}

bool FallBackToShortReport(BusPads& bus, OutputQueue& out, int player, uint32_t result) {
    PadSlot& slot = bus.pads[player];
    if (slot.kind != PadKind::kDualShock4 || slot.ds4.recordLength != ds4::kFullRecordSize)
        return false;
    if (result == os::kErrorSuccess) {
        slot.ds4.fullAccepted = true;
        return false;
    }
    // A driver that has taken a full report of this pad knows it: a later failure is a failure.
    if (slot.ds4.fullAccepted || !IsRefusal(result)) return false;
    if (!bus.ds4ShortReports) {
        bus.ds4ShortReports = true;
        WritePlayerError(out, player, kGamepadMotionUnavailable, result);
    }
    slot.ds4.shortReports = true;
    ShortenDs4ReportRecord(slot.ds4);
    IssueReportRecord(bus, slot);
    return true;
}

uint32_t EncodeNeutralReport(const BusPads& bus, PadSlot& slot, uint8_t* record, uint32_t* code) {
    if (slot.kind != PadKind::kDualShock4) {
        vigem::EncodeReport(slot.serial, PadReport{}, record);
        *code = vigem::kSubmitReport;
        return vigem::kReportRecordSize;
    }
    GamepadFrame rest{};
    rest.accel[1] = kStandardGravity;
    slot.ds4.latest = BuildDs4State(rest);  // sticks centred, hat none, no finger
    slot.ds4.shortReports = bus.ds4ShortReports;
    const uint32_t length = BuildDs4ReportRecord(slot.ds4, slot.serial, ClockMicroseconds());
    std::memcpy(record, slot.ds4.record, length);
    *code = ds4::kSubmitReport;
    return length;
}

void StartDs4FeedbackWait(const BusPads& bus, PadSlot& slot) {
    EncodeDs4FeedbackWait(slot.serial, slot.ds4.feedbackRecord);
    StartPendingIo(bus.handle, slot.rumbleIo, ds4::kAwaitFeedback, slot.ds4.feedbackRecord,
                   ds4::kFeedbackRecordSize, slot.ds4.feedbackRecord, ds4::kFeedbackRecordSize);
}

PadFeedback ReadFeedback(const PadSlot& slot) {
    PadFeedback feedback{};
    if (slot.kind == PadKind::kDualShock4) {
        const Ds4Feedback record = DecodeDs4Feedback(slot.ds4.feedbackRecord);
        feedback.valid = slot.rumbleIo.bytesReturned == ds4::kFeedbackRecordSize &&
                         record.size == ds4::kFeedbackRecordSize && record.serial == slot.serial;
        feedback.low = record.largeMotor;
        feedback.high = record.smallMotor;
        feedback.hasLightbar = true;
        feedback.red = record.red;
        feedback.green = record.green;
        feedback.blue = record.blue;
        return feedback;
    }
    const vigem::RumbleRecord record = vigem::DecodeRumble(slot.rumbleRecord);
    feedback.valid = slot.rumbleIo.bytesReturned == vigem::kRumbleRecordSize &&
                     record.size == vigem::kRumbleRecordSize && record.serial == slot.serial;
    feedback.low = record.lowMotor;
    feedback.high = record.highMotor;
    return feedback;
}

}  // namespace padbridge
