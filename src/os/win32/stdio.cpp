// Clock, standard streams and the standard output writer.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "os/win32/win32.h"

namespace os {

uint32_t GetLastError() {
    return ::GetLastError();
}

uint64_t GetTickCount64() {
    return ::GetTickCount64();
}

bool SetDefaultDllDirectories(uint32_t flags) {
    return ::SetDefaultDllDirectories(flags) != FALSE;
}

void PrepareStandardStreams() {
    _setmode(_fileno(stdin), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

// Standard output and the trace are each written by a thread of their own, so that a reader that
// stops (a host's frozen main thread, a console in QuickEdit selection, a full disk) blocks that
// thread and never the loop. The loop appends whole pieces to `pending` under the lock; the
// thread takes all of it at once into `writing` and writes it with WriteFile outside the lock, so
// pieces leave whole and in order. Two buffers of `capacity` bytes each bound the memory,
// whatever the reader does.
namespace {

struct Writer {
    HANDLE output = nullptr;
    HANDLE room = nullptr;     // manual reset: set when the thread takes bytes after a refusal
    HANDLE drained = nullptr;  // manual reset: set while nothing waits and nothing is being written
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE piecesWaiting = CONDITION_VARIABLE_INIT;
    bool started = false;
    bool roomWanted = false;
    bool flushing = false;  // a flush waits: write what there is without gathering more
    DWORD gatherMs = 0;     // the trace: how long to gather pieces before a write
    DWORD capacity = 0;
    DWORD pendingCount = 0;
    char* pending = nullptr;
    char* writing = nullptr;
};

char outputPending[kOutputWriterBytes];
char outputWriting[kOutputWriterBytes];
Writer writer;

char tracePending[kTraceWriterBytes];
char traceWriting[kTraceWriterBytes];
Writer traceWriter;

void WriteAll(HANDLE output, const char* bytes, DWORD count) {
    while (count > 0) {
        DWORD written = 0;
        // A write that fails (the reader is gone) drops its bytes: nobody is left to read them.
        if (!::WriteFile(output, bytes, count, &written, nullptr) || written == 0) return;
        bytes += written;
        count -= written;
    }
}

// How full the buffer of a writer that gathers may grow before it writes: three quarters, so the
// quarter left takes what comes while the thread wakes.
DWORD GatherEnough(const Writer& w) {
    return w.capacity / 4 * 3;
}

DWORD WINAPI WriteLoop(void* parameter) {
    Writer& w = *static_cast<Writer*>(parameter);
    for (;;) {
        ::AcquireSRWLockExclusive(&w.lock);
        while (w.pendingCount == 0) {
            ::SetEvent(w.drained);
            ::SleepConditionVariableSRW(&w.piecesWaiting, &w.lock, INFINITE, 0);
        }
        const ULONGLONG gatherEnd = ::GetTickCount64() + w.gatherMs;
        while (!w.flushing && w.pendingCount < GatherEnough(w)) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= gatherEnd) break;
            ::SleepConditionVariableSRW(&w.piecesWaiting, &w.lock,
                                        static_cast<DWORD>(gatherEnd - now), 0);
        }
        const DWORD count = w.pendingCount;
        CopyMemory(w.writing, w.pending, count);
        w.pendingCount = 0;
        if (w.roomWanted) {
            w.roomWanted = false;
            ::SetEvent(w.room);
        }
        ::ReleaseSRWLockExclusive(&w.lock);
        WriteAll(w.output, w.writing, count);
    }
}

// Starts the writer's thread on `output`; false, with the events closed, when it cannot.
bool StartWriter(Writer& w, HANDLE output, char* pending, char* writing, DWORD capacity,
                 DWORD gatherMs) {
    w.output = output;
    w.gatherMs = gatherMs;
    w.pending = pending;
    w.writing = writing;
    w.capacity = capacity;
    w.room = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    w.drained = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE thread = nullptr;
    if (w.room != nullptr && w.drained != nullptr)
        thread = ::CreateThread(nullptr, 0, WriteLoop, &w, 0, nullptr);
    if (thread == nullptr) {
        const DWORD error = ::GetLastError();
        if (w.room != nullptr) ::CloseHandle(w.room);
        if (w.drained != nullptr) ::CloseHandle(w.drained);
        w.room = nullptr;
        w.drained = nullptr;
        ::SetLastError(error);
        return false;
    }
    ::CloseHandle(thread);  // it lives as long as the process; at its end it may still be blocked
    w.started = true;
    return true;
}

bool OfferToWriter(Writer& w, const char* bytes, std::size_t count) {
    ::AcquireSRWLockExclusive(&w.lock);
    const DWORD before = w.pendingCount;
    const bool fits = count <= w.capacity - before;
    if (fits) {
        CopyMemory(w.pending + before, bytes, count);
        w.pendingCount += static_cast<DWORD>(count);
        ::ResetEvent(w.drained);
    } else {
        // Reset under the lock, so the thread's next take cannot slip in between.
        w.roomWanted = true;
        ::ResetEvent(w.room);
    }
    ::ReleaseSRWLockExclusive(&w.lock);
    // The thread sleeps only with nothing pending, or while it gathers until enough is.
    const DWORD enough = GatherEnough(w);
    if (fits && (before == 0 || (before < enough && before + count >= enough)))
        ::WakeConditionVariable(&w.piecesWaiting);
    return fits;
}

bool FlushWriter(Writer& w, uint32_t milliseconds) {
    if (!w.started) return true;
    ::AcquireSRWLockExclusive(&w.lock);
    w.flushing = true;
    ::ReleaseSRWLockExclusive(&w.lock);
    ::WakeConditionVariable(&w.piecesWaiting);
    const bool done = ::WaitForSingleObject(w.drained, milliseconds) == WAIT_OBJECT_0;
    ::AcquireSRWLockExclusive(&w.lock);
    w.flushing = false;
    ::ReleaseSRWLockExclusive(&w.lock);
    return done;
}

}  // namespace

Handle StartOutputWriter() {
    // Without the thread every line is written in place; the events then have no use.
    if (!StartWriter(writer, ::GetStdHandle(STD_OUTPUT_HANDLE), outputPending, outputWriting,
                     kOutputWriterBytes, 0))
        return kNullHandle;
    return win32::FromHandle(writer.room);
}

bool OfferStandardOutput(const char* bytes, std::size_t count) {
    if (!writer.started) {  // --self-test, --version, or no writer thread: write in place
        WriteAll(::GetStdHandle(STD_OUTPUT_HANDLE), bytes, static_cast<DWORD>(count));
        return true;
    }
    return OfferToWriter(writer, bytes, count);
}

bool FlushStandardOutput(uint32_t milliseconds) {
    return FlushWriter(writer, milliseconds);
}

bool OpenTrace(const WideChar* path) {
    HANDLE file = nullptr;
    if (path[0] == u'-' && path[1] == 0) {
        file = ::GetStdHandle(STD_ERROR_HANDLE);
        if (file == nullptr || file == INVALID_HANDLE_VALUE) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
    } else {
        // Others may read the trace while the bridge writes it.
        file = ::CreateFileW(win32::ToWide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
    }
    if (StartWriter(traceWriter, file, tracePending, traceWriting, kTraceWriterBytes,
                    kTraceGatherMs))
        return true;
    if (file != ::GetStdHandle(STD_ERROR_HANDLE)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(file);
        ::SetLastError(error);
    }
    return false;
}

bool OfferTrace(const char* bytes, std::size_t count) {
    return traceWriter.started && OfferToWriter(traceWriter, bytes, count);
}

bool FlushTrace(uint32_t milliseconds) {
    return FlushWriter(traceWriter, milliseconds);
}

void WriteStandardError(const char* bytes, std::size_t count) {
    WriteAll(::GetStdHandle(STD_ERROR_HANDLE), bytes, static_cast<DWORD>(count));
}

}  // namespace os
