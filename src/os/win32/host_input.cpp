// Standard input read on a thread of its own, and the loop's one wait.
//
// Standard input is a synchronous handle of whatever kind the host chose (an anonymous pipe, a
// file, a console, a Unix pipe under Wine); none can be waited on for data. The reader thread
// blocks in ReadFile into a bounded ring and signals an event while bytes wait or once the input
// has ended, so the loop sleeps in WaitForMultipleObjects and wakes the moment a line arrives.
// The event resets itself as it wakes the loop (one system call fewer on the way of every line),
// and TakeInput sets it again while bytes are left or the input has ended.
// The thread only moves bytes; the bridge's state is touched by the loop alone. Once the reader
// owns the handle nothing else touches it: the kernel would serialise the call behind the read.
#include "os/win32/win32.h"

namespace os {
namespace {

// A host that writes faster than the bridge takes blocks in its own write, as with a bare pipe.
constexpr DWORD kRingBytes = 64 * 1024;
// Reads whose bytes wait, each with the tick it returned at. Full, the reader waits as for bytes.
constexpr DWORD kArrivalRecords = 256;

struct Arrival {
    uint64_t end;  // the count of bytes ever read once this read's had been added
    uint64_t tick;
};

struct InputReader {
    HANDLE input = nullptr;
    HANDLE ready = nullptr;  // auto-reset: set when bytes arrive or the input ends
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE spaceFreed = CONDITION_VARIABLE_INIT;
    DWORD head = 0;      // first waiting byte
    DWORD count = 0;     // waiting bytes
    uint64_t taken = 0;  // bytes ever taken by the loop
    DWORD arrivalHead = 0;
    DWORD arrivalCount = 0;
    bool ended = false;
    Arrival arrivals[kArrivalRecords];
    char ring[kRingBytes];
};

InputReader reader;

// A failed read is the end (a broken pipe, a closed console). A successful read of no bytes is
// the end of a file or a console's input; on a pipe it is only a zero-length write by the host,
// unless the pipe says it has closed (a Unix pipe under Wine cannot say, and there it is the end).
bool IsEndOfInput(BOOL readOk, DWORD got) {
    // A message-mode pipe hands a long message over in parts.
    if (!readOk) return ::GetLastError() != ERROR_MORE_DATA;
    if (got != 0) return false;
    if (::GetFileType(reader.input) != FILE_TYPE_PIPE) return true;
    DWORD available = 0;
    return ::PeekNamedPipe(reader.input, nullptr, 0, nullptr, &available, nullptr) == FALSE;
}

DWORD WINAPI ReadInput(void*) {
    for (;;) {
        ::AcquireSRWLockExclusive(&reader.lock);
        while (reader.count == kRingBytes || reader.arrivalCount == kArrivalRecords)
            ::SleepConditionVariableSRW(&reader.spaceFreed, &reader.lock, INFINITE, 0);
        // The free run after the waiting bytes is ours alone: the loop only takes from the head.
        const DWORD tail = (reader.head + reader.count) % kRingBytes;
        const DWORD free =
            reader.head + reader.count < kRingBytes ? kRingBytes - tail : reader.head - tail;
        ::ReleaseSRWLockExclusive(&reader.lock);

        DWORD got = 0;
        const BOOL ok = ::ReadFile(reader.input, reader.ring + tail, free, &got, nullptr);
        // The bytes' stamp: when they reached the bridge, however long the loop takes to look.
        const uint64_t tick = ::GetTickCount64();
        const bool end = IsEndOfInput(ok, got);

        ::AcquireSRWLockExclusive(&reader.lock);
        if (got > 0) {
            const uint64_t readEnd = reader.taken + reader.count + got;
            const DWORD last =
                (reader.arrivalHead + reader.arrivalCount + kArrivalRecords - 1) % kArrivalRecords;
            if (reader.arrivalCount > 0 && reader.arrivals[last].tick == tick) {
                reader.arrivals[last].end = readEnd;
            } else {
                const DWORD slot = (reader.arrivalHead + reader.arrivalCount) % kArrivalRecords;
                reader.arrivals[slot] = {readEnd, tick};
                ++reader.arrivalCount;
            }
        }
        reader.count += got;
        reader.ended = end;
        ::ReleaseSRWLockExclusive(&reader.lock);
        if (got > 0 || end) ::SetEvent(reader.ready);
        if (end) return 0;
    }
}

}  // namespace

Handle StartInputReader() {
    reader.input = ::GetStdHandle(STD_INPUT_HANDLE);
    reader.ready = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (reader.ready == nullptr) return kNullHandle;
    // No standard input at all reads as an input that has already ended.
    HANDLE thread = nullptr;
    if (reader.input != nullptr && reader.input != INVALID_HANDLE_VALUE)
        thread = ::CreateThread(nullptr, 0, ReadInput, nullptr, 0, nullptr);
    if (thread == nullptr) {
        reader.ended = true;
        ::SetEvent(reader.ready);
    } else {
        ::CloseHandle(thread);  // it runs until the input ends or the process does
    }
    return win32::FromHandle(reader.ready);
}

uint32_t TakeInput(void* buffer, uint32_t capacity, bool* ended, InputArrival* arrivals,
                   uint32_t* arrivalCount) {
    char* out = static_cast<char*>(buffer);
    ::AcquireSRWLockExclusive(&reader.lock);
    DWORD n = reader.count < capacity ? reader.count : capacity;
    // The arrivals of the bytes taken; a take ends at a read's end once the records run out.
    uint32_t records = 0;
    for (DWORD i = 0; i < reader.arrivalCount; ++i) {
        const Arrival& arrival = reader.arrivals[(reader.arrivalHead + i) % kArrivalRecords];
        const uint64_t end = arrival.end - reader.taken;
        if (records == kMaxTakeArrivals) {
            n = arrivals[records - 1].end;
            break;
        }
        arrivals[records++] = {static_cast<uint32_t>(end < n ? end : n), arrival.tick};
        if (end >= n) break;
    }
    *arrivalCount = records;
    const DWORD firstRun = kRingBytes - reader.head < n ? kRingBytes - reader.head : n;
    CopyMemory(out, reader.ring + reader.head, firstRun);
    CopyMemory(out + firstRun, reader.ring, n - firstRun);
    reader.head = (reader.head + n) % kRingBytes;
    reader.count -= n;
    reader.taken += n;
    while (reader.arrivalCount > 0 && reader.arrivals[reader.arrivalHead].end <= reader.taken) {
        reader.arrivalHead = (reader.arrivalHead + 1) % kArrivalRecords;
        --reader.arrivalCount;
    }
    *ended = reader.count == 0 && reader.ended;
    const bool wakeAgain = reader.count > 0 || reader.ended;
    ::ReleaseSRWLockExclusive(&reader.lock);
    if (n > 0) ::WakeConditionVariable(&reader.spaceFreed);
    if (wakeAgain) ::SetEvent(reader.ready);
    return n;
}

uint32_t InputWaiting() {
    ::AcquireSRWLockShared(&reader.lock);
    const DWORD waiting = reader.count;
    ::ReleaseSRWLockShared(&reader.lock);
    return waiting;
}

uint32_t WaitForMultipleObjects(uint32_t count, const Handle* handles, uint32_t milliseconds) {
    static_assert(sizeof(Handle) == sizeof(HANDLE));
    return ::WaitForMultipleObjects(count, reinterpret_cast<const HANDLE*>(handles), FALSE,
                                    milliseconds);
}

void Sleep(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

}  // namespace os
