// The host's end of standard output: the writer thread, the pipe and a host that reads, or stops
// reading for a while, or for good.
//
// Nothing moves while the host pauses, and while it reads everything moves at once (or a line at a
// time, at the pace of a host that reads slowly), so the state at any tick follows from the offers
// made, the pace and the pauses scripted: it is brought up to date on every call that can see it.
#include <string_view>

#include "os/sim/sim.h"

namespace sim {
namespace {

constexpr os::Handle kOutputRoomEvent = 0x102;

// Whether the host read at some moment in [from, to].
bool ReadBetween(const OutputPipe& out, uint64_t from, uint64_t to) {
    if (PauseAt(out.pauses, from) == nullptr || PauseAt(out.pauses, to) == nullptr) return true;
    for (const ReadPause& pause : out.pauses) {
        const uint64_t until = MachineTime(pause.untilMs);
        if (until > from && until <= to && PauseAt(out.pauses, until) == nullptr) return true;
    }
    return false;
}

// The first tick from `tick` on at which the host is not pausing; none when it never reads again.
std::optional<uint64_t> FirstReadFrom(const OutputPipe& out, uint64_t tick) {
    while (const ReadPause* pause = PauseAt(out.pauses, tick)) {
        if (pause->untilMs == kNever) return std::nullopt;
        tick = MachineTime(pause->untilMs);
    }
    return tick;
}

bool Unread(const OutputPipe& out) {
    return !out.inPipe.empty() || !out.writing.empty();
}

// The writer's side: its write puts what fits into the pipe's buffer, and once it is done the
// thread takes what waits (which signals the room event after a refusal).
void Fill(OutputPipe& out) {
    for (;;) {
        if (out.writing.empty()) {
            if (out.pending.empty()) return;
            out.writing.swap(out.pending);
            if (out.roomWanted) {
                out.roomWanted = false;
                out.roomSignalled = true;
            }
        }
        const std::size_t room =
            out.pipeBytes > out.inPipe.size() ? out.pipeBytes - out.inPipe.size() : 0;
        const std::size_t moved = room < out.writing.size() ? room : out.writing.size();
        out.inPipe.append(out.writing, 0, moved);
        out.writing.erase(0, moved);
        if (!out.writing.empty()) return;  // WriteFile blocks until the host reads
    }
}

// One read of a host that takes a line at a time: from the pipe, and from the write in progress
// when the line goes on there (with no room in the pipe a read takes from the blocked write).
void TakeLine(OutputPipe& out, std::string& read) {
    std::string* sources[] = {&out.inPipe, &out.writing};
    for (std::string* source : sources) {
        const std::size_t feed = source->find('\n');
        const std::size_t count = feed == std::string::npos ? source->size() : feed + 1;
        read.append(*source, 0, count);
        source->erase(0, count);
        if (feed != std::string::npos) return;
    }
}

// Moves bytes along up to tick `to`: the writer fills the pipe, and the host empties it, at once
// whenever it reads or a line at a time at its pace.
void Settle(OutputPipe& out, std::string& read, uint64_t to) {
    if (out.readLineEveryMs == 0) {
        const bool reading = ReadBetween(out, out.settledAt > to ? to : out.settledAt, to);
        out.settledAt = to;
        for (;;) {
            Fill(out);
            if (!reading || !Unread(out)) return;
            read += out.inPipe;  // the host takes what the pipe holds and the rest of the write
            read += out.writing;
            out.inPipe.clear();
            out.writing.clear();
        }
    }
    for (;;) {
        Fill(out);
        if (!Unread(out)) break;
        const uint64_t from = out.settledAt > out.nextLineAt ? out.settledAt : out.nextLineAt;
        const std::optional<uint64_t> at = FirstReadFrom(out, from);
        if (!at || *at > to) break;
        TakeLine(out, read);
        out.nextLineAt = *at + out.readLineEveryMs;
        out.settledAt = *at;
    }
    if (to > out.settledAt) out.settledAt = to;
}

void Settle(Machine& m) {
    Settle(m.outputPipe, m.output, m.now);
}

bool WriterIdle(const OutputPipe& out) {
    return out.pending.empty() && out.writing.empty();
}

bool WriteDone(const OutputPipe& out) {
    return out.writing.empty();
}

bool RoomSignalled(const OutputPipe& out) {
    return out.roomSignalled;
}

// The first tick from now on at which `done` holds, with the host reading as scripted and nothing
// more offered; none when it never does. Looks ahead on a copy, so the machine stays as it is.
std::optional<uint64_t> FirstTickWhen(const Machine& m, bool (*done)(const OutputPipe&)) {
    OutputPipe ahead = m.outputPipe;
    std::string read;
    uint64_t tick = m.now;
    Settle(ahead, read, tick);
    while (!done(ahead)) {
        // Only a later read can move anything: the host has read all it could by `tick`.
        if (!Unread(ahead)) return std::nullopt;
        const uint64_t from = ahead.nextLineAt > tick ? ahead.nextLineAt : tick + 1;
        const std::optional<uint64_t> next = FirstReadFrom(ahead, from);
        if (!next) return std::nullopt;
        tick = *next;
        Settle(ahead, read, tick);
    }
    return tick;
}

}  // namespace

void StopReading(uint64_t fromMs, uint64_t untilMs) {
    Current().outputPipe.pauses.push_back({fromMs, untilMs});
}

bool IsOutputRoomEvent(os::Handle event) {
    return event == kOutputRoomEvent && Current().outputPipe.writerStarted;
}

std::optional<uint64_t> OutputRoomSignalTime() {
    Machine& m = Current();
    Settle(m);
    if (m.outputPipe.roomSignalled) return m.now;
    // Only the writer's next take signals: with nothing waiting for it, that never comes.
    if (!m.outputPipe.roomWanted || m.outputPipe.pending.empty()) return std::nullopt;
    return FirstTickWhen(m, RoomSignalled);  // its write in progress ends once the host reads
}

}  // namespace sim

