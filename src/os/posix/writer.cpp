// Standard output and the trace, each written by a thread of its own from a bounded buffer, so
// that a host or a terminal that stops reading blocks that thread and never the loop. The loop
// appends whole lines to `pending` under the lock; the thread takes all of it at once into
// `writing` and writes it outside the lock, so lines leave whole and in order. Standard error,
// for a message before the bridge starts, is written in place.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "os/posix/posix.h"

namespace os {
namespace {

constexpr uint32_t kLargestWriter =
    kTraceWriterBytes > kOutputWriterBytes ? kTraceWriterBytes : kOutputWriterBytes;

struct Writer {
    int fd = -1;
    uint32_t capacity = 0;
    bool signalsRoom = false;  // standard output: the loop waits for its room event
    uint32_t gatherMs = 0;     // the trace: how long to gather records before a write
    std::mutex lock;
    std::condition_variable linesWaiting;
    std::condition_variable drained;
    bool started = false;
    bool roomWanted = false;
    bool writingAny = false;
    bool flushing = false;  // a flush waits: write what there is without gathering more
    uint32_t pendingCount = 0;
    char pending[kLargestWriter];
    char writing[kLargestWriter];
};

// Never destroyed: at the process's end a thread may still be blocked in a write.
Writer& output = *new Writer();
Writer& trace = *new Writer();

// A write that fails (the reader is gone: SIGPIPE is ignored, so it is EPIPE) drops its bytes,
// as nobody is left to read them.
void WriteAll(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(fd, bytes, count);
        if (written > 0) {
            bytes += written;
            count -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd out{fd, POLLOUT, 0};  // a non-blocking descriptor: wait for room
            ::poll(&out, 1, -1);
            continue;
        }
        return;
    }
}

// How full the buffer of a writer that gathers may grow before it writes: three quarters, so the
// quarter left takes what comes while the thread wakes.
uint32_t GatherEnough(const Writer& w) {
    return w.capacity / 4 * 3;
}

void RunWriter(Writer& w) {
    for (;;) {
        std::unique_lock<std::mutex> lock(w.lock);
        while (w.pendingCount == 0) {
            w.writingAny = false;
            w.drained.notify_all();
            w.linesWaiting.wait(lock);
        }
        if (w.gatherMs > 0) {
            w.linesWaiting.wait_for(lock, std::chrono::milliseconds(w.gatherMs), [&w] {
                return w.flushing || w.pendingCount >= GatherEnough(w);
            });
        }
        const uint32_t count = w.pendingCount;
        std::memcpy(w.writing, w.pending, count);
        w.pendingCount = 0;
        w.writingAny = true;
        const bool tellRoom = w.roomWanted && w.signalsRoom;
        w.roomWanted = false;
        lock.unlock();
        if (tellRoom) posix::Signal(&posix::LoopWake::outputRoom);
        WriteAll(w.fd, w.writing, count);
    }
}

void* WriteOutput(void*) {
    RunWriter(output);
    return nullptr;
}

void* WriteTrace(void*) {
    RunWriter(trace);
    return nullptr;
}

bool Offer(Writer& w, const char* bytes, std::size_t count) {
    std::unique_lock<std::mutex> lock(w.lock);
    const uint32_t before = w.pendingCount;
    const bool fits = count <= w.capacity - before;
    if (fits) {
        std::memcpy(w.pending + before, bytes, count);
        w.pendingCount += static_cast<uint32_t>(count);
    } else {
        w.roomWanted = true;
    }
    lock.unlock();
    // The thread sleeps only with nothing pending, or while it gathers until enough is.
    const uint32_t enough = GatherEnough(w);
    if (fits && (before == 0 || (before < enough && before + count >= enough)))
        w.linesWaiting.notify_one();
    return fits;
}

bool Flush(Writer& w, uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(w.lock);
    w.flushing = true;
    w.linesWaiting.notify_one();
    const bool done = w.drained.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                         [&w] { return w.pendingCount == 0 && !w.writingAny; });
    w.flushing = false;
    return done;
}

