// The simulated driver's view of each request record: the sizes it takes, the fixed bytes, and
// the target each serial was plugged in as. A departure is a fault, as a real driver would reject
// the request or show a game a broken pad. They are kept apart from the misuse faults, as tests of
// the request layer itself send records of no particular shape.
#include <string>

#include "os/sim/sim.h"

namespace sim {
namespace {

uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void Fault(const std::string& what) {
    Current().bus.recordFaults.push_back(what);
}

// The record's own size, its length and its output length, for each request code.
struct Shape {
    uint32_t code;
    uint32_t size;
    uint32_t altSize;  // the DualShock 4's short report
    uint32_t outSize;
    const char* name;
};
constexpr Shape kShapes[] = {
    {kCheckVersion, 8, 8, 0, "CheckVersion"},
    {kPlugIn, 16, 16, 0, "PlugIn"},
    {kWaitReady, 8, 8, 0, "WaitReady"},
    {kSubmitReport, 20, 20, 0, "SubmitReport"},
    {kUnplug, 8, 8, 0, "Unplug"},
    {kAwaitRumble, 12, 12, 12, "AwaitRumble"},
    {kSubmitDs4Report, 71, 20, 0, "DualShock 4 report"},
    {kAwaitDs4Feedback, 16, 16, 16, "DualShock 4 feedback"},
};

bool AllZero(const uint8_t* p, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

// One finger of the touch packet: tracking number below 0x80 with a position on the pad, or
// exactly 0x80 and zeros.
void CheckFinger(const uint8_t* finger, const char* which) {
    if (finger[0] == 0x80) {
        if (!AllZero(finger + 1, 3))
            Fault(std::string("DualShock 4 report: ") + which + " absent with a position");
        return;
    }
    if (finger[0] > 0x80) Fault(std::string("DualShock 4 report: ") + which + " tracking byte");
    const uint32_t x = finger[1] | (finger[2] & 0x0Fu) << 8;
    const uint32_t y = static_cast<uint32_t>(finger[2] >> 4) | static_cast<uint32_t>(finger[3])
                                                                   << 4;
    if (x > 1919 || y > 942) Fault(std::string("DualShock 4 report: ") + which + " off the pad");
}

// The 63-byte input report (or its first 9 bytes, in a short record).
void CheckDs4Report(const uint8_t* report, uint32_t length) {
    if ((U16(report + 4) & 0x0F) > 8) Fault("DualShock 4 report: hat beyond 8");
    if (length < 63) return;
    if (report[11] != 0xFF) Fault("DualShock 4 report: battery byte");
    if (!AllZero(report + 24, 5) || !AllZero(report + 30, 2) || !AllZero(report + 60, 3))
        Fault("DualShock 4 report: reserved bytes not zero");
    if (report[29] != 0x1A) Fault("DualShock 4 report: status byte");
    if (report[32] != 1) Fault("DualShock 4 report: touch packet count");
    CheckFinger(report + 34, "finger 1");
    CheckFinger(report + 38, "finger 2");
    static constexpr uint8_t kUnusedPacket[9] = {0, 0x80, 0, 0, 0, 0x80, 0, 0, 0};
    for (int packet = 0; packet < 2; ++packet) {
        for (int i = 0; i < 9; ++i) {
            if (report[42 + 9 * packet + i] != kUnusedPacket[i])
                Fault("DualShock 4 report: unused touch packet");
        }
    }
}

}  // namespace

void CheckRecord(uint32_t code, const uint8_t* input, uint32_t inSize, uint32_t outSize) {
    const Shape* shape = nullptr;
    for (const Shape& s : kShapes) {
        if (s.code == code) shape = &s;
    }
    if (shape == nullptr) {
        Fault("request with an unknown code");
        return;
    }
    const std::string name = shape->name;
    if ((inSize != shape->size && inSize != shape->altSize) || input == nullptr) {
        Fault(name + " of the wrong length");
        return;
    }
    if (U32(input) != inSize) Fault(name + " whose size field is not its length");
    if (outSize != shape->outSize) Fault(name + " with the wrong output length");
    if (code == kCheckVersion) return;
    const uint32_t serial = U32(input + 4);
    if (serial == 0 || serial > 65535) Fault(name + " for serial " + std::to_string(serial));
    Bus& bus = Current().bus;
    const auto target = bus.targets.find(serial);
    const uint32_t type = target != bus.targets.end() ? target->second : ~0u;
    switch (code) {
        case kPlugIn: {
            const uint32_t newType = U32(input + 8);
            const uint16_t vendor = U16(input + 12);
            const uint16_t product = U16(input + 14);
            const bool xbox = newType == 0 && vendor == 0x045E && product == 0x028E;
            const bool dualShock4 = newType == 2 && vendor == 0x054C && product == 0x05C4;
            if (!xbox && !dualShock4) Fault("PlugIn of an unknown target");
            bus.targets[serial] = newType;
            break;
        }
        case kSubmitReport:
        case kAwaitRumble:
            if (type != 0) Fault(name + " for a pad not plugged in as an Xbox 360 pad");
            break;
        case kSubmitDs4Report:
            if (type != 2) Fault(name + " for a pad not plugged in as a DualShock 4");
            if (inSize == 20 && !AllZero(input + 17, 3)) Fault(name + ": padding not zero");
            CheckDs4Report(input + 8, inSize - 8);
            break;
        case kAwaitDs4Feedback:
            if (type != 2) Fault(name + " for a pad not plugged in as a DualShock 4");
            if (!AllZero(input + 8, 8)) Fault(name + ": not zero after the serial");
            break;
        default:
            break;
    }
}

}  // namespace sim