namespace os {

using sim::Current;

Handle StartOutputWriter() {
    sim::Machine& m = Current();
    if (m.outputPipe.writerFails) return kNullHandle;
    m.outputPipe.writerStarted = true;
    return sim::kOutputRoomEvent;
}

bool OfferStandardOutput(const char* bytes, std::size_t count) {
    sim::Machine& m = Current();
    sim::OutputPipe& out = m.outputPipe;
    sim::Settle(m);
    if (!out.writerStarted) {
        // One blocking WriteFile on the caller's thread: the clock runs on until the host has
        // taken enough of the pipe for the whole write.
        out.writing.append(bytes, count);
        m.handed.append(bytes, count);
        ++m.outputWrites;
        sim::Settle(m);
        if (out.writing.empty()) return true;
        const std::optional<uint64_t> done = sim::FirstTickWhen(m, sim::WriteDone);
        if (!done) {
            m.bus.faults.push_back("a write to standard output that never returns");
            out.writing.clear();
            return true;
        }
        m.now = *done;
        sim::Settle(m);
        return true;
    }
    if (out.pending.size() + count > out.writerBytes) {
        out.roomWanted = true;
        out.roomSignalled = false;
        ++out.refusals;
        return false;
    }
    out.pending.append(bytes, count);
    m.handed.append(bytes, count);
    ++m.outputWrites;
    sim::Settle(m);
    return true;
}

bool FlushStandardOutput(uint32_t milliseconds) {
    sim::Machine& m = Current();
    sim::Settle(m);
    if (sim::WriterIdle(m.outputPipe)) return true;
    const std::optional<uint64_t> idle = sim::FirstTickWhen(m, sim::WriterIdle);
    const uint64_t timeoutEnd = sim::TimeoutEnd(m, milliseconds);
    if (idle && *idle <= timeoutEnd) {
        m.now = *idle;
        sim::Settle(m);
        return true;
    }
    m.now = timeoutEnd;
    sim::Settle(m);
    return false;
}

}  // namespace os