// A trace path as the system takes it: UTF-8, with each unpaired surrogate U+DC80..U+DCFF (how
// the entry point carried a byte that was not UTF-8) given back as that byte.
bool NarrowPath(const WideChar* path, char* out, std::size_t capacity) {
    std::size_t n = 0;
    const auto put = [&](uint32_t byte) {
        if (n + 1 >= capacity) return false;
        out[n++] = static_cast<char>(byte);
        return true;
    };
    for (; *path != 0; ++path) {
        uint32_t c = *path;
        if (c >= 0xD800 && c <= 0xDBFF && path[1] >= 0xDC00 && path[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (path[1] - 0xDC00u);
            ++path;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            if (!put(c - 0xDC00)) return false;
            continue;
        }
        bool ok = true;
        if (c < 0x80) {
            ok = put(c);
        } else if (c < 0x800) {
            ok = put(0xC0 | c >> 6) && put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            ok = put(0xE0 | c >> 12) && put(0x80 | (c >> 6 & 0x3F)) && put(0x80 | (c & 0x3F));
        } else {
            ok = put(0xF0 | c >> 18) && put(0x80 | (c >> 12 & 0x3F)) &&
                 put(0x80 | (c >> 6 & 0x3F)) && put(0x80 | (c & 0x3F));
        }
        if (!ok) return false;
    }
    out[n] = '\0';
    return true;
}

}  // namespace

Handle StartOutputWriter() {
    output.fd = STDOUT_FILENO;
    output.capacity = kOutputWriterBytes;
    output.signalsRoom = true;
    uint32_t error = 0;
    if (!posix::StartThread(WriteOutput, &error)) return kNullHandle;
    output.started = true;
    return posix::kOutputRoomEvent;
}

bool OfferStandardOutput(const char* bytes, std::size_t count) {
    if (!output.started) {  // --self-test, --version, or no writer thread: write in place
        WriteAll(STDOUT_FILENO, bytes, count);
        return true;
    }
    // A refusal resets the room event under the wake lock, so the thread's next take, which sets
    // it, cannot slip in between.
    std::unique_lock<std::mutex> wakeLock(posix::wake.lock);
    const bool taken = Offer(output, bytes, count);
    if (!taken) posix::wake.outputRoom = false;
    return taken;
}

bool FlushStandardOutput(uint32_t milliseconds) {
    if (!output.started) return true;
    return Flush(output, milliseconds);
}

bool OpenTrace(const WideChar* path) {
    constexpr uint32_t kNameTooLong = ENAMETOOLONG;
    if (path[0] == u'-' && path[1] == 0) {
        trace.fd = STDERR_FILENO;
    } else {
        char narrow[4096];
        if (!NarrowPath(path, narrow, sizeof narrow)) {
            posix::SetLastError(kNameTooLong);
            return false;
        }
        trace.fd = ::open(narrow, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (trace.fd < 0) {
            posix::SetLastError(static_cast<uint32_t>(errno));
            return false;
        }
    }
    trace.capacity = kTraceWriterBytes;
    trace.gatherMs = kTraceGatherMs;
    uint32_t error = 0;
    if (!posix::StartThread(WriteTrace, &error)) {
        if (trace.fd != STDERR_FILENO) ::close(trace.fd);
        posix::SetLastError(error);
        return false;
    }
    trace.started = true;
    return true;
}

bool OfferTrace(const char* bytes, std::size_t count) {
    return trace.started && Offer(trace, bytes, count);
}

bool FlushTrace(uint32_t milliseconds) {
    return !trace.started || Flush(trace, milliseconds);
}

void WriteStandardError(const char* bytes, std::size_t count) {
    WriteAll(STDERR_FILENO, bytes, count);
}

}  // namespace os
