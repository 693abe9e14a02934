// Host sessions that padbridge.exe, under Wine with our stand-in drivers, and padbridge-sim, on
// its simulated PC, must answer with exactly the same bytes. Each row is free of timing: the host
// writes every line at once, closes its end, and reads until the bridge exits. Nothing in a row
// may depend on how the lines are cut into reads: a bus pad's lines come from its requests'
// answers, so no row removes a bus pad before the input ends.
#pragma once

#include <string>
#include <vector>

#include "wire.h"

namespace padbridge::test {

// What the PC has installed: the stand-in bus driver or vJoy library for the exe, the same
// backend chosen with --sim-backend for padbridge-sim.
enum class SessionBackend { kVigemBus, kVjoyLibrary, kNothing };

struct HostSession {
    const char* name;
    SessionBackend backend;
    std::string input;   // every byte the host writes
    std::string output;  // every byte the bridge prints
};

inline constexpr char kProbeLine[] = "{\"type\":\"probe\"}\n";
// A stick right, the other left and half up; A and d-pad up and right; left trigger half.
inline constexpr char kPadInput[] =
    "{\"type\":\"input\",\"player\":0,\"axes\":[1,0,-1,0.5],"
    "\"buttons\":[1,0,0,0,0,0,0.5,0,0,0,0,0,1,0,0,1]}\n";
inline constexpr char kDs4Input[] =
    "{\"type\":\"input\",\"player\":2,\"axes\":[1,0,-1,0.5],"
    "\"buttons\":[1,0,0,0,0,0,0.5,0,0,0,0,0,1,0,0,1,1],\"pad\":\"dualshock4\","
    "\"gyro\":[90,0,-45],\"touch\":[0.5,0.25]}\n";

inline std::vector<HostSession> SharedSessions() {
    const std::string grant = kGranted + std::string("\n");
    const std::string keyQ =
        "{\"type\":\"system\",\"action\":\"key\",\"key\":\"KeyQ\",\"down\":true}\n"
        "{\"type\":\"system\",\"action\":\"key\",\"key\":\"KeyQ\",\"down\":false}\n";
    const std::string neutralThenRemove =
        "{\"type\":\"neutral\",\"player\":0}\n{\"type\":\"remove\",\"player\":0}\n";
    return {
        {"ProbeOnTheBus", SessionBackend::kVigemBus, kProbeLine, Crlf(kBusReady, kBusReady)},
        {"ProbeOnVjoy", SessionBackend::kVjoyLibrary, kProbeLine,
         Crlf(kVjoyCapabilities, kVjoyCapabilities)},
        {"ProbeWithoutDriver", SessionBackend::kNothing, kProbeLine,
         Crlf(kNoDriverCapabilities, kNoDriverCapabilities)},
        {"PadOnVjoy", SessionBackend::kVjoyLibrary, kPadInput + neutralThenRemove,
         Crlf(kVjoyCapabilities, DeviceCreated(0, kVjoy), DeviceRemoved(0))},
        {"PadGoesAtTheEnd", SessionBackend::kVigemBus, kPadInput,
         Crlf(kBusReady, DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0))},
        {"DualShock4", SessionBackend::kVigemBus, kDs4Input,
         Crlf(kBusReady, DeviceCreated(2, kDualShock4), ZeroRumble(2), DeviceRemoved(2))},
        {"InputWithoutDriver", SessionBackend::kNothing, kPadInput,
         Crlf(kNoDriverCapabilities, kDriverRequired)},
        {"DesktopGrantAndKey", SessionBackend::kNothing, grant + keyQ + kRefused + "\n",
         Crlf(kNoDriverCapabilities, kGranted, kRefused)},
        {"BadLinesDropped", SessionBackend::kNothing,
         "not json\n\n{\"type\":\"nope\"}\n{\"type\":\"input\",\"player\":9}\n"
         "{\"type\":\"system\",\"action\":\"key\",\"key\":\"KeyQ\",\"down\":true}\n" +
             std::string(kProbeLine),
         Crlf(kNoDriverCapabilities, kNoDriverCapabilities)},
        // The simulator's own lines print nothing themselves; the exe drops them as unknown.
        {"SimLinesWithoutPadOrGrant", SessionBackend::kNothing,
         "{\"type\":\"sim-rumble\",\"player\":0,\"low\":0.5,\"high\":0.25}\n"
         "{\"type\":\"sim-lightbar\",\"player\":0,\"red\":255,\"green\":0,\"blue\":0}\n"
         "{\"type\":\"sim-desktop\",\"blocked\":true}\n" +
             std::string(kProbeLine),
         Crlf(kNoDriverCapabilities, kNoDriverCapabilities)},
    };
}

}  // namespace padbridge::test
