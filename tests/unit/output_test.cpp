// Standard output when the host stops reading: the loop never waits for it, the watchdog and the
// idle check keep their time, memory stays bounded by the queue's drop policy, and the host gets
// the lines in order once it reads again.
#include "protocol/output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "desktop_fixture.h"
#include "os/sim/sim.h"
#include "protocol/output_queue.h"
#include "session.h"
#include "vigem_fixture.h"

namespace padbridge {
namespace {

using test::DeviceCreated;
using test::DeviceRemoved;
using test::InputLine;
using test::kBusReady;
using test::kGrant;
using test::kGranted;
using test::Session;
using test::ZeroRumble;
using Lines = std::vector<std::string>;

const std::string kKeyAUp = sim::KeyEvent(0x41, 0x1E, 2);
// The probe's answer once the permission is granted.
const std::string kBusReadyGranted = test::CapabilitiesLine(test::kXbox360, "ready", true, true);
// Compares line lists and says where they part, rather than printing hundreds of lines.
void ExpectLines(const Lines& actual, const Lines& expected) {
    std::size_t same = 0;
    while (same < actual.size() && same < expected.size() && actual[same] == expected[same]) ++same;
    if (same == actual.size() && same == expected.size()) return;
    ADD_FAILURE() << "got " << actual.size() << " lines, expected " << expected.size()
                  << "; they part at line " << same << ":\n  got      "
                  << (same < actual.size() ? actual[same] : "(end)") << "\n  expected "
                  << (same < expected.size() ? expected[same] : "(end)");
}

// ---- The queue's drop policy, line by line ----

void Enqueue(OutputQueue& queue, LineKind kind, int player, const std::string& line) {
    const std::string wire = test::Crlf(line);
    EnqueueLine(queue, kind, player, wire.data(), wire.size());
}

Lines Drain(OutputQueue& queue) {
    Lines lines;
    while (queue.count > 0) {
        const QueuedLine& line = OldestLine(queue);
        std::string wire(line.wire, line.length);
        EXPECT_EQ(wire.substr(wire.size() - 2), "\r\n");
        lines.push_back(wire.substr(0, wire.size() - 2));
        RemoveOldestLine(queue);
    }
    return lines;
}

// One queued line, written as a token: C capabilities, E an error of player 1, P the permission
// reply, +n and -n player n's pad created and removed, Rnv a rumble of player n with low motor v,
// Lnv a lightbar of player n with red v.
struct QueuedLineSpec {
    LineKind kind;
    int player;
    std::string text;
};

QueuedLineSpec Spec(const std::string& token) {
    const int player = token.size() > 1 ? token[1] - '0' : kLineWithoutPlayer;
    const int value = token.size() > 2 ? token[2] - '0' : 0;
    switch (token[0]) {
        case 'C':
            return {LineKind::kCapabilities, kLineWithoutPlayer, kBusReady};
        case 'E':
            return {LineKind::kError, 1, test::PlayerError(1, "x", 31)};
        case 'P':
            return {LineKind::kLasting, kLineWithoutPlayer, kGranted};
        case '+':
        case '-':
            return {LineKind::kLasting, player,
                    token[0] == '+' ? DeviceCreated(player) : DeviceRemoved(player)};
        case 'R':
            return {LineKind::kRumble, player,
                    test::RumbleLine(player, std::to_string(value).c_str(), "0")};
        default:
            return {LineKind::kLightbar, player, test::LightbarLine(player, value, 0, 0)};
    }
}

// The lines of a queue written as tokens, oldest first. The one token that ends in * is a filler:
// it stands for as many of its line as it takes to make `total` lines.
std::vector<QueuedLineSpec> Specs(const std::string& tokens, uint32_t total) {
    std::vector<std::string> words;
    for (std::size_t at = 0; at < tokens.size();) {
        const std::size_t end = std::min(tokens.find(' ', at), tokens.size());
        words.push_back(tokens.substr(at, end - at));
        at = end + 1;
    }
    std::vector<QueuedLineSpec> specs;
    for (const std::string& word : words) {
        if (word.back() != '*') {
            specs.push_back(Spec(word));
            continue;
        }
        const QueuedLineSpec filler = Spec(word.substr(0, word.size() - 1));
        specs.insert(specs.end(), total - (words.size() - 1), filler);
    }
    return specs;
}

struct PolicyCase {
    const char* name;
    const char* queued;    // the full queue the new line meets
    const char* incoming;  // the new line
    const char* expected;  // what the host then gets
    uint32_t dropped;
    uint32_t replaced;
};

const PolicyCase kPolicyCases[] = {
    {"a newer rumble replaces its player's queued one", "+0 R01 P*", "R09", "+0 R09 P*", 0, 1},
    {"not across a device line: another pad's motors", "R01 -0 P*", "R09", "-0 P* R09", 1, 0},
    {"a lightbar replaces its own, across rumble", "+0 L01 R01 P*", "L09", "+0 L09 R01 P*", 0, 1},
    {"not a lightbar's place, nor across an error", "R01 E L11 P*", "R19", "R01 L11 P* R19", 1, 0},
    {"a superseded lightbar before capabilities", "C L21 R21 L22 P*", "E", "C R21 L22 P* E", 1, 0},
    {"of two players' latest rumbles the older goes", "R11 P*", "R09", "P* R09", 1, 0},
    {"a superseded rumble goes before capabilities", "C R21 R22 E P*", "E", "C R22 E P* E", 1, 0},
    {"capabilities go before errors", "E C P*", "+3", "E P* +3", 1, 0},
    {"errors go before a player's latest rumble", "R41 E P*", "+3", "R41 P* +3", 1, 0},
    {"the oldest of equal worth goes first", "C*", "C", "C*", 1, 0},
    {"a new line worth less than all queued is dropped", "P*", "C", "P*", 1, 0},
    {"device lines go last, oldest first", "+5 P*", "-5", "P* -5", 1, 0},
};

TEST(OutputQueueTest, FullQueueDropsTheLeastWorthLineFirst) {
    constexpr uint32_t kFull = kOutputQueueLines;
    for (const PolicyCase& c : kPolicyCases) {
        SCOPED_TRACE(c.name);
        static OutputQueue queue;
        ResetOutputQueue(queue);
        for (const QueuedLineSpec& line : Specs(c.queued, kFull))
            Enqueue(queue, line.kind, line.player, line.text);
        ASSERT_EQ(queue.count, kFull);
        const QueuedLineSpec incoming = Spec(c.incoming);
        Enqueue(queue, incoming.kind, incoming.player, incoming.text);
        EXPECT_EQ(queue.count, kFull);
        EXPECT_EQ(queue.dropped, c.dropped);
        EXPECT_EQ(queue.replaced, c.replaced);

        Lines expected;
        for (const QueuedLineSpec& line : Specs(c.expected, kFull)) expected.push_back(line.text);
        ExpectLines(Drain(queue), expected);
    }
}

TEST(OutputQueueTest, SlotsAreReusedInOrderAfterRemovals) {
    static OutputQueue queue;
    ResetOutputQueue(queue);
    Lines expected;
    // Three rounds of filling and half draining: order holds across slot reuse.
    int next = 0;
    for (int round = 0; round < 3; ++round) {
        while (queue.count < kOutputQueueLines) {
            Enqueue(queue, LineKind::kLasting, next % 8,
                    DeviceCreated(next % 8) + std::to_string(next));
            expected.push_back(DeviceCreated(next % 8) + std::to_string(next));
            ++next;
        }
        for (uint32_t i = 0; i < kOutputQueueLines / 2; ++i) {
            EXPECT_EQ(std::string(OldestLine(queue).wire, OldestLine(queue).length),
                      test::Crlf(expected.front()));
            expected.erase(expected.begin());
            RemoveOldestLine(queue);
        }
    }
    ExpectLines(Drain(queue), expected);
    EXPECT_EQ(queue.dropped, 0u);
}

// ---- A frozen host: it stops reading and writing while a key is held and rumble comes ----

constexpr uint64_t kLastArmingMs = 600;  // its last heartbeat and its last input
constexpr uint64_t kReadsAgainMs = 3000;
constexpr uint64_t kClosesAtMs = 3100;
// The game changes the motors every `everyMs` while the pad lives, `changes` times.
struct RumbleCadence {
    int changes;
    uint64_t everyMs;
};
constexpr RumbleCadence kSomeRumble = {240, 4};   // fits the writer's buffers
constexpr RumbleCadence kMuchRumble = {1500, 1};  // does not

struct FrozenRun {
    Lines lines;
    uint64_t keyUpAt = 0;
    uint32_t dropped = 0;
    uint32_t replaced = 0;
    uint32_t refusals = 0;
};

// Runs the frozen host on `session`, which is fresh and on its clock.
FrozenRun FrozenHost(Session& session, RumbleCadence rumble, std::size_t pipeBytes,
                     std::size_t writerBytes, bool writerFails) {
    test::InstallBus();
    sim::OutputPipe& pipe = sim::Current().outputPipe;
    pipe.pipeBytes = pipeBytes;
    pipe.writerBytes = writerBytes;
    pipe.writerFails = writerFails;
    for (int i = 0; i < rumble.changes; ++i)
        sim::Current().bus.Queue(sim::kAwaitRumble,
                                 sim::Rumble(static_cast<uint8_t>(1 + i % 250), 0, rumble.everyMs));
    sim::SendLine(0, kGrant);
    sim::SendLine(0, test::System(R"("action":"key","key":"KeyA","down":true)"));
    for (uint64_t at = 0; at <= kLastArmingMs; at += 200) {
        sim::SendLine(at, InputLine(0));
        sim::SendLine(at, R"({"type":"system-heartbeat"})");
    }
    sim::StopReading(kLastArmingMs, kReadsAgainMs);
    sim::SendLine(kReadsAgainMs, R"({"type":"probe"})");
    sim::CloseInput(kClosesAtMs);
    EXPECT_EQ(session.Run(), 0);

    FrozenRun run;
    run.lines = session.Lines();
    for (const sim::InjectedEvent& event : sim::Current().input.events) {
        if (sim::DescribeEvent(event) == kKeyAUp) run.keyUpAt = event.at;
    }
    run.dropped = session.bridge->output.dropped;
    run.replaced = session.bridge->output.replaced;
    run.refusals = pipe.refusals;
    test::ExpectBusClean();
    return run;
}

void ExpectOnTime(const FrozenRun& run) {
    EXPECT_GE(run.keyUpAt, kLastArmingMs + 1001);
    EXPECT_LE(run.keyUpAt, kLastArmingMs + 1020);
}

TEST(FrozenHostTest, WatchdogFiresOnTimeAndTheHostGetsEveryLineAfterwards) {
    test::OnEachClock([](Session& session, sim::ClockMode) {
        const FrozenRun run = FrozenHost(session, kSomeRumble, 4096, os::kOutputWriterBytes, false);
        ExpectOnTime(run);
        // Everything, in order: the pad's whole life, each motor change, then the probe's answer.
        Lines expected = {kBusReady, kGranted, DeviceCreated(0)};
        for (int i = 0; i < kSomeRumble.changes; ++i) {
            char low[16];
            std::snprintf(low, sizeof low, "%.6f", (1 + i % 250) / 255.0);
            expected.push_back(test::RumbleLine(0, low, "0.000000"));
        }
        expected.insert(expected.end(), {ZeroRumble(0), DeviceRemoved(0), kBusReadyGranted});
        ExpectLines(run.lines, expected);
        // The pipe filled, but the writer's buffer took the rest: nothing had to wait in the queue.
        EXPECT_EQ(run.refusals, 0u);
        EXPECT_EQ(run.dropped + run.replaced, 0u);
    });
}

TEST(FrozenHostTest, TightWriterKeepsMemoryBoundedAndDropsByPolicy) {
    test::OnEachClock([](Session& session, sim::ClockMode mode) {
        // No pipe buffer, and a writer with room for the longest line only.
        const FrozenRun run = FrozenHost(session, kMuchRumble, 0, kMaxWireLine, false);
        // The same session with a writer that never fills: every line the bridge made.
        Session unbounded(mode);
        const Lines all = FrozenHost(unbounded, kMuchRumble, 4096, 1 << 20, false).lines;
        ExpectOnTime(run);
        ASSERT_GT(run.lines.size(), 10u);
        // Up to the first line that had to wait in the queue, nothing is lost.
        std::size_t same = 0;
        while (same < run.lines.size() && run.lines[same] == all[same]) ++same;
        ASSERT_GT(same, 5u);
        ASSERT_LE(same + kOutputQueueLines + 2, all.size())
            << "lines " << run.lines.size() << " dropped " << run.dropped << " replaced "
            << run.replaced << " refusals " << run.refusals;
        // The queue kept its oldest line but the first (dropped for the `device` line), and its
        // last slot took each newer motor state in turn, the teardown's zero last.
        Lines expected(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(same));
        expected.insert(expected.end(), all.begin() + static_cast<std::ptrdiff_t>(same + 1),
                        all.begin() + static_cast<std::ptrdiff_t>(same + kOutputQueueLines - 1));
        expected.insert(expected.end(), {ZeroRumble(0), DeviceRemoved(0), kBusReadyGranted});
        ExpectLines(run.lines, expected);
        EXPECT_EQ(run.dropped, 1u);
        // Every line lost was either replaced by its player's newer motor state or dropped.
        EXPECT_GT(run.replaced, 0u);
        EXPECT_EQ(run.replaced + run.dropped, all.size() - run.lines.size());
    });
}

TEST(FrozenHostTest, WithoutTheWriterThreadTheLoopBlocksUntilTheHostReads) {
    // What the writer thread is for: one blocking write in place holds the loop back, so desktop
    // control is refused rather than left to a watchdog that cannot keep its time.
    test::OnEachClock([](Session& session, sim::ClockMode) {
        const FrozenRun run = FrozenHost(session, kSomeRumble, 4096, os::kOutputWriterBytes, true);
        EXPECT_EQ(run.keyUpAt, 0u);
        EXPECT_TRUE(sim::Current().input.events.empty());
        EXPECT_EQ(run.refusals, 0u);
        ASSERT_GE(run.lines.size(), 3u);
        EXPECT_EQ(Lines(run.lines.begin(), run.lines.begin() + 3),
                  (Lines{kBusReady, test::kRefused, DeviceCreated(0)}));
        // The idle pad outlived its time: it went only after the probe sent at the end.
        EXPECT_EQ(Lines(run.lines.end() - 3, run.lines.end()),
                  (Lines{kBusReady, ZeroRumble(0), DeviceRemoved(0)}));
    });
}

TEST(FrozenHostTest, LoopWakesWhenTheWriterHasRoomAgain) {
    // Lines wait in the queue, nothing else is live: only the writer's room event can tell the
    // loop that the host reads again, and it hands the lines over at that moment.
    test::OnEachClock([](Session& session, sim::ClockMode) {
        sim::Current().outputPipe.pipeBytes = 0;
        sim::Current().outputPipe.writerBytes = kMaxWireLine;
        sim::StopReading(100, 2000);
        for (int i = 0; i < 6; ++i) sim::SendLine(100, R"({"type":"probe"})");
        sim::CloseInput(5000);
        EXPECT_EQ(session.Run(), 0);
        ExpectLines(session.Lines(), Lines(7, test::kNoDriverCapabilities));
        EXPECT_GT(sim::Current().outputPipe.refusals, 0u);
        std::vector<uint64_t> wakes;
        for (const sim::Wait& wait : sim::Current().waits) wakes.push_back(wait.wokeAtMs);
        EXPECT_EQ(wakes, (std::vector<uint64_t>{100, 2000, 5000}));
    });
}

// ---- A host that reads slowly: a line at a time, busy with each one ----

struct SlowReaderRow {
    const char* name;
    uint64_t readLineEveryMs;  // 0: the host reads everything at once
    std::size_t pipeBytes;
    std::size_t writerBytes;
    bool losesLines;  // whether the bound has to drop or replace some `rumble` lines
};

const SlowReaderRow kSlowReaders[] = {
    {"a line every ms, the writer's real sizes", 1, 4096, os::kOutputWriterBytes, false},
    {"a line every 20 ms, no pipe buffer, a writer of one line", 20, 0, kMaxWireLine, true},
};

struct SlowRun {
    Lines lines;
    uint32_t lost = 0;  // dropped or replaced
    uint32_t refusals = 0;
};

// Two pads whose motors change every millisecond, a grant, a refusal and a grant again; player 1
// is removed and player 0 goes idle long before the host closes its end. Runs on `session`, which
// is fresh and on its clock.
SlowRun SlowReader(Session& session, const SlowReaderRow& row) {
    test::InstallBus();
    sim::OutputPipe& pipe = sim::Current().outputPipe;
    pipe.readLineEveryMs = row.readLineEveryMs;
    pipe.pipeBytes = row.pipeBytes;
    pipe.writerBytes = row.writerBytes;
    for (int i = 0; i < kMuchRumble.changes; ++i)
        sim::Current().bus.Queue(sim::kAwaitRumble,
                                 sim::Rumble(static_cast<uint8_t>(1 + i % 250), 0, 1));
    sim::SendLine(0, kGrant);
    for (uint64_t at = 0; at <= 600; at += 200) {
        sim::SendLine(at, InputLine(0));
        sim::SendLine(at, InputLine(1));
    }
    sim::SendLine(700, test::kRefused);
    sim::SendLine(800, kGrant);
    sim::SendLine(900, R"({"type":"remove","player":1})");
    sim::CloseInput(8000);
    EXPECT_EQ(session.Run(), 0);
    test::ExpectBusClean();
    return {session.Lines(), session.bridge->output.dropped + session.bridge->output.replaced,
            pipe.refusals};
}

Lines LastingLines(const Lines& lines) {
    Lines lasting;
    for (const std::string& line : lines) {
        if (line.find(R"("type":"device")") != std::string::npos ||
            line.find(R"("type":"system-permission")") != std::string::npos)
            lasting.push_back(line);
    }
    return lasting;
}

TEST(SlowReaderTest, GetsEveryDeviceAndPermissionLine) {
    for (const SlowReaderRow& row : kSlowReaders) {
        SCOPED_TRACE(row.name);
        test::OnEachClock([&row](Session& session, sim::ClockMode mode) {
            const SlowRun run = SlowReader(session, row);
            Session atOnce(mode);
            const SlowRun all =
                SlowReader(atOnce, {"at once", 0, 4096, os::kOutputWriterBytes, false});
            EXPECT_EQ(all.lost + all.refusals, 0u);
            EXPECT_EQ(LastingLines(run.lines),
                      (Lines{kGranted, DeviceCreated(0), DeviceCreated(1), test::kRefused, kGranted,
                             DeviceRemoved(1), DeviceRemoved(0)}));
            if (row.losesLines) {
                // The bound held: the writer refused, and only motor states were lost.
                EXPECT_GT(run.refusals, 0u);
                EXPECT_GT(run.lost, 0u);
                EXPECT_EQ(run.lost, all.lines.size() - run.lines.size());
            } else {
                EXPECT_EQ(run.lost + run.refusals, 0u);
                ExpectLines(run.lines, all.lines);
            }
        });
    }
}

// ---- A host that reads normally sees no change ----

TEST(OutputTest, ReadingHostGetsEachLineInItsOwnWriteAndNothingWaits) {
    Session session;
    test::InstallBus();
    sim::Current().outputPipe.pipeBytes = 0;  // even with no pipe buffer at all
    sim::SendLine(0, InputLine(0));
    sim::SendLine(0, kGrant);
    sim::CloseInput(10);
    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(),
              (Lines{kBusReady, kGranted, DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0)}));
    EXPECT_EQ(sim::Current().outputWrites, 5u);
    EXPECT_EQ(sim::Current().outputPipe.refusals, 0u);
    EXPECT_EQ(sim::Elapsed(), 10u);  // the end waited for nothing
}

}  // namespace
}  // namespace padbridge
