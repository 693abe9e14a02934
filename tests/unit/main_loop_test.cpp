#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session.h"
#include "version.h"
#include "vigem_fixture.h"

namespace padbridge {
namespace {

using test::InputLine;
using test::kDriverRequired;
using test::Session;

const std::string kStartup = test::kNoDriverCapabilities;

TEST(MainLoopTest, StartUpOrderAndAnEmptyInput) {
    // Nothing scripted: the input ends at once, as `padbridge.exe < NUL` does.
    Session session;
    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(), std::vector<std::string>{kStartup});
    EXPECT_EQ(sim::Current().defaultDllDirectories, 0x800u);
    EXPECT_TRUE(sim::Current().streamsPrepared);
    EXPECT_TRUE(sim::Current().pipe.readerStarted);
    EXPECT_TRUE(sim::Current().console.shutdownFinished);
}

TEST(MainLoopTest, InputThatCannotBeReadEndsTheSessionCleanly) {
    Session session;
    sim::Current().pipe.readerFails = true;
    sim::SendLine(0, R"({"type":"probe"})");
    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(), std::vector<std::string>{kStartup});
    EXPECT_TRUE(sim::Current().console.shutdownFinished);
}

TEST(MainLoopTest, CommandLineRules) {
    struct Case {
        std::vector<std::u16string> arguments;
        const char16_t* expectedPath;  // null: no vJoy library path
    };
    const Case cases[] = {
        {{}, nullptr},
        {{u"--vjoy-dll"}, nullptr},
        {{u"--vjoy-dll", u"C:\\v.dll"}, u"C:\\v.dll"},
        {{u"--vjoy-dll", u"C:\\v.dll", u"extra"}, u"C:\\v.dll"},
        {{u"--VJOY-DLL", u"C:\\v.dll"}, nullptr},
        {{u"--other", u"--vjoy-dll", u"C:\\v.dll"}, nullptr},
        {{u"--self-testing"}, nullptr},
        {{u"--Version"}, nullptr},
        {{u"--version2"}, nullptr},
        {{u"--versio"}, nullptr},
        {{u"--other", u"--version"}, nullptr},
        {{u"--vjoy-dll", u"--version"}, u"--version"},
    };
    for (const Case& c : cases) {
        Session session;
        sim::CloseInput(0);
        std::vector<std::u16string> arguments = c.arguments;
        EXPECT_EQ(session.Run(arguments), 0);
        const os::WideChar* path = session.bridge->vjoyLibraryPath;
        if (c.expectedPath == nullptr) {
            EXPECT_EQ(path, nullptr);
        } else {
            ASSERT_NE(path, nullptr);
            EXPECT_EQ(std::u16string(path), c.expectedPath);
        }
        EXPECT_EQ(session.Lines(), std::vector<std::string>{kStartup});  // a normal run
    }
}

TEST(MainLoopTest, VersionFirstPrintsOneLineAndNothingElseRuns) {
    const std::vector<std::u16string> commandLines[] = {
        {u"--version"},
        {u"--version", u"--self-test"},
        {u"--version", u"--vjoy-dll", u"C:\\v.dll"},
    };
    for (const std::vector<std::u16string>& arguments : commandLines) {
        Session session;
        test::InstallBus();
        sim::Current().vjoy.installedPath = u"C:\\v.dll";
        sim::SendLine(0, R"({"type":"probe"})");  // waits unread: stdin is never looked at
        sim::CloseInput(0);
        EXPECT_EQ(session.Run(arguments), 0);
        EXPECT_EQ(sim::Current().output, test::Crlf(test::VersionLine(PADBRIDGE_VERSION)));
        EXPECT_EQ(sim::Current().outputWrites, 1u);
        EXPECT_EQ(sim::Current().defaultDllDirectories, 0u);
        EXPECT_FALSE(sim::Current().streamsPrepared);
        EXPECT_FALSE(sim::Current().pipe.readerStarted);
        EXPECT_FALSE(sim::Current().console.watched);
        EXPECT_EQ(sim::Current().bus.enumCalls, 0u);
        EXPECT_TRUE(sim::Current().vjoy.loadAttempts.empty());
    }
}

// Everything that waits is taken in 2048-byte chunks and dispatched in the same pass.
TEST(MainLoopTest, ReadsInChunksAndDispatchesEverythingThatWaits) {
    Session session;
    std::string burst;
    for (int i = 0; i < 60; ++i) burst += InputLine(i % 8) + "\n";  // about 5 KB at once
    ASSERT_GT(burst.size(), 4096u);
    sim::Send(0, burst);
    sim::CloseInput(0);
    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(sim::Current().pipe.largestTake, 2048u);
    EXPECT_EQ(session.Lines().size(), 61u);
    // While input waited, no wait slept.
    for (const sim::Wait& wait : sim::Current().waits) EXPECT_EQ(wait.wokeAtMs, 0u);
}

