#include "gamepad/vigem/driver_interface.h"

namespace padbridge::vigem {
namespace {

void PutU16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t GetU16(const uint8_t* in) {
    return static_cast<uint16_t>(in[0] | in[1] << 8);
}

uint32_t GetU32(const uint8_t* in) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | in[i];
    return value;
}

void PutHeader(uint32_t size, uint32_t serial, uint8_t* out) {
    PutU32(out, size);
    PutU32(out + 4, serial);
}

}  // namespace

void EncodeBusVersion(uint8_t* out) {
    PutHeader(kBusVersionRecordSize, kBusVersion, out);
}

void EncodePlugIn(uint32_t serial, uint8_t* out, PadKind kind) {
    const bool dualShock4 = kind == PadKind::kDualShock4;
    PutHeader(kPlugInRecordSize, serial, out);
    PutU32(out + 8, dualShock4 ? kTargetDualShock4 : kTargetXbox360);
    PutU16(out + 12, dualShock4 ? kDualShock4VendorId : kXbox360VendorId);
    PutU16(out + 14, dualShock4 ? kDualShock4ProductId : kXbox360ProductId);
}

void EncodeSerial(uint32_t serial, uint8_t* out) {
    PutHeader(kSerialRecordSize, serial, out);
}

void EncodeReport(uint32_t serial, const PadReport& report, uint8_t* out) {
    PutHeader(kReportRecordSize, serial, out);
    PutU16(out + 8, report.buttons);
    out[10] = report.leftTrigger;
    out[11] = report.rightTrigger;
    PutU16(out + 12, static_cast<uint16_t>(report.leftX));
    PutU16(out + 14, static_cast<uint16_t>(report.leftY));
    PutU16(out + 16, static_cast<uint16_t>(report.rightX));
    PutU16(out + 18, static_cast<uint16_t>(report.rightY));
}

uint32_t DecodeSerial(const uint8_t* in) {
    return GetU32(in + 4);
}

PadReport DecodeReport(const uint8_t* in) {
    PadReport report{};
    report.buttons = GetU16(in + 8);
    report.leftTrigger = in[10];
    report.rightTrigger = in[11];
    report.leftX = static_cast<int16_t>(GetU16(in + 12));
    report.leftY = static_cast<int16_t>(GetU16(in + 14));
    report.rightX = static_cast<int16_t>(GetU16(in + 16));
    report.rightY = static_cast<int16_t>(GetU16(in + 18));
    return report;
}

void EncodeRumbleWait(uint32_t serial, uint8_t* out) {
    PutHeader(kRumbleRecordSize, serial, out);
    for (int i = 8; i < 12; ++i) out[i] = 0;
}

RumbleRecord DecodeRumble(const uint8_t* in) {
    RumbleRecord record{};
    record.size = GetU32(in);
    record.serial = GetU32(in + 4);
    record.lowMotor = in[8];
    record.highMotor = in[9];
    record.unused[0] = in[10];
    record.unused[1] = in[11];
    return record;
}

}  // namespace padbridge::vigem
