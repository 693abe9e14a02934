// Overlapped requests on the simulated bus: issue, poll, time-out, release, and the detached form.
#include <gtest/gtest.h>

#include <memory>

#include "app/bridge.h"
#include "gamepad/vigem/detached_requests.h"
#include "gamepad/vigem/pending_io.h"
#include "os/sim/sim.h"
#include "vigem_fixture.h"

namespace padbridge {
namespace {

constexpr uint32_t kCode = sim::kPlugIn;
const uint8_t kRecord[8] = {8, 0, 0, 0, 1, 0, 0, 0};

struct PendingIoTest : ::testing::Test {
    void SetUp() override {
        sim::Reset();
        test::InstallBus();
        bus = os::CreateFileW(sim::Current().bus.interfaces[0].path.c_str(), 0, 0, 0, 0);
        ASSERT_NE(bus, os::kInvalidHandle);
        io.overlapped.event = os::CreateManualResetEvent();
    }
    void TearDown() override {
        ReleasePendingIo(bus, io);
        os::CloseHandle(bus);
        test::ExpectBusClean();
    }
    void Issue(sim::Answer answer) {
        sim::Current().bus.Queue(kCode, answer);
        StartPendingIo(bus, io, kCode, kRecord, sizeof kRecord, nullptr, 0);
    }
    void AdvanceTo(uint64_t elapsedMs) { sim::Current().now = sim::kStartTick + elapsedMs; }
    // A detached request as the loop carries it: issued, then polled whenever its event or its
    // deadline comes, until its result is known (or no record was free).
    uint32_t Await(uint32_t code) {
        DetachedRequests& table = bridge->bus.detached;
        uint32_t result = 0;
        const int index = StartDetachedRequest(table, bus, code, kRecord, sizeof kRecord, &result);
        if (index == kNoDetachedRequest) return result;
        while (!PollDetachedRequest(table, index, &result)) {
            const uint64_t now = os::GetTickCount64();
            const uint64_t deadline = NextDetachedRequestDeadline(table, index);
            os::WaitForSingleObject(table.entries[index].io.overlapped.event,
                                    static_cast<uint32_t>(deadline > now ? deadline - now : 0));
        }
        return result;
    }

