// vJoy players when the ViGEmBus driver appears: a probe hands them over to the bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "vjoy_session.h"

namespace padbridge {
namespace {

using test::DeviceCreated;
using test::DeviceRemoved;
using test::InputLine;
using test::InstallVjoy;
using test::kBusReady;
using test::kVjoy;
using test::kVjoyCapabilities;
using test::PadWrites;
using test::Session;
using Strings = std::vector<std::string>;

TEST(VjoyHandOverTest, ProbeThatFindsTheBusHandsPlayersOverInAscendingOrder) {
    Session session;
    InstallVjoy();
    sim::DeviceInterface bus;
    bus.presentFromMs = 100;  // the driver is installed while players are on vJoy
    sim::Current().bus.interfaces.push_back(bus);
    sim::SendLine(0, InputLine(5, {1, 0, 0, 0}));
    sim::SendLine(1, InputLine(1));
    sim::SendLine(2, InputLine(3));
    sim::SendLine(50, "{\"type\":\"probe\"}");  // no bus yet: vJoy stays, nothing reloaded
    sim::SendLine(200, "{\"type\":\"probe\"}");
    sim::SendLine(300, "{\"type\":\"probe\"}");  // nothing left to hand over
    sim::CloseInput(400);
    EXPECT_EQ(session.Run(), 0);

    EXPECT_EQ(session.Lines(),
              (Strings{kVjoyCapabilities, DeviceCreated(5, kVjoy), DeviceCreated(1, kVjoy),
                       DeviceCreated(3, kVjoy), kVjoyCapabilities, DeviceRemoved(1),
                       DeviceRemoved(3), DeviceRemoved(5), kBusReady, kBusReady}));
    Strings relinquished;
    for (const std::string& write : PadWrites()) {
        if (write.rfind("RelinquishVJD", 0) == 0) relinquished.push_back(write);
    }
    EXPECT_EQ(relinquished, (Strings{"RelinquishVJD(2)", "RelinquishVJD(4)", "RelinquishVJD(6)"}));
    // Player 5 was released with its neutral values before the relinquish.
    const Strings writes = PadWrites();
    const auto last = std::find(writes.begin(), writes.end(), "RelinquishVJD(6)");
    ASSERT_NE(last, writes.begin());
    EXPECT_EQ(*(last - 1), "SetAxis(16383,6,48)");
    EXPECT_EQ(sim::Current().vjoy.loads, 1u);  // loaded once, kept until shutdown
    EXPECT_EQ(sim::Current().vjoy.frees, 1u);
    EXPECT_EQ(session.bridge->players.lastInputTick[5], 0u);
}

TEST(VjoyHandOverTest, InputAfterTheHandOverGoesToTheBusNotToVjoy) {
    Session session;
    InstallVjoy();
    sim::DeviceInterface bus;
    bus.presentFromMs = 100;
    sim::Current().bus.interfaces.push_back(bus);
    sim::SendLine(0, InputLine(2));
    sim::SendLine(200, "{\"type\":\"probe\"}");
    sim::SendLine(300, InputLine(2));
    sim::CloseInput(400);
    session.Run();
    const Strings lines = session.Lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[3], kBusReady);
    EXPECT_EQ(lines[4], DeviceCreated(2));
    const Strings writes = PadWrites();
    EXPECT_EQ(std::count(writes.begin(), writes.end(), "AcquireVJD(3)"), 1);
}

}  // namespace
}  // namespace padbridge
