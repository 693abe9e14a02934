// The trace: one JSON record a line, for a person reading what the bridge did, to a file or to
// standard error (`--trace PATH`). docs/protocol.md ("The trace") lists the records.
//
// Every layer reports into it, so each record site is one call here, and while no trace is open
// each call is a test of one pointer and nothing more. The state lives in the process's `Bridge`
// (`Bridge::trace`); OpenTrace makes it the one the sites write to until CloseTrace. Records are
// formatted into the record's own buffer and handed to the trace's writer (os::OfferTrace)
// without blocking: a record the writer has no room for is counted, and the count goes out as a
// `dropped` record before the next record that fits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/os.h"

namespace padbridge {

// The longest record: a line of kMaxLineBytes of plain text, with room to spare. A line whose
// escaped text does not fit is cut at a character and its record says "cut":true.
inline constexpr std::size_t kTraceRecordBytes = 32 * 1024;
// Room before a record for the `dropped` record that goes out with it.
inline constexpr std::size_t kDroppedRecordBytes = 64;
static_assert(kDroppedRecordBytes + kTraceRecordBytes <= os::kTraceWriterBytes,
              "a record fits the writer whole");

struct Trace {
    int64_t startCount;  // the performance counter when the trace opened
    int64_t frequency;
    uint32_t dropped;  // records the writer refused since the last one it took
    // The record being written, from kDroppedRecordBytes on; a `dropped` record it owes goes
    // right before it, so that the two are taken together or not at all.
    char buffer[kDroppedRecordBytes + kTraceRecordBytes];
};

// The trace the sites write to; null while none is open.
extern Trace* gOpenTrace;

// Opens the destination (os::OpenTrace) and writes the `start` record. False, with the system's
// error in *error, when it cannot be opened; nothing is traced then.
bool OpenTrace(Trace& trace, const os::WideChar* path, uint32_t* error);
// Writes a `dropped` record still owed, waits at most `milliseconds` for the writer, and stops
// tracing.
void CloseTrace(uint32_t milliseconds);

// A pad's state for a `pad` record: `pad` is "xbox360", "dualshock4" or "vjoy"; bit i of
// `buttons` is standard-gamepad button i; axes -1..1, positive right and down; triggers 0..1.
struct TracedPad {
    const char* pad;
    uint32_t buttons;
    double axes[4];
    double triggers[2];
};

// The records. Each is a flag test while no trace is open.
// `wire`: the text ends in the wire's CR LF, which the record leaves out.
void WriteLineRecord(const char* kind, const char* text, std::size_t length, bool wire);
void WriteRequestRecord(const char* name, uint32_t code, int player, uint32_t serial,
                        uint32_t result);
void WritePadRecord(int player, const TracedPad& pad);
void WriteInputRecord(const os::InputRecord& event, bool accepted);
void WriteProbeRecord(const char* backend);
void WriteLapseRecord(int player);

inline constexpr int kNoTracedPlayer = -1;  // a request of no pad; a lapse of the watchdog

// A line as it arrives from the host (without its line feed).
inline void TraceIn(const char* text, std::size_t length) {
    if (gOpenTrace != nullptr) WriteLineRecord("in", text, length, false);
}
// Wire bytes handed to standard output, or dropped from its queue unsent (CR LF not traced).
inline void TraceOut(const char* wire, std::size_t length) {
    if (gOpenTrace != nullptr) WriteLineRecord("out", wire, length, true);
}
inline void TraceDrop(const char* wire, std::size_t length) {
    if (gOpenTrace != nullptr) WriteLineRecord("drop", wire, length, true);
}
// A bus request as it completes; `player` kNoTracedPlayer for a request of no pad.
inline void TraceRequest(const char* name, uint32_t code, int player, uint32_t serial,
                         uint32_t result) {
    if (gOpenTrace != nullptr) WriteRequestRecord(name, code, player, serial, result);
}
inline void TraceInput(const os::InputRecord& event, uint32_t accepted) {
    if (gOpenTrace != nullptr) WriteInputRecord(event, accepted > 0);
}
// "vigem", "vjoy" or "none".
inline void TraceProbe(const char* backend) {
    if (gOpenTrace != nullptr) WriteProbeRecord(backend);
}
// The watchdog released everything (kNoTracedPlayer), or a player's pad left for want of input.
inline void TraceLapse(int player) {
    if (gOpenTrace != nullptr) WriteLapseRecord(player);
}
inline bool Tracing() {
    return gOpenTrace != nullptr;
}

}  // namespace padbridge