// A burst longer than a chunk: the pad's lines come after the lines of the chunk that created it
// and before the rest, as when each chunk had a pass of its own.
TEST(MainLoopTest, PadLinesFollowTheChunkThatCreatedThePad) {
    Session session;
    test::InstallBus();
    const std::string probe = R"({"type":"probe"})";
    std::string burst = InputLine(0) + "\n";
    const std::size_t firstChunkProbes = (2048 - burst.size()) / (probe.size() + 1);
    while (burst.size() < 3000) burst += probe + "\n";
    const std::size_t probes = (burst.size() - InputLine(0).size() - 1) / (probe.size() + 1);
    sim::Send(0, burst);
    sim::CloseInput(0);
    EXPECT_EQ(session.Run(), 0);
    std::vector<std::string> expected(1 + firstChunkProbes, test::kBusReady);
    expected.push_back(test::DeviceCreated(0));
    expected.insert(expected.end(), probes - firstChunkProbes, test::kBusReady);
    expected.push_back(test::ZeroRumble(0));
    expected.push_back(test::DeviceRemoved(0));
    EXPECT_EQ(session.Lines(), expected);
}

TEST(MainLoopTest, EveryLineWrittenWholeEndingInCrLf) {
    Session session;
    sim::SendLine(0, InputLine(0));
    sim::SendLine(0, R"({"type":"probe"})");
    sim::CloseInput(0);
    session.Run();
    const std::string& out = sim::Current().output;
    EXPECT_EQ(out, test::Crlf(kStartup, kDriverRequired, kStartup));
    EXPECT_EQ(sim::Current().outputWrites, 3u);
}

TEST(MainLoopTest, PipeClosedMidLineDropsThePartialLine) {
    Session session;
    sim::Send(0, InputLine(0));  // no line feed
    sim::CloseInput(50);
    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(), std::vector<std::string>{kStartup});
}

TEST(MainLoopTest, PlayersExpiringInOneTickAreTornDownInAscendingOrder) {
    test::OnEachClock([](Session& session, sim::ClockMode mode) {
        test::InstallBus();
        sim::SendLine(0, InputLine(5));
        sim::SendLine(0, InputLine(2));
        sim::SendLine(400, InputLine(5));
        sim::SendLine(400, InputLine(2));
        sim::CloseInput(3000);
        session.Run();
        EXPECT_EQ(session.Lines(),
                  (std::vector<std::string>{test::kBusReady, test::DeviceCreated(2),
                                            test::DeviceCreated(5), test::ZeroRumble(2),
                                            test::DeviceRemoved(2), test::ZeroRumble(5),
                                            test::DeviceRemoved(5)}));
        // Player 5 asked first and got serial 1. Both went in the same pass, 1001 ms after
        // their last input at 400; on the coarse clock that input read the tick of 390, and the
        // lapse due at 1391 is seen at the interrupt of 1406.25.
        const std::vector<sim::Request> unplugs = sim::Current().bus.RequestsOf(sim::kUnplug);
        ASSERT_EQ(unplugs.size(), 2u);
        EXPECT_EQ(unplugs[0].atMs, mode == sim::ClockMode::kFine ? 1401u : 1407u);
        EXPECT_EQ(test::SerialsOf(sim::kUnplug), (std::vector<uint32_t>{2, 1}));
    });
}

TEST(IdlePlayerCheckTest, MoreThanOneSecondOnUnsignedTicks) {
    struct Case {
        uint64_t last;
        uint64_t now;
        bool tornDown;
    };
    const Case cases[] = {
        {0, 99999, false},  // not set
        {1000, 2000, false},
        {1000, 2001, true},
        {1000, 1000, false},
        // A stamp taken after the loop's tick sample, by a line handled later in the same pass:
        // not a lapse, however the unsigned difference would wrap.
        {5000, 900, false},
        {~uint64_t{0}, 1, false},
        {1, ~uint64_t{0}, true},
    };
    for (const Case& c : cases) {
        Session session;
        session.bridge->lastInputTick[4] = c.last;
        EXPECT_EQ(CheckIdlePlayer(*session.bridge, 4, c.now), c.tornDown) << c.last << " " << c.now;
        EXPECT_EQ(session.bridge->lastInputTick[4], c.tornDown ? 0u : c.last);
    }
}

}  // namespace
}  // namespace padbridge
