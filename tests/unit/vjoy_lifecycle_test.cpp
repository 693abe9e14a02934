// vJoy pads on the simulated library: failed acquisitions, and every way a device is released.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "vjoy_session.h"

namespace padbridge {
namespace {

using test::Buttons;
using test::DeviceCreated;
using test::DeviceRemoved;
using test::InputLine;
using test::InstallVjoy;
using test::kVjoy;
using test::kVjoyAxisMissing;
using test::kVjoyBusy;
using test::kVjoyCapabilities;
using test::kVjoyConfigurationRequired;
using test::PadCalls;
using test::PadWrites;
using test::Session;
using Strings = std::vector<std::string>;

TEST(VjoyLifecycleTest, FailedAcquisitionAnswersEveryInputAndStopsAtTheFirstFailedCheck) {
    struct Case {
        const char* name;
        int32_t buttons = 10;
        int32_t contPovs = 1;
        std::vector<uint32_t> missingAxes;
        bool refuse = false;
        std::string line;
        Strings callsPerInput;
    };
    const Strings allAxes = {"GetVJDAxisExist(1,48)", "GetVJDAxisExist(1,49)",
                             "GetVJDAxisExist(1,51)", "GetVJDAxisExist(1,52)",
                             "GetVJDAxisExist(1,50)", "GetVJDAxisExist(1,53)"};
    const Strings counts = {"GetVJDButtonNumber(1)", "GetVJDContPovNumber(1)"};
    auto join = [](Strings a, const Strings& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Case cases[] = {
        {"nine buttons", 9, 1, {}, false, kVjoyConfigurationRequired, {"GetVJDButtonNumber(1)"}},
        {"nine buttons, no POV",
         9,
         0,
         {},
         false,
         kVjoyConfigurationRequired,
         {"GetVJDButtonNumber(1)"}},
        {"no continuous POV", 10, 0, {}, false, kVjoyConfigurationRequired, counts},
        {"no X", 10, 1, {0x30}, false, kVjoyAxisMissing, join(counts, {"GetVJDAxisExist(1,48)"})},
        {"no Rz", 128, 4, {0x35}, false, kVjoyAxisMissing, join(counts, allAxes)},
        // Rx is checked before Z.
        {"no Z, no Rx",
         10,
         1,
         {0x32, 0x33},
         false,
         kVjoyAxisMissing,
         join(counts, Strings(allAxes.begin(), allAxes.begin() + 3))},
        {"another feeder owns it",
         10,
         1,
         {},
         true,
         kVjoyBusy,
         join(join(counts, allAxes), {"AcquireVJD(1)"})},
        // The slider is not one of ours.
        {"no slider",
         10,
         1,
         {0x36},
         true,
         kVjoyBusy,
         join(join(counts, allAxes), {"AcquireVJD(1)"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session session;
        InstallVjoy();
        sim::VjoyDevice& device = sim::VjoyDeviceById(1);
        device.buttons = c.buttons;
        device.contPovs = c.contPovs;
        device.missingAxes = c.missingAxes;
        device.refuseAcquire = c.refuse;
        for (uint64_t at : {0u, 500u, 1000u}) sim::SendLine(at, InputLine(0, {1, 0, 0, 0}));
        sim::SendLine(1100, "{\"type\":\"remove\",\"player\":0}");
        sim::CloseInput(3000);  // long past the idle timeout
        session.Run();
        // One error line per input, no device line at all: not on remove, idle or shutdown.
        EXPECT_EQ(session.Lines(), (Strings{kVjoyCapabilities, c.line, c.line, c.line}));
        EXPECT_EQ(PadCalls(), join(join(c.callsPerInput, c.callsPerInput), c.callsPerInput));
        EXPECT_EQ(session.bridge->players.lastInputTick[0], 0u);
    }
}

TEST(VjoyLifecycleTest, FailedAcquisitionStillArmsTheIdleTimeoutWhichReleasesNothing) {
    Session session;
    InstallVjoy();
    sim::VjoyDeviceById(1).refuseAcquire = true;
    sim::SendLine(0, InputLine(0));
    sim::CloseInput(1500);
    session.Run();
    EXPECT_EQ(session.Lines(), (Strings{kVjoyCapabilities, kVjoyBusy}));
    EXPECT_EQ(PadWrites(), Strings{"AcquireVJD(1)"});
    EXPECT_EQ(session.bridge->players.lastInputTick[0], 0u);  // cleared by the idle check
}

TEST(VjoyLifecycleTest, RemoveWritesOnlyWhatDiffersRelinquishesAndPrintsOnce) {
    Session session;
    InstallVjoy();
    sim::SendLine(0, InputLine(2, {0, -1, 0, 0}, Buttons({{0, 1.0}, {7, 0.5}, {15, 1.0}})));
    sim::SendLine(10, "{\"type\":\"remove\",\"player\":2}");
    sim::SendLine(20, "{\"type\":\"remove\",\"player\":2}");
    sim::CloseInput(30);
    session.Run();
    EXPECT_EQ(session.Lines(),
              (Strings{kVjoyCapabilities, DeviceCreated(2, kVjoy), DeviceRemoved(2)}));
    const Strings writes = PadWrites();
    ASSERT_EQ(writes.size(), 18u + 5u);
    EXPECT_EQ(Strings(writes.begin() + 18, writes.end()),
              (Strings{"SetAxis(16383,3,49)", "SetAxis(0,3,53)", "SetBtn(0,3,1)",
                       "SetContPov(4294967295,3,1)", "RelinquishVJD(3)"}));
    const sim::VjoyDevice& device = sim::VjoyDeviceById(3);
    EXPECT_FALSE(device.owned);
    EXPECT_EQ(device.axes[0x35 - 0x30], 0);
    EXPECT_EQ(device.buttonStates[1], 0);
    EXPECT_EQ(device.pov, 0xFFFFFFFFu);
}

TEST(VjoyLifecycleTest, EveryReleasePointReleasesAndTheNextInputAcquiresAfresh) {
    struct Case {
        const char* name;
        std::vector<std::pair<uint64_t, std::string>> script;  // after an input at 0
        uint64_t closeAt;
    };
    const Case cases[] = {
        {"remove", {{300, "{\"type\":\"remove\",\"player\":4}"}}, 400},
        {"neutral", {{300, "{\"type\":\"neutral\",\"player\":4}"}}, 400},
        {"idle timeout", {}, 2000},
        {"idle after 900 ms refresh", {{900, InputLine(4)}}, 3000},
        {"shutdown", {}, 700},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session session;
        InstallVjoy();
        sim::SendLine(0, InputLine(4));
        for (const auto& [at, line] : c.script) sim::SendLine(at, line);
        sim::CloseInput(c.closeAt);
        session.Run();
        EXPECT_EQ(session.Lines(),
                  (Strings{kVjoyCapabilities, DeviceCreated(4, kVjoy), DeviceRemoved(4)}));
        EXPECT_EQ(PadWrites().back(), "RelinquishVJD(5)");
        EXPECT_EQ(session.bridge->vjoy.acquired[4], 0);
    }

    // Released, then acquired again: a new device line and every value rewritten.
    Session session;
    InstallVjoy();
    sim::SendLine(0, InputLine(4, {0.5, 0, 0, 0}, Buttons({{1, 1.0}})));
    sim::SendLine(10, "{\"type\":\"remove\",\"player\":4}");
    sim::SendLine(20, InputLine(4, {0.5, 0, 0, 0}, Buttons({{1, 1.0}})));
    sim::CloseInput(30);
    session.Run();
    EXPECT_EQ(session.Lines(),
              (Strings{kVjoyCapabilities, DeviceCreated(4, kVjoy), DeviceRemoved(4),
                       DeviceCreated(4, kVjoy), DeviceRemoved(4)}));
    const Strings writes = PadWrites();
    const auto acquire = std::find(writes.begin() + 1, writes.end(), "AcquireVJD(5)");
    ASSERT_NE(acquire, writes.end());
    EXPECT_EQ(std::count(acquire, writes.end(), "SetAxis(24575,5,48)"), 1);
    EXPECT_EQ(std::count_if(acquire, writes.end(),
                            [](const std::string& w) { return w.rfind("SetBtn(", 0) == 0; }),
              10 + 1);
}

TEST(VjoyLifecycleTest, ShutdownReleasesPlayersInAscendingOrderBeforeUnloading) {
    Session session;
    InstallVjoy();
    sim::SendLine(0, InputLine(6));
    sim::SendLine(1, InputLine(0));
    sim::SendLine(2, InputLine(3));
    sim::CloseInput(10);
    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(), (Strings{kVjoyCapabilities, DeviceCreated(6, kVjoy),
                                        DeviceCreated(0, kVjoy), DeviceCreated(3, kVjoy),
                                        DeviceRemoved(0), DeviceRemoved(3), DeviceRemoved(6)}));
    Strings relinquished;
    for (const std::string& write : PadWrites()) {
        if (write.rfind("RelinquishVJD", 0) == 0) relinquished.push_back(write);
    }
    EXPECT_EQ(relinquished, (Strings{"RelinquishVJD(1)", "RelinquishVJD(4)", "RelinquishVJD(7)"}));
    EXPECT_FALSE(sim::Current().vjoy.loaded);
    EXPECT_EQ(sim::Current().vjoy.callsWhileUnloaded, 0u);
}

}  // namespace
}  // namespace padbridge
