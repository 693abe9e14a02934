// The ViGEmBus device interface: its class, the six requests and their records.
//
// The records are the driver's wire format: every multi-byte field little-endian, each record
// starting with its own size. The structs pin the layout down; the Encode functions write the
// bytes field by field, so the wire stays right whatever the compiler does with a struct.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gamepad/input.h"
#include "os/os.h"

namespace padbridge::vigem {

inline constexpr os::Guid kBusInterfaceClass = {
    0x96E42B22, 0xF5E9, 0x42F8, {0xB0, 0x43, 0xED, 0x0F, 0x93, 0x2F, 0x01, 0x4F}};

// CreateFileW arguments for the interface: read and write, shared, open existing, overlapped.
inline constexpr uint32_t kOpenAccess = 0xC0000000;
inline constexpr uint32_t kOpenShareMode = 3;
inline constexpr uint32_t kOpenDisposition = 3;
inline constexpr uint32_t kOpenFlags = 0x40000080;

// Request codes: bus extender device type 0x2A, buffered method.
inline constexpr uint32_t kCheckVersion = 0x2AA00C;
inline constexpr uint32_t kPlugIn = 0x2AA004;
inline constexpr uint32_t kWaitReady = 0x2AA010;
inline constexpr uint32_t kSubmitReport = 0x2AA808;
inline constexpr uint32_t kUnplug = 0x2AA008;
inline constexpr uint32_t kAwaitRumble = 0x2AE804;

inline constexpr uint32_t kBusVersion = 1;
inline constexpr uint32_t kTargetXbox360 = 0;
inline constexpr uint16_t kXbox360VendorId = 0x045E;
inline constexpr uint16_t kXbox360ProductId = 0x028E;
inline constexpr uint32_t kTargetDualShock4 = 2;  // wired
inline constexpr uint16_t kDualShock4VendorId = 0x054C;
inline constexpr uint16_t kDualShock4ProductId = 0x05C4;

struct BusVersionRecord {
    uint32_t size;
    uint32_t version;
};
static_assert(sizeof(BusVersionRecord) == 8);
static_assert(offsetof(BusVersionRecord, version) == 4);

struct PlugInRecord {
    uint32_t size;
    uint32_t serial;
    uint32_t targetType;
    uint16_t vendorId;
    uint16_t productId;
};
static_assert(sizeof(PlugInRecord) == 16);
static_assert(offsetof(PlugInRecord, targetType) == 8);
static_assert(offsetof(PlugInRecord, vendorId) == 12);
static_assert(offsetof(PlugInRecord, productId) == 14);

struct SerialRecord {
    uint32_t size;
    uint32_t serial;
};
static_assert(sizeof(SerialRecord) == 8);
static_assert(offsetof(SerialRecord, serial) == 4);

struct ReportRecord {
    uint32_t size;
    uint32_t serial;
    PadReport report;
};
static_assert(sizeof(ReportRecord) == 20);
static_assert(offsetof(ReportRecord, report) == 8);

struct RumbleRecord {
    uint32_t size;
    uint32_t serial;
    uint8_t lowMotor;   // large, low-frequency motor
    uint8_t highMotor;  // small, high-frequency motor
    uint8_t unused[2];  // sent as zero, never read
};
static_assert(sizeof(RumbleRecord) == 12);
static_assert(offsetof(RumbleRecord, lowMotor) == 8);
static_assert(offsetof(RumbleRecord, highMotor) == 9);

inline constexpr uint32_t kBusVersionRecordSize = sizeof(BusVersionRecord);
inline constexpr uint32_t kPlugInRecordSize = sizeof(PlugInRecord);
inline constexpr uint32_t kSerialRecordSize = sizeof(SerialRecord);
inline constexpr uint32_t kReportRecordSize = sizeof(ReportRecord);
inline constexpr uint32_t kRumbleRecordSize = sizeof(RumbleRecord);

// Each writes exactly the record's size in bytes to `out`.
void EncodeBusVersion(uint8_t* out);
void EncodePlugIn(uint32_t serial, uint8_t* out, PadKind kind = PadKind::kXbox360);
void EncodeSerial(uint32_t serial, uint8_t* out);
void EncodeReport(uint32_t serial, const PadReport& report, uint8_t* out);
void EncodeRumbleWait(uint32_t serial, uint8_t* out);

// Reads back the serial of any record that carries one (all but the bus version), and the report
// of a ReportRecord: what EncodeSerial and EncodeReport wrote.
uint32_t DecodeSerial(const uint8_t* in);
PadReport DecodeReport(const uint8_t* in);

// Reads back what the driver left in a RumbleRecord buffer.
RumbleRecord DecodeRumble(const uint8_t* in);

}  // namespace padbridge::vigem
