// The backend probe as whole host sessions: bus discovery with every status, the vJoy load and
// its path rules, the hand-over to the bus, and the capabilities line.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "os/sim/sim.h"
#include "session.h"
#include "vigem_fixture.h"
#include "vjoy_session.h"

namespace padbridge {
namespace {

using test::CapabilitiesLine;
using test::DeviceCreated;
using test::DeviceRemoved;
using test::ExpectBusClean;
using test::InputLine;
using test::InstallVjoy;
using test::kBusReady;
using test::kNoDriverCapabilities;
using test::kVjoy;
using test::kVjoyCapabilities;
using test::Session;
using test::ZeroRumble;
using Lines = std::vector<std::string>;

const char16_t kProgramFiles[] = u"C:\\Program Files";

sim::DeviceInterface Interface(int number, sim::Answer checkVersion = sim::AtOnce()) {
    sim::DeviceInterface entry;
    entry.path =
        u"\\\\?\\root#system#000" + std::u16string(1, static_cast<char16_t>(u'0' + number));
    entry.checkVersion = checkVersion;
    return entry;
}

TEST(ProbeBackendTest, DiscoveryStatusTable) {
    using Setup = std::function<void(sim::Bus&)>;
    struct Case {
        const char* name;
        Setup setup;
        const char* backend;
        const char* status;
        std::size_t opens;
    };
    const char* none = test::kNoDriver;
    const char* xbox = test::kXbox360;
    const Case cases[] = {
        {"no interface", [](sim::Bus&) {}, test::kVjoy, "missing", 0},
        {"ready", [](sim::Bus& b) { b.interfaces = {Interface(1)}; }, xbox, "ready", 1},
        {"incompatible", [](sim::Bus& b) { b.interfaces = {Interface(1, sim::AtOnce(50))}; }, none,
         "incompatible", 1},
        {"version refused", [](sim::Bus& b) { b.interfaces = {Interface(1, sim::AtOnce(31))}; },
         none, "unavailable", 1},
        {"version answered later",
         [](sim::Bus& b) { b.interfaces = {Interface(1, sim::Later(999))}; }, xbox, "ready", 1},
        {"version timed out", [](sim::Bus& b) { b.interfaces = {Interface(1, sim::Never())}; },
         none, "unavailable", 1},
        {"incompatible then ready",
         [](sim::Bus& b) {
             b.interfaces = {Interface(1, sim::AtOnce(50)), Interface(2)};
         },
         xbox, "ready", 2},
        {"ready first",
         [](sim::Bus& b) {
             b.interfaces = {Interface(1), Interface(2, sim::AtOnce(50))};
         },
         xbox, "ready", 1},
        {"incompatible then not opening",
         [](sim::Bus& b) {
             b.interfaces = {Interface(1, sim::AtOnce(50)), Interface(2)};
             b.interfaces[1].openError = 5;
         },
         none, "unavailable", 2},
        {"ready then incompatible ends with the last tried",
         [](sim::Bus& b) {
             b.interfaces = {Interface(1), Interface(2, sim::AtOnce(50))};
             b.interfaces[0].openError = 5;
         },
         none, "incompatible", 2},
        {"class list refused", [](sim::Bus& b) { b.classListFails = true; }, none, "unavailable",
         0},
        {"enumeration fails",
         [](sim::Bus& b) {
             b.interfaces = {Interface(1)};
             b.interfaces[0].enumError = 13;
         },
         none, "unavailable", 0},
        {"enumeration ends with another error",
         [](sim::Bus& b) {
             b.interfaces = {Interface(1, sim::AtOnce(50))};
             b.enumEndError = 13;
         },
         none, "unavailable", 1},
        {"cannot be described",
         [](sim::Bus& b) {
             b.interfaces = {Interface(1)};
             b.interfaces[0].describeError = 13;
         },
         none, "unavailable", 0},
        {"detail too small",
         [](sim::Bus& b) {
             b.interfaces = {Interface(1)};
             b.interfaces[0].detailSize = 4;
         },
         none, "unavailable", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session session;
        InstallVjoy();
        c.setup(sim::Current().bus);
        sim::CloseInput(0);
        session.Run();
        const bool available = std::string(c.backend) != none;
        EXPECT_EQ(session.Lines(), Lines{CapabilitiesLine(c.backend, c.status, available, false)});
        const sim::Bus& bus = sim::Current().bus;
        EXPECT_EQ(bus.opens.size(), c.opens);
        // Only a bus that is missing altogether lets vJoy in.
        const bool missing = std::string(c.status) == "missing";
        EXPECT_EQ(sim::Current().vjoy.loadAttempts.size(), missing ? 1u : 0u);
        ExpectBusClean();
    }
}

TEST(ProbeBackendTest, DiscoveryCallsAndRecords) {
    Session session;
    sim::Current().bus.interfaces = {Interface(1, sim::AtOnce(50)), Interface(2)};
    sim::CloseInput(0);
    session.Run();
    const sim::Bus& bus = sim::Current().bus;
    EXPECT_EQ(bus.classGuid.data1, 0x96E42B22u);
    EXPECT_EQ(bus.classGuid.data2, 0xF5E9u);
    EXPECT_EQ(bus.classGuid.data3, 0x42F8u);
    const uint8_t tail[8] = {0xB0, 0x43, 0xED, 0x0F, 0x93, 0x2F, 0x01, 0x4F};
    EXPECT_EQ(std::vector<uint8_t>(bus.classGuid.data4, bus.classGuid.data4 + 8),
              std::vector<uint8_t>(tail, tail + 8));
    EXPECT_EQ(bus.classFlags, 0x12u);
    ASSERT_EQ(bus.opens.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(bus.opens[i].path, bus.interfaces[i].path);
        EXPECT_EQ(bus.opens[i].access, 0xC0000000u);
        EXPECT_EQ(bus.opens[i].shareMode, 3u);
        EXPECT_EQ(bus.opens[i].disposition, 3u);
        EXPECT_EQ(bus.opens[i].flags, 0x40000080u);
    }
    const std::vector<sim::Request> checks = bus.RequestsOf(sim::kCheckVersion);
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[1].input, (std::vector<uint8_t>{8, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(checks[1].outputSize, 0u);
    EXPECT_EQ(bus.enumCalls, 2u);  // the search ends with the first ready interface
    ExpectBusClean();
}

TEST(ProbeBackendTest, VjoyLibraryPathRules) {
    const std::u16string drive259 = u"C:\\" + std::u16string(256, u'v');
    const std::u16string drive260 = drive259 + u"w";
    const std::u16string programFiles212 = u"D:\\" + std::u16string(209, u'p');
    const std::u16string tail = u"\\vJoy\\x64\\vJoyInterface.dll";
    struct Case {
        const char* name;
        std::vector<std::u16string> arguments;
        std::optional<std::u16string> programFiles;
        std::vector<std::u16string> attempts;
    };
    const Case cases[] = {
        {"default location", {}, kProgramFiles, {test::kVjoyPath}},
        {"ProgramFiles unset", {}, std::nullopt, {}},
        {"ProgramFiles of 212", {}, programFiles212, {programFiles212 + tail}},
        {"ProgramFiles of 213", {}, programFiles212 + u"p", {}},
        {"ProgramFiles beyond the buffer", {}, std::u16string(300, u'p'), {}},
        {"given path", {u"--vjoy-dll", u"E:\\v.dll"}, kProgramFiles, {u"E:\\v.dll"}},
        {"bare file name", {u"--vjoy-dll", u"vJoyInterface.dll"}, kProgramFiles, {}},
        {"UNC path", {u"--vjoy-dll", u"\\\\srv\\share\\v.dll"}, kProgramFiles, {}},
        {"two characters", {u"--vjoy-dll", u"C:"}, kProgramFiles, {}},
        {"three characters", {u"--vjoy-dll", u"C:\\"}, kProgramFiles, {u"C:\\"}},
        {"259 characters", {u"--vjoy-dll", drive259}, kProgramFiles, {drive259}},
        {"260 characters", {u"--vjoy-dll", drive260}, kProgramFiles, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session session;
        if (c.programFiles) sim::SetEnvironment(u"ProgramFiles", *c.programFiles);
        if (!c.attempts.empty()) sim::Current().vjoy.installedPath = c.attempts[0];
        sim::CloseInput(0);
        session.Run(c.arguments);
        EXPECT_EQ(sim::Current().vjoy.loadAttempts, c.attempts);
        EXPECT_EQ(session.Lines(),
                  Lines{c.attempts.empty() ? kNoDriverCapabilities : kVjoyCapabilities});
        if (!c.attempts.empty()) {
            EXPECT_EQ(sim::Current().vjoy.lastLoadFlags, 0x900u);
        }
        EXPECT_EQ(sim::Current().vjoy.loaded, false);  // unloaded at shutdown
    }
}

TEST(ProbeBackendTest, VjoyUnusableLibraryStaysLoadedUntilTheNextProbe) {
    struct Case {
        const char* name;
        std::vector<std::string> missing;
        int32_t enabled;
        uint32_t enabledCalls;
    };
    const Case cases[] = {
        {"first export missing", {"vJoyEnabled"}, 1, 0},
        {"later export missing", {"SetBtn", "GetVJDContPovNumber"}, 1, 0},
        {"last export missing", {"GetVJDContPovNumber"}, 1, 0},
        {"driver disabled", {}, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session session;
        InstallVjoy();
        sim::Current().vjoy.missingExports = c.missing;
        sim::Current().vjoy.enabled = c.enabled;
        sim::SendLine(0, InputLine(0));
        sim::SendLine(10, R"({"type":"probe"})");  // unloads and loads again
        sim::CloseInput(20);
        session.Run();
        EXPECT_EQ(session.Lines(),
                  (Lines{kNoDriverCapabilities, test::kDriverRequired, kNoDriverCapabilities}));
        const sim::VjoyLibrary& vjoy = sim::Current().vjoy;
        EXPECT_EQ(vjoy.loads, 2u);
        EXPECT_EQ(vjoy.frees, 2u);  // before the reload, and at shutdown
        EXPECT_EQ(vjoy.enabledCalls, 2 * c.enabledCalls);
    }
}

TEST(ProbeBackendTest, AvailableVjoyIsNotReloaded) {
    Session session;
    InstallVjoy();
    sim::SendLine(0, InputLine(1));
    sim::SendLine(10, R"({"type":"probe","player":1})");
    sim::CloseInput(20);
    session.Run();
    EXPECT_EQ(session.Lines(), (Lines{kVjoyCapabilities, DeviceCreated(1, kVjoy), kVjoyCapabilities,
                                      DeviceRemoved(1)}));
    EXPECT_EQ(sim::Current().vjoy.loads, 1u);
    EXPECT_EQ(sim::Current().bus.enumCalls, 2u);  // discovery still runs each time
}

TEST(ProbeBackendTest, BusInstalledWhileVjoyServesPlayers) {
    Session session;
    InstallVjoy();
    sim::DeviceInterface late = Interface(1);
    late.presentFromMs = 100;
    sim::Current().bus.interfaces = {late};
    sim::SendLine(0, InputLine(2));
    sim::SendLine(0, InputLine(0));
    sim::SendLine(200, R"({"type":"probe"})");
    sim::SendLine(300, InputLine(0));
    sim::SendLine(300, InputLine(2));
    sim::CloseInput(400);
    session.Run();
    EXPECT_EQ(session.Lines(), (Lines{kVjoyCapabilities, DeviceCreated(2, kVjoy),
                                      DeviceCreated(0, kVjoy), DeviceRemoved(0), DeviceRemoved(2),
                                      kBusReady, DeviceCreated(0), DeviceCreated(2), ZeroRumble(0),
                                      DeviceRemoved(0), ZeroRumble(2), DeviceRemoved(2)}));
    // The library stays loaded until shutdown, but nothing of it is used after the hand-over.
    const sim::VjoyLibrary& vjoy = sim::Current().vjoy;
    EXPECT_EQ(vjoy.loads, 1u);
    EXPECT_EQ(vjoy.frees, 1u);
    EXPECT_EQ(vjoy.calls.back().name, "RelinquishVJD");
    EXPECT_EQ(session.bridge->vjoy.available, 0);
    ExpectBusClean();
}

TEST(ProbeBackendTest, FailingBusDoesNotTakeVjoyAway) {
    Session session;
    InstallVjoy();
    sim::DeviceInterface late = Interface(1, sim::AtOnce(50));
    late.presentFromMs = 100;
    sim::Current().bus.interfaces = {late};
    sim::SendLine(0, InputLine(3));
    sim::SendLine(200, R"({"type":"probe"})");
    sim::CloseInput(300);
    session.Run();
    EXPECT_EQ(session.Lines(), (Lines{kVjoyCapabilities, DeviceCreated(3, kVjoy),
                                      CapabilitiesLine(test::kVjoy, "incompatible", true, false),
                                      DeviceRemoved(3)}));
    ExpectBusClean();
}

TEST(ProbeBackendTest, OpenBusSkipsDiscoveryAndReportsThePermissionOfTheMoment) {
    Session session;
    test::InstallBus();
    sim::SendLine(0, R"({"type":"probe"})");
    sim::SendLine(10, R"({"type":"system-permission","enabled":true})");
    sim::SendLine(20, R"({"type":"probe"})");
    sim::CloseInput(30);
    session.Run();
    EXPECT_EQ(session.Lines(), (Lines{kBusReady, kBusReady, test::kGranted,
                                      CapabilitiesLine(test::kXbox360, "ready", true, true)}));
    EXPECT_EQ(sim::Current().bus.enumCalls, 1u);
    EXPECT_EQ(sim::Current().bus.opens.size(), 1u);
    ExpectBusClean();
}

}  // namespace
}  // namespace padbridge
