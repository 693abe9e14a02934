#include "app/owners.h"

#include <iterator>

#include "app/bridge.h"
#include "deadline.h"
#include "protocol/output.h"

namespace padbridge {
namespace {

constexpr uint32_t kLongestWaitMs = 0xFFFFFFFE;  // kInfinite is one more
// How long shutdown waits, once every owner's lines are out, for the driver to let go of
// cancelled requests before it leaves them to the process's end.
constexpr uint64_t kShutdownDrainMs = 1000;

// What shutdown still waits for from an owner.
enum class Drain : uint8_t {
    kNothing,
    kRequests,  // only cancelled requests the driver has not let go of, or owed releases: a
                // bounded while
    kLines,     // lines still to come, each request bounded by its time-out
};

struct Owner {
    int count;            // instances: one, or one per player
    uint32_t eventsEach;  // the most events one instance adds to a wait
    PassStep step;
    // When the instance must next run (kNoDeadline: only an event moves it); null: never.
    uint64_t (*deadline)(const Bridge& bridge, int index, uint64_t now) = nullptr;
    // Adds the events it waits on now and returns how many; null: none.
    int (*events)(const Bridge& bridge, int index, uint64_t now, os::Handle* events) = nullptr;
    // Its work in each pass, and in shutdown's drain; null: none, it only wakes the loop.
    void (*wake)(Bridge& bridge, int index, uint64_t now) = nullptr;
    // What shutdown still waits for; null: shutdown does not wait for it.
    Drain (*drain)(const Bridge& bridge, int index) = nullptr;
};

// The output queue: while lines wait for the writer, its room event; woken, it hands them over.
int OutputEvents(const Bridge& bridge, int, uint64_t, os::Handle* events) {
    const os::Handle room = OutputRoomEvent(bridge.output);
    if (room == os::kNullHandle) return 0;
    events[0] = room;
    return 1;
}
void WakeOutput(Bridge& bridge, int, uint64_t) {
    PumpOutput(bridge.output);
}

// The inbox: while lines wait for their turn and no probe holds them, the next pass is due now.
uint64_t InboxDeadline(const Bridge& bridge, int, uint64_t) {
    const bool held = BusDiscoveryRunning(bridge.bus);
    return FirstWaitingLine(bridge.inbox) != nullptr && !held ? kRightAway : kNoDeadline;
}

// The heartbeat watchdog: a deadline while armed, counted from its last heartbeat or from a
// waiting line that would arm it.
uint64_t WatchdogDeadline(const Bridge& bridge, int, uint64_t) {
    return NextHeartbeatDeadline(bridge.system, WaitingKeeperStamp(bridge.inbox, kWatchdogKeeper));
}
void WakeWatchdog(Bridge& bridge, int, uint64_t now) {
    RunHeartbeatWatchdog(bridge.system, now, WaitingKeeperStamp(bridge.inbox, kWatchdogKeeper));
}

// The probe: a version check in flight (its event is the detached requests'); woken, it moves
// on, and once it has finished its capabilities line is out and the lines after it go on.
uint64_t ProbeDeadline(const Bridge& bridge, int, uint64_t) {
    return NextDiscoveryDeadline(bridge.bus);
}
void WakeProbe(Bridge& bridge, int, uint64_t) {
    ContinueProbe(bridge.players, bridge.bus, bridge.vjoy, bridge.output, bridge.system.enabled);
}

// The owed releases: the next retry while one is owed (or at once while the host is owed a
// `system-blocked` line); woken, it retries and tells the host of any change. After the watchdog,
// so a lapse's refused releases are reported in the same pass. Shutdown gives them a bounded while.
uint64_t RetryDeadline(const Bridge& bridge, int, uint64_t) {
    return NextReleaseRetry(bridge.system);
}
void WakeRetry(Bridge& bridge, int, uint64_t now) {
    RetryReleases(bridge.system, now);
    ReportBlocked(bridge.system, bridge.output);
}
Drain RetryDrain(const Bridge& bridge, int) {
    return ReleasesOwed(bridge.system) ? Drain::kRequests : Drain::kNothing;
}

// The detached requests: the events of those the driver holds; woken, it collects the ones left
// behind that the driver has let go of. Their time-outs belong to their issuers.
int DetachedEvents(const Bridge& bridge, int, uint64_t, os::Handle* events) {
    return AddDetachedRequestEvents(bridge.bus.detached, events);
}
void WakeDetached(Bridge& bridge, int, uint64_t) {
    CollectDetachedRequests(bridge.bus.detached);
}
Drain DetachedDrain(const Bridge& bridge, int) {
    return DetachedRequestsHeld(bridge.bus.detached) ? Drain::kRequests : Drain::kNothing;
}

// Each player: its idle check and its bus pad. At shutdown every player has been torn down, so
// its idle check finds nothing and only the pad's teardown goes on.
uint64_t PlayerDeadline(const Bridge& bridge, int player, uint64_t now) {
    return NextPlayerDeadline(bridge.players, bridge.bus, player, now,
                              WaitingKeeperStamp(bridge.inbox, player));
}
int PlayerEvents(const Bridge& bridge, int player, uint64_t now, os::Handle* events) {
    return AddPlayerEvents(bridge.bus, player, now, events);
}
void WakePlayer(Bridge& bridge, int player, uint64_t now) {
    RunPlayer(bridge.players, bridge.bus, bridge.vjoy, bridge.output, player, now,
              WaitingKeeperStamp(bridge.inbox, player));
}
Drain PlayerDrain(const Bridge& bridge, int player) {
    if (PadOwesLines(bridge.bus, player)) return Drain::kLines;
    return PadHeld(bridge.bus, player) ? Drain::kRequests : Drain::kNothing;
}

// Lower layers first: a pass runs the rows in this order, so the detached requests are collected
// before the pads take records from them. Shutdown's drain runs them from the last to the first,
// since a row may leave work to the rows before it: a pad's teardown leaves its cancelled requests
// to the detached requests. A new owner is one more row.
constexpr Owner kOwners[] = {
    {.count = 1,
     .eventsEach = 1,
     .step = PassStep::kOnWaking,
     .events = OutputEvents,
     .wake = WakeOutput},
    {.count = 1, .eventsEach = 0, .step = PassStep::kOnWaking, .deadline = InboxDeadline},
    {.count = 1,
     .eventsEach = 0,
     .step = PassStep::kAfterLines,
     .deadline = WatchdogDeadline,
     .wake = WakeWatchdog},
    {.count = 1,
     .eventsEach = 0,
     .step = PassStep::kAfterLines,
     .deadline = RetryDeadline,
     .wake = WakeRetry,
     .drain = RetryDrain},
    {.count = 1,
     .eventsEach = kDetachedRequestCount,
     .step = PassStep::kAfterLines,
     .events = DetachedEvents,
     .wake = WakeDetached,
     .drain = DetachedDrain},
    {.count = 1,
     .eventsEach = 0,
     .step = PassStep::kAfterLines,
     .deadline = ProbeDeadline,
     .wake = WakeProbe},
    {.count = kPlayerCount,
     .eventsEach = kEventsPerPad,
     .step = PassStep::kAfterLines,
     .deadline = PlayerDeadline,
     .events = PlayerEvents,
     .wake = WakePlayer,
     .drain = PlayerDrain},
};

constexpr uint32_t OwnerEventSlots() {
    uint32_t slots = 0;
    for (const Owner& owner : kOwners)
        slots += static_cast<uint32_t>(owner.count) * owner.eventsEach;
    return slots;
}
// Every handle of the fullest wait, which the system must be able to wait on.
constexpr uint32_t kWaitSlots = kLoopEventSlots + OwnerEventSlots();
static_assert(kWaitSlots <= os::kMaxWaitObjects);

uint32_t WaitTimeout(uint64_t deadline, uint64_t now) {
    if (deadline == kNoDeadline) return os::kInfinite;
    if (deadline <= now) return 0;
    return deadline - now < kLongestWaitMs ? static_cast<uint32_t>(deadline - now) : kLongestWaitMs;
}

// The earliest deadline of the owners, or of those shutdown waits for.
uint64_t NextDeadline(const Bridge& bridge, uint64_t now, bool drainedOnly) {
    uint64_t next = kNoDeadline;
    for (const Owner& owner : kOwners) {
        if (owner.deadline == nullptr || (drainedOnly && owner.drain == nullptr)) continue;
        for (int i = 0; i < owner.count; ++i)
            next = EarlierOf(next, owner.deadline(bridge, i, now));
    }
    return next;
}

// Adds the events of the owners, or of those shutdown waits for, and returns how many.
uint32_t AddEvents(const Bridge& bridge, uint64_t now, bool drainedOnly, os::Handle* events) {
    uint32_t count = 0;
    for (const Owner& owner : kOwners) {
        if (owner.events == nullptr || (drainedOnly && owner.drain == nullptr)) continue;
        for (int i = 0; i < owner.count; ++i)
            count += static_cast<uint32_t>(owner.events(bridge, i, now, events + count));
    }
    return count;
}

// What shutdown still waits for, of all the owners it waits for.
Drain DrainLeft(const Bridge& bridge) {
    Drain left = Drain::kNothing;
    for (const Owner& owner : kOwners) {
        if (owner.drain == nullptr) continue;
        for (int i = 0; i < owner.count; ++i) {
            const Drain drain = owner.drain(bridge, i);
            if (drain > left) left = drain;
        }
    }
    return left;
}

}  // namespace

uint32_t WaitForOwners(const Bridge& bridge, const os::Handle* loopEvents,
                       uint32_t loopEventCount) {
    const uint64_t now = os::GetTickCount64();
    os::Handle handles[kWaitSlots];
    uint32_t count = 0;
    for (; count < loopEventCount && count < kLoopEventSlots; ++count)
        handles[count] = loopEvents[count];
    count += AddEvents(bridge, now, false, handles + count);
    const uint32_t timeout = WaitTimeout(NextDeadline(bridge, now, false), now);
    return os::WaitForMultipleObjects(count, handles, timeout);
}

void WakeOwners(Bridge& bridge, PassStep step, uint64_t now) {
    for (const Owner& owner : kOwners) {
        if (owner.step != step || owner.wake == nullptr) continue;
        for (int i = 0; i < owner.count; ++i) owner.wake(bridge, i, now);
    }
}

void DrainOwners(Bridge& bridge) {
    uint64_t drainUntil = kNoDeadline;
    for (;;) {
        const uint64_t woke = os::GetTickCount64();
        for (const Owner* owner = std::end(kOwners); owner-- != std::begin(kOwners);) {
            if (owner->drain == nullptr) continue;
            for (int i = 0; i < owner->count; ++i) owner->wake(bridge, i, woke);
        }
        const Drain left = DrainLeft(bridge);
        if (left == Drain::kNothing) return;
        const uint64_t now = os::GetTickCount64();
        uint64_t next = kNoDeadline;
        if (left == Drain::kLines) {
            next = NextDeadline(bridge, now, true);
        } else {
            if (drainUntil == kNoDeadline) drainUntil = now + kShutdownDrainMs;
            if (now >= drainUntil) return;
            next = EarlierOf(drainUntil, NextDeadline(bridge, now, true));
        }
        os::Handle handles[kWaitSlots];
        const uint32_t count = AddEvents(bridge, now, true, handles);
        if (count == 0) {
            // Only deadlines are left (the releases' retries): nothing to wait on but time.
            if (left == Drain::kLines || next == kNoDeadline) return;
            os::Sleep(WaitTimeout(next, now));
            continue;
        }
        if (os::WaitForMultipleObjects(count, handles, WaitTimeout(next, now)) == os::kWaitFailed)
            return;
    }
}

}  // namespace padbridge
