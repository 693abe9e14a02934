// The simulated bus driver: device interfaces, handles, events and overlapped requests.
//
// A test lists the device interfaces and chooses how each request is answered; the bus records
// every request byte for byte, counts what is open, and notes every misuse that real Windows
// would punish (a request's OVERLAPPED reused or its event closed while the driver may still
// write to it, a handle closed twice, a wait that could never end) in `faults`.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "os/os.h"

namespace sim {

// The request codes, as the driver knows them.
inline constexpr uint32_t kCheckVersion = 0x2AA00C;
inline constexpr uint32_t kPlugIn = 0x2AA004;
inline constexpr uint32_t kWaitReady = 0x2AA010;
inline constexpr uint32_t kSubmitReport = 0x2AA808;
inline constexpr uint32_t kUnplug = 0x2AA008;
inline constexpr uint32_t kAwaitRumble = 0x2AE804;
inline constexpr uint32_t kSubmitDs4Report = 0x2AA80C;
inline constexpr uint32_t kAwaitDs4Feedback = 0x2AA810;

// How the driver answers one request.
struct Answer {
    enum class Kind { kAtOnce, kLater, kNever };
    Kind kind = Kind::kAtOnce;
    uint32_t result = 0;   // Win32 result
    uint64_t afterMs = 0;  // kLater: completes this long after its issue
    // A successful AwaitRumble writes back a RumbleRecord: these motor bytes, and the size,
    // serial and byte count, which echo the request unless set. A DualShock 4's feedback record
    // carries `low` as its large motor, `high` as its small one, and the lightbar colour.
    uint8_t low = 0;
    uint8_t high = 0;
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    std::optional<uint32_t> size;
    std::optional<uint32_t> serial;
    std::optional<uint32_t> bytes;
    // Once cancelled, the request finishes this long after the cancel (else after the bus's
    // cancelMs), or never.
    std::optional<uint64_t> cancelMs;
    bool cancelNever = false;
};

Answer AtOnce(uint32_t result = 0);
Answer Later(uint64_t afterMs, uint32_t result = 0);
Answer Never();
// A successful AwaitRumble completion with these motor bytes, `afterMs` after its issue.
Answer Rumble(uint8_t low, uint8_t high, uint64_t afterMs = 0);
// A successful DualShock 4 feedback completion, `afterMs` after its issue.
Answer Feedback(uint8_t low, uint8_t high, uint8_t red, uint8_t green, uint8_t blue,
                uint64_t afterMs = 0);

struct DeviceInterface {
    std::u16string path = u"\\\\?\\root#system#0001#{96e42b22-f5e9-42f8-b043-ed0f932f014f}";
    uint32_t enumError = 0;              // non-zero: enumerating this index fails with it
    std::optional<uint32_t> detailSize;  // what the size query reports; default fits the path
    uint32_t describeError = 0;          // non-zero: the detail call fails with it
    uint32_t openError = 0;              // non-zero: CreateFileW fails with it
    Answer checkVersion;                 // how a handle of this interface answers CheckVersion
    uint64_t presentFromMs = 0;          // the driver installs it this long after the start
};

struct Request {
    uint32_t code;
    std::vector<uint8_t> input;
    uint32_t outputSize;
    uint64_t atMs;  // after the start
};

struct OpenCall {
    std::u16string path;
    uint32_t access;
    uint32_t shareMode;
    uint32_t disposition;
    uint32_t flags;
};

// A request the driver holds (pending). Book-keeping of the bus.
struct InFlight {
    os::Overlapped* overlapped;
    os::Handle device;
    os::Handle event;
    uint32_t code;
    uint8_t* output;
    uint32_t outputSize;
    uint32_t echoedSerial;
    Answer answer;
    bool never;
    uint64_t completeAt;
    bool done = false;
    uint32_t result = 0;
    uint32_t bytes = 0;
};

// What the game sets on a pad: its motors and, on a DualShock 4, its lightbar.
struct PadOutput {
    uint8_t low = 0;  // the large, low-frequency motor
    uint8_t high = 0;
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
};

// A plugged-in pad as the game sees it: what it last set, and whether the pad's next feedback
// request is owed that (none was pending when it was set).
struct GamePad {
    PadOutput output;
    bool dualShock4 = false;
    bool owed = false;
};

struct Bus {
    // Set up by the test.
    bool classListFails = false;
    uint32_t classListError = 13;
    std::vector<DeviceInterface> interfaces;
    uint32_t enumEndError = os::kErrorNoMoreItems;   // enumerating past the last interface
    std::map<uint32_t, std::deque<Answer>> answers;  // per request code, used in order...
    std::map<uint32_t, Answer> defaults = {{kAwaitRumble, Never()},
                                           {kAwaitDs4Feedback, Never()}};  // ...then these, else
                                                                           // AtOnce
    // An older driver: non-zero, every full DualShock 4 report (71 bytes) fails at once with it,
    // whatever `answers` say; the short report is answered as usual.
    uint32_t fullDs4ReportRefusal = 0;
    std::vector<uint32_t> failingEventCreations;  // 0-based creation numbers that fail
    uint32_t eventError = 1450;                   // ERROR_NO_SYSTEM_RESOURCES
    uint64_t cancelMs = 0;                        // how long a cancelled request takes to finish
    bool cancelNeverFinishes = false;             // a cancelled request runs on for good

    // Observations.
    std::vector<Request> requests;
    std::vector<OpenCall> opens;
    os::Guid classGuid{};
    uint32_t classFlags = 0;
    uint32_t enumCalls = 0;
    uint32_t cancels = 0;
    uint32_t eventCreations = 0;
    uint32_t openDeviceInfoLists = 0;
    std::vector<std::string> faults;
    std::vector<std::string> recordFaults;  // records the driver would reject (CheckRecord)

    // Book-keeping.
    std::map<os::Handle, int> devices;     // open device handle -> interface index
    std::map<uint32_t, uint32_t> targets;  // serial -> target type of its last PlugIn
    std::map<os::Handle, bool> events;     // open event -> signalled
    std::map<uint32_t, GamePad> gamePads;  // serial -> the pad plugged in under it
    std::vector<InFlight> inFlight;
    os::Handle nextHandle = 0x1000;

    void Queue(uint32_t code, Answer answer) { answers[code].push_back(answer); }
    std::vector<Request> RequestsOf(uint32_t code) const;
    // Device handles and events not yet closed.
    std::size_t OpenHandles() const { return devices.size() + events.size(); }
    std::size_t OpenEvents() const { return events.size(); }
};

// Checks the record of a request byte by byte against what the driver accepts for its code, and
// notes every departure in `recordFaults`. Remembers the target type of each PlugIn by serial.
void CheckRecord(uint32_t code, const uint8_t* input, uint32_t inSize, uint32_t outSize);

// The game sets the motors, or a DualShock 4's lightbar, of the pad plugged in under `serial`:
// the pad's pending feedback request completes with what the game has set (motors and lightbar),
// or the next one does when none is pending. False, with no effect, when no such pad is plugged
// in (or, for the lightbar, it is not a DualShock 4).
bool SetPadMotors(uint32_t serial, uint8_t low, uint8_t high);
bool SetPadLightbar(uint32_t serial, uint8_t red, uint8_t green, uint8_t blue);

// For the loop's wait on many objects: completes every request that is due, and tells when an
// event of the bus is signalled (now, when it already is), or nothing when no request will.
void SettleBus();
bool IsBusEvent(os::Handle event);
std::optional<uint64_t> BusEventSignalTime(os::Handle event);

}  // namespace sim
