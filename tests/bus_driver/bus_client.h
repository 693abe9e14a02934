// The tests' side of the stand-in bus driver: opens its interface the way any client does and
// sends the private requests of bus_control.h. Every call is synchronous.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bus_control.h"

namespace bus {

// NTSTATUS values the driver can be told to answer with, and what the bridge then sees.
inline constexpr uint32_t kStatusUnsuccessful = 0xC0000001;      // ERROR_GEN_FAILURE, 31
inline constexpr uint32_t kStatusNotSupported = 0xC00000BB;      // ERROR_NOT_SUPPORTED, 50
inline constexpr uint32_t kStatusInvalidParameter = 0xC000000D;  // ERROR_INVALID_PARAMETER, 87
inline constexpr uint32_t kStatusDeviceNotConnected =
    0xC000009D;  // ERROR_DEVICE_NOT_CONNECTED, 1167

inline constexpr uint32_t kCheckVersion = 0x2AA00C;
inline constexpr uint32_t kPlugIn = 0x2AA004;
inline constexpr uint32_t kWaitReady = 0x2AA010;
inline constexpr uint32_t kSubmitReport = 0x2AA808;
inline constexpr uint32_t kUnplug = 0x2AA008;
inline constexpr uint32_t kAwaitRumble = 0x2AE804;
inline constexpr uint32_t kDs4Report = 0x2AA80C;
inline constexpr uint32_t kDs4Feedback = 0x2AA810;

class Control {
  public:
    Control();  // opens the first interface of the bus class, synchronous I/O
    ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
    DWORD open_error() const { return openError_; }

    // Each returns the Win32 result of its request, 0 on success.
    DWORD Reset();
    DWORD Rule(uint32_t code, uint32_t action, uint32_t status = 0, uint32_t count = 0);
    DWORD Take(uint32_t serial);
    DWORD Rumble(uint32_t serial, uint8_t low, uint8_t high, uint16_t form = BUS_RUMBLE_GOOD);
    // Completes the waiting DualShock 4 feedback request of `serial`.
    DWORD Feedback(uint32_t serial, uint8_t smallMotor, uint8_t largeMotor, uint8_t red,
                   uint8_t green, uint8_t blue);
    DWORD Release(uint32_t code, uint32_t status, uint32_t* count = nullptr);
    DWORD State(BusTestState* state);
    std::vector<BusTestLogEntry> Log();

    // Any request, the bus's own included, made synchronously.
    DWORD Send(uint32_t code, const void* in, DWORD inSize, void* out, DWORD outSize,
               DWORD* returned = nullptr);

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    DWORD openError_ = 0;
};

// One log entry as a line of text: the request's name, its input bytes in hex in groups of
// four, and how it was answered, e.g. "PlugIn 10000000 01000000 00000000 5e048e02 -> c000000d".
std::string Describe(const BusTestLogEntry& entry);
std::vector<std::string> Describe(const std::vector<BusTestLogEntry>& log);

}  // namespace bus
