// The trace's writer and standard error. Like standard output (host_output.cpp), the state at any
// moment follows from the offers made and the stalls scripted, and is brought up to date on every
// call that can see it.
#include <optional>

#include "os/sim/sim.h"

namespace sim {
namespace {

constexpr uint32_t kErrorNotEnoughMemory = 8;

std::string& Destination(Machine& m) {
    return m.traceWriter.toStandardError ? m.standardError : m.trace;
}

// Moves the bytes along as at `m.now`: outside a stall each write completes at once and the
// thread takes what waits; in one, the write in progress stays, and the thread holds what it took
// before the stall began.
void Settle(Machine& m) {
    TraceWriter& writer = m.traceWriter;
    if (PauseAt(writer.stalls, m.now) != nullptr) {
        if (writer.writing.empty()) writer.writing.swap(writer.pending);
        return;
    }
    Destination(m) += writer.writing;
    Destination(m) += writer.pending;
    writer.writing.clear();
    writer.pending.clear();
}

}  // namespace

void StallTrace(uint64_t fromMs, uint64_t untilMs) {
    Current().traceWriter.stalls.push_back({fromMs, untilMs});
}

}  // namespace sim

namespace os {

using sim::Current;

bool OpenTrace(const WideChar* path) {
    sim::Machine& m = Current();
    sim::TraceWriter& writer = m.traceWriter;
    if (writer.openError != 0 || writer.writerFails) {
        m.lastError = writer.openError != 0 ? writer.openError : sim::kErrorNotEnoughMemory;
        return false;
    }
    writer.path = path;
    writer.toStandardError = writer.path == u"-";
    writer.opened = true;
    return true;
}

bool OfferTrace(const char* bytes, std::size_t count) {
    sim::Machine& m = Current();
    sim::TraceWriter& writer = m.traceWriter;
    if (!writer.opened) return false;
    sim::Settle(m);
    if (writer.pending.size() + count > kTraceWriterBytes) {
        ++writer.refusals;
        return false;
    }
    writer.pending.append(bytes, count);
    sim::Settle(m);
    return true;
}

bool FlushTrace(uint32_t milliseconds) {
    sim::Machine& m = Current();
    sim::TraceWriter& writer = m.traceWriter;
    sim::Settle(m);
    if (writer.pending.empty() && writer.writing.empty()) return true;
    const sim::ReadPause* stall = sim::PauseAt(writer.stalls, m.now);
    const uint64_t timeoutEnd = sim::TimeoutEnd(m, milliseconds);
    if (stall != nullptr && stall->untilMs != sim::kNever &&
        sim::MachineTime(stall->untilMs) <= timeoutEnd) {
        m.now = sim::MachineTime(stall->untilMs);
        sim::Settle(m);
        return true;
    }
    m.now = timeoutEnd;
    sim::Settle(m);
    return writer.pending.empty() && writer.writing.empty();
}

void WriteStandardError(const char* bytes, std::size_t count) {
    Current().standardError.append(bytes, count);
}

}  // namespace os