    os::Handle bus = os::kInvalidHandle;
    PendingIo io{};
    std::unique_ptr<Bridge> bridge = std::make_unique<Bridge>();
};

TEST_F(PendingIoTest, RequestCompletedAtIssueIsCollectedByTheFirstPoll) {
    struct Case {
        sim::Answer answer;
        uint32_t result;
    };
    for (const Case& c : {Case{sim::AtOnce(), 0}, Case{sim::AtOnce(31), 31}}) {
        Issue(c.answer);
        EXPECT_EQ(io.active, 1u);
        EXPECT_EQ(io.pending, 0u);
        EXPECT_TRUE(PollPendingIo(bus, io, 1000));
        EXPECT_EQ(io.lastError, c.result);
        EXPECT_EQ(io.active, 0u);
        EXPECT_FALSE(PollPendingIo(bus, io, 1000));  // nothing active any more
    }
    EXPECT_EQ(sim::Current().bus.requests.size(), 2u);
    EXPECT_EQ(sim::Current().bus.requests[0].input, std::vector<uint8_t>(kRecord, kRecord + 8));
}

TEST_F(PendingIoTest, PendingRequestIsCollectedOnceTheDriverAnswers) {
    struct Case {
        uint32_t result;
    };
    for (const Case& c : {Case{0}, Case{1167}, Case{995}}) {
        AdvanceTo(0);
        Issue(sim::Later(100, c.result));
        EXPECT_EQ(io.pending, 1u);
        AdvanceTo(99);
        EXPECT_FALSE(PollPendingIo(bus, io, 1000));
        EXPECT_EQ(io.active, 1u);
        AdvanceTo(100);
        EXPECT_TRUE(PollPendingIo(bus, io, 1000));
        EXPECT_EQ(io.lastError, c.result);
        EXPECT_EQ(io.pending, 0u);
    }
    EXPECT_EQ(sim::Current().bus.cancels, 0u);
}

TEST_F(PendingIoTest, TimeOutIsCountedFromTheIssueAndReachedAtExactlyTheTimeOut) {
    AdvanceTo(40);
    Issue(sim::Never());
    AdvanceTo(40 + 999);
    EXPECT_FALSE(PollPendingIo(bus, io, 1000));
    EXPECT_EQ(sim::Current().bus.cancels, 0u);
    AdvanceTo(40 + 1000);
    EXPECT_TRUE(PollPendingIo(bus, io, 1000));
    EXPECT_EQ(io.lastError, 1460u);
    EXPECT_EQ(io.active, 0u);
    EXPECT_EQ(io.pending, 0u);
    EXPECT_EQ(sim::Current().bus.cancels, 1u);  // cancelled and awaited: nothing left in flight
    EXPECT_TRUE(sim::Current().bus.inFlight.empty());
}

TEST_F(PendingIoTest, TimedOutRequestIsGivenUpWithoutWaitingForTheCancellation) {
    struct Case {
        const char* name;
        uint64_t cancelMs;
        bool neverFinishes;
        bool heldAfterTimeOut;
    };
    const Case cases[] = {
        {"cancelled at once", 0, false, false},
        {"cancellation takes 5 s", 5000, false, true},
        {"cancellation never finishes", 0, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        SetUp();
        sim::Current().bus.cancelMs = c.cancelMs;
        sim::Current().bus.cancelNeverFinishes = c.neverFinishes;
        Issue(sim::Never());
        AdvanceTo(1000);
        EXPECT_TRUE(PollPendingIo(bus, io, 1000));
        EXPECT_EQ(io.lastError, 1460u);
        EXPECT_EQ(sim::Elapsed(), 1000u);  // the loop was not held
        EXPECT_EQ(io.active, 0u);
        EXPECT_EQ(PendingIoHeld(io), c.heldAfterTimeOut);
        EXPECT_EQ(PendingIoEvent(io) != os::kNullHandle, c.heldAfterTimeOut);
        EXPECT_EQ(NextPendingIoDeadline(io, 1000), kNoDeadline);  // only its event moves it
        // Until the driver lets go, the record and its event stay.
        EXPECT_EQ(ReleasePendingIo(bus, io), !c.heldAfterTimeOut);
        EXPECT_EQ(io.overlapped.event != os::kNullHandle, c.heldAfterTimeOut);
        if (c.cancelMs > 0) {
            AdvanceTo(1000 + c.cancelMs - 1);
            EXPECT_FALSE(ReleasePendingIo(bus, io));
            AdvanceTo(1000 + c.cancelMs);
            EXPECT_TRUE(ReleasePendingIo(bus, io));
        }
        EXPECT_EQ(sim::Current().bus.faults, std::vector<std::string>{});
        if (c.neverFinishes) {
            EXPECT_EQ(sim::Current().bus.inFlight.size(), 1u);
            EXPECT_EQ(sim::Current().bus.OpenEvents(), 1u);
            sim::Current().bus.inFlight.clear();  // the process's end: nothing else may close it
            sim::Current().bus.events.clear();
            io = PendingIo{};
            io.overlapped.event = os::CreateManualResetEvent();
        }
    }
}

TEST_F(PendingIoTest, ReleaseOfAnIdleRecordOnlyClosesItsEvent) {
    ReleasePendingIo(bus, io);
    EXPECT_EQ(sim::Current().bus.OpenEvents(), 0u);
    EXPECT_EQ(io.overlapped.event, os::kNullHandle);
    EXPECT_TRUE(sim::Current().bus.requests.empty());
    ReleasePendingIo(bus, io);  // nothing left to close
    EXPECT_EQ(sim::Current().bus.faults, std::vector<std::string>{});
}

TEST_F(PendingIoTest, ReleaseCancelsARunningRequest) {
    Issue(sim::Never());
    EXPECT_TRUE(ReleasePendingIo(bus, io));
    EXPECT_EQ(sim::Current().bus.cancels, 1u);
    EXPECT_EQ(io.active, 0u);
    EXPECT_EQ(io.overlapped.event, os::kNullHandle);
}

TEST_F(PendingIoTest, PendingOutputIsCountedThroughTheResult) {
    sim::Current().bus.Queue(sim::kAwaitRumble, sim::Rumble(7, 9, 10));
    uint8_t record[12] = {12, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0};
    StartPendingIo(bus, io, sim::kAwaitRumble, record, 12, record, 12);
    AdvanceTo(10);
    ASSERT_TRUE(PollPendingIo(bus, io, kNoTimeout));
    EXPECT_EQ(io.bytesReturned, 12u);
    EXPECT_EQ(record[4], 4);  // the serial echoed
    EXPECT_EQ(record[8], 7);
    EXPECT_EQ(record[9], 9);
}

TEST_F(PendingIoTest, DetachedRequestWaitsAtMostASecond) {
    struct Case {
        sim::Answer answer;
        uint32_t result;
        uint64_t waitedMs;
        uint32_t cancels;
    };
    const Case cases[] = {
        {sim::AtOnce(), 0, 0, 0},          {sim::AtOnce(87), 87, 0, 0},
        {sim::Later(300), 0, 300, 0},      {sim::Later(1000, 31), 31, 1000, 0},
        {sim::Later(1001), 1460, 1000, 1}, {sim::Never(), 1460, 1000, 1},
    };
    for (const Case& c : cases) {
        const uint64_t before = sim::Elapsed();
        const uint32_t cancelsBefore = sim::Current().bus.cancels;
        sim::Current().bus.Queue(sim::kUnplug, c.answer);
        EXPECT_EQ(Await(sim::kUnplug), c.result);
        EXPECT_EQ(sim::Elapsed() - before, c.waitedMs);
        EXPECT_EQ(sim::Current().bus.cancels - cancelsBefore, c.cancels);
        EXPECT_EQ(sim::Current().bus.OpenEvents(), 1u);  // only the fixture's own event
        EXPECT_TRUE(sim::Current().bus.inFlight.empty());
    }
}

TEST_F(PendingIoTest, DetachedRequestWithoutAnEventSendsNothing) {
    sim::Current().bus.failingEventCreations = {sim::Current().bus.eventCreations};
    EXPECT_EQ(Await(sim::kUnplug), 1450u);
    EXPECT_TRUE(sim::Current().bus.requests.empty());
}

TEST_F(PendingIoTest, DetachedRequestLeavesARecordWhoseCancellationRunsBehind) {
    sim::Current().bus.cancelMs = 5000;
    sim::Current().bus.Queue(sim::kUnplug, sim::Never());
    EXPECT_EQ(Await(sim::kUnplug), 1460u);
    EXPECT_EQ(sim::Elapsed(), 1000u);  // not 6000: the cancellation is not awaited
    DetachedRequests& table = bridge->bus.detached;
    EXPECT_TRUE(DetachedRequestsHeld(table));
    os::Handle events[kDetachedRequestCount];
    ASSERT_EQ(AddDetachedRequestEvents(table, events), 1);
    // The device may not be closed under it: the close waits for the collection.
    const os::Handle second =
        os::CreateFileW(sim::Current().bus.interfaces[0].path.c_str(), 0, 0, 0, 0);
    table.entries[0].device = second;
    CloseDeviceWhenIdle(table, second);
    EXPECT_EQ(sim::Current().bus.devices.count(second), 1u);
    AdvanceTo(5999);
    CollectDetachedRequests(table);
    EXPECT_TRUE(DetachedRequestsHeld(table));
    AdvanceTo(6000);
    CollectDetachedRequests(table);
    EXPECT_FALSE(DetachedRequestsHeld(table));
    EXPECT_EQ(table.entries[0].inUse, 0u);
    EXPECT_EQ(sim::Current().bus.devices.count(second), 0u);
    EXPECT_EQ(sim::Current().bus.OpenEvents(), 1u);  // only the fixture's own event
}

TEST_F(PendingIoTest, SpareRecordsThatAreAllHeldRefuseTheNextRequest) {
    sim::Current().bus.cancelNeverFinishes = true;
    sim::Current().bus.defaults[sim::kUnplug] = sim::Never();
    for (int i = 0; i < kDetachedRequestCount; ++i) EXPECT_EQ(Await(sim::kUnplug), 1460u);
    const std::size_t sent = sim::Current().bus.requests.size();
    EXPECT_EQ(Await(sim::kUnplug), kErrorNoDetachedRequest);
    EXPECT_EQ(sim::Current().bus.requests.size(), sent);  // nothing sent without a record
    EXPECT_EQ(sim::Current().bus.faults, std::vector<std::string>{});
    // What the process's end would close.
    sim::Current().bus.inFlight.clear();
    for (DetachedRequest& entry : bridge->bus.detached.entries) {
        sim::Current().bus.events.erase(entry.io.overlapped.event);
        entry = DetachedRequest{};
    }
}

}  // namespace
}  // namespace padbridge
