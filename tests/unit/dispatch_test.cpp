#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session.h"

namespace padbridge {
namespace {

using test::InputLine;
using test::kDriverRequired;
using test::Session;

const std::string kStartup = test::kNoDriverCapabilities;
const std::string kZeros = "[0,0,0,0],\"buttons\":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]}";

// Lines that are answered with no backend installed: `probe` with capabilities, a valid `input`
// with driver_required. Everything else here must be dropped without a byte of output.
TEST(DispatchTest, RoutesByTypeAndPlayer) {
    struct Case {
        std::string line;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {R"({"type":"probe"})", {kStartup}},
        {R"({"type":"probe","player":99})", {kStartup}},
        {R"({ "type" : "probe" })", {kStartup}},
        {R"({"type":"pro\"be"})", {}},
        {R"({"type":"Probe"})", {}},
        {R"({"type":"probes"})", {}},
        {R"({"type":"probe "})", {}},
        {R"({"type":"\u0070robe"})", {}},
        {"{\"type\":\"" + std::string(32, 'p') + "\"}", {}},
        {R"("type":"probe")", {}},
        {R"({"kind":"probe"})", {}},
        {"", {}},
        {"{}", {}},
        {R"({"type":"input","player":1,"axes":)" + kZeros, {kDriverRequired}},
        {R"({"type":"input","player":1.0,"axes":)" + kZeros, {kDriverRequired}},
        {R"({"type":"input","player":3e0,"axes":)" + kZeros, {kDriverRequired}},
        {R"({"type":"input","player":-0,"axes":)" + kZeros, {kDriverRequired}},
        {R"({"type":"input","player":7,"axes":)" + kZeros, {kDriverRequired}},
        {R"({"type":"input","player":0x2,"axes":)" + kZeros, {kDriverRequired}},
        {R"({"type":"input","player":8,"axes":)" + kZeros, {}},
        {R"({"type":"input","player":2.5,"axes":)" + kZeros, {}},
        {R"({"type":"input","player":-1,"axes":)" + kZeros, {}},
        {R"({"type":"input","player":"1","axes":)" + kZeros, {}},
        {R"({"type":"input","player":1e999,"axes":)" + kZeros, {}},
        {R"({"type":"input","player":nan,"axes":)" + kZeros, {}},
        {R"({"type":"input","axes":)" + kZeros, {}},
        {R"({"type":"Input","player":1,"axes":)" + kZeros, {}},
        {R"({"type":"system-heartbeat"})", {}},
        {R"({"type":"system","action":"move","x":5})", {}},
        {R"({"type":"neutral","player":0})", {}},
        {R"({"type":"remove","player":0})", {}},
        {"{\"type\":\"probe\"}\r", {kStartup}},
    };
    for (const Case& c : cases) {
        Session session;
        sim::SendLine(0, c.line);
        sim::CloseInput(0);
        EXPECT_EQ(session.Run(), 0);
        std::vector<std::string> expected{kStartup};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(session.Lines(), expected) << c.line;
        // Nothing that is not granted may touch desktop control.
        EXPECT_EQ(session.bridge->system.heartbeatTick, 0u) << c.line;
        EXPECT_TRUE(sim::Current().input.events.empty()) << c.line;
    }
}

TEST(DispatchTest, NeutralAndRemoveClearOnlyTheirPlayersTick) {
    for (const char* type : {"neutral", "remove"}) {
        Session session;
        Bridge& bridge = *session.bridge;
        for (uint64_t& tick : bridge.players.lastInputTick) tick = sim::kStartTick;
        const std::string prefix = std::string("{\"type\":\"") + type + "\",\"player\":";
        DispatchLine(bridge, (prefix + "2}").c_str());
        DispatchLine(bridge, (prefix + "9}").c_str());
        DispatchLine(bridge, (prefix + "\"5\"}").c_str());
        for (int player = 0; player < kPlayerCount; ++player) {
            EXPECT_EQ(bridge.players.lastInputTick[player], player == 2 ? 0u : sim::kStartTick)
                << type;
        }
        EXPECT_EQ(sim::Current().output, "") << type;
    }
}

TEST(DispatchTest, HeartbeatIsGatedByTheEnabledFlag) {
    for (int enabled : {0, 1}) {
        Session session;
        session.bridge->system.enabled = enabled;
        sim::SendLine(5, R"({"type":"system-heartbeat"})");  // seen after the first 5 ms sleep
        sim::CloseInput(5);
        session.Run();
        EXPECT_EQ(session.bridge->system.heartbeatTick, enabled ? sim::kStartTick + 5 : 0u);
    }
}

TEST(DispatchTest, LinesAreHandledInOrderWithinOneRead) {
    Session session;
    sim::Send(0, InputLine(0) + "\n{\"type\":\"probe\"}\n" + InputLine(1) + "\n");
    sim::CloseInput(0);
    session.Run();
    EXPECT_EQ(session.Lines(),
              (std::vector<std::string>{kStartup, kDriverRequired, kStartup, kDriverRequired}));
}

}  // namespace
}  // namespace padbridge
