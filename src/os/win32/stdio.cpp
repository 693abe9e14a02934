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

// Standard output is written by a thread of its own, so that a host that stops reading (a frozen
// main thread, a console in QuickEdit selection) blocks that thread and never the loop. The loop
// appends whole lines to `pending` under the lock; the thread takes all of it at once into
// `writing` and writes it with WriteFile outside the lock, so lines leave whole and in order.
// Two buffers of kOutputWriterBytes each bound the memory, whatever the host does.
namespace {

struct OutputWriter {
    HANDLE output = nullptr;
    HANDLE room = nullptr;     // manual reset: set when the thread takes lines after a refusal
    HANDLE drained = nullptr;  // manual reset: set while nothing waits and nothing is being written
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE linesWaiting = CONDITION_VARIABLE_INIT;
    bool started = false;
    bool roomWanted = false;
    DWORD pendingCount = 0;
    char pending[kOutputWriterBytes];
    char writing[kOutputWriterBytes];
};

OutputWriter writer;

void WriteAll(HANDLE output, const char* bytes, DWORD count) {
    while (count > 0) {
        DWORD written = 0;
        // A write that fails (the host is gone) drops its bytes: nobody is left to read them.
        if (!::WriteFile(output, bytes, count, &written, nullptr) || written == 0) return;
        bytes += written;
        count -= written;
    }
}

DWORD WINAPI WriteOutput(void*) {
    for (;;) {
        ::AcquireSRWLockExclusive(&writer.lock);
        while (writer.pendingCount == 0) {
            ::SetEvent(writer.drained);
            ::SleepConditionVariableSRW(&writer.linesWaiting, &writer.lock, INFINITE, 0);
        }
        const DWORD count = writer.pendingCount;
        CopyMemory(writer.writing, writer.pending, count);
        writer.pendingCount = 0;
        if (writer.roomWanted) {
            writer.roomWanted = false;
            ::SetEvent(writer.room);
        }
        ::ReleaseSRWLockExclusive(&writer.lock);
        WriteAll(writer.output, writer.writing, count);
    }
}

}  // namespace

Handle StartOutputWriter() {
    writer.output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    writer.room = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writer.drained = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE thread = nullptr;
    if (writer.room != nullptr && writer.drained != nullptr)
        thread = ::CreateThread(nullptr, 0, WriteOutput, nullptr, 0, nullptr);
    if (thread == nullptr) {  // every line is then written in place; the events have no use
        if (writer.room != nullptr) ::CloseHandle(writer.room);
        if (writer.drained != nullptr) ::CloseHandle(writer.drained);
        writer.room = nullptr;
        writer.drained = nullptr;
        return kNullHandle;
    }
    ::CloseHandle(thread);  // it lives as long as the process; at its end it may still be blocked
    writer.started = true;
    return win32::FromHandle(writer.room);
}

bool OfferStandardOutput(const char* bytes, std::size_t count) {
    if (!writer.started) {  // --self-test, --version, or no writer thread: write in place
        WriteAll(::GetStdHandle(STD_OUTPUT_HANDLE), bytes, static_cast<DWORD>(count));
        return true;
    }
    ::AcquireSRWLockExclusive(&writer.lock);
    const bool fits = count <= kOutputWriterBytes - writer.pendingCount;
    if (fits) {
        CopyMemory(writer.pending + writer.pendingCount, bytes, count);
        writer.pendingCount += static_cast<DWORD>(count);
        ::ResetEvent(writer.drained);
    } else {
        // Reset under the lock, so the thread's next take cannot slip in between.
        writer.roomWanted = true;
        ::ResetEvent(writer.room);
    }
    ::ReleaseSRWLockExclusive(&writer.lock);
    if (fits) ::WakeConditionVariable(&writer.linesWaiting);
    return fits;
}

bool FlushStandardOutput(uint32_t milliseconds) {
    if (!writer.started) return true;
    return ::WaitForSingleObject(writer.drained, milliseconds) == WAIT_OBJECT_0;
}

}  // namespace os
