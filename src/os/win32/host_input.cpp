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
#include "os/input_ring.h"
#include "os/win32/win32.h"

namespace os {
namespace {

struct InputReader {
    HANDLE input = nullptr;
    HANDLE ready = nullptr;  // auto-reset: set when bytes arrive or the input ends
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE spaceFreed = CONDITION_VARIABLE_INIT;
    InputRing ring{};
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
        while (!RingHasRoom(reader.ring))
            ::SleepConditionVariableSRW(&reader.spaceFreed, &reader.lock, INFINITE, 0);
        char* into = nullptr;
        const DWORD free = RingFreeRun(reader.ring, &into);
        ::ReleaseSRWLockExclusive(&reader.lock);

        DWORD got = 0;
        const BOOL ok = ::ReadFile(reader.input, into, free, &got, nullptr);
        // The bytes' stamp: when they reached the bridge, however long the loop takes to look.
        const uint64_t tick = ::GetTickCount64();
        const bool end = IsEndOfInput(ok, got);

        ::AcquireSRWLockExclusive(&reader.lock);
        RingAddRead(reader.ring, got, tick, end);
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
        reader.ring.ended = true;
        ::SetEvent(reader.ready);
    } else {
        ::CloseHandle(thread);  // it runs until the input ends or the process does
    }
    return win32::FromHandle(reader.ready);
}

uint32_t TakeInput(void* buffer, uint32_t capacity, bool* ended, InputArrival* arrivals,
                   uint32_t* arrivalCount) {
    ::AcquireSRWLockExclusive(&reader.lock);
    const uint32_t n = RingTake(reader.ring, buffer, capacity, ended, arrivals, arrivalCount);
    const bool wakeAgain = reader.ring.count > 0 || reader.ring.ended;
    ::ReleaseSRWLockExclusive(&reader.lock);
    if (n > 0) ::WakeConditionVariable(&reader.spaceFreed);
    if (wakeAgain) ::SetEvent(reader.ready);
    return n;
}

uint32_t InputWaiting() {
    ::AcquireSRWLockShared(&reader.lock);
    const DWORD waiting = reader.ring.count;
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
