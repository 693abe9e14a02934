// The seam: every operation the bridge asks of the operating system.
//
// The core (app, protocol, gamepad, desktop) includes this header and nothing platform-specific.
// Each operation keeps the shape and the numeric results of the Win32 call it stands for, so the
// core reads like Windows code and the adapter stays a one-to-one translation:
//   os/win32  the real calls, linked into padbridge.exe;
//   os/sim    a deterministic simulated machine, linked into the tests.
// Selection is at link time; there are no virtual calls. Names that windows.h turns into macros
// carry their W suffix here, so the adapter and the core agree on them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os {

// Win32 wide characters are 16-bit UTF-16 units on every build of the core.
using WideChar = char16_t;

// An opaque Win32 handle (HANDLE, HMODULE, HDEVINFO), carried as an integer.
using Handle = std::uintptr_t;
constexpr Handle kNullHandle = 0;
constexpr Handle kInvalidHandle = ~Handle{0};  // INVALID_HANDLE_VALUE

// Win32 error codes the core names.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInvalidData = 13;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorBrokenPipe = 109;
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorOperationAborted = 995;
constexpr uint32_t kErrorIoIncomplete = 996;
constexpr uint32_t kErrorIoPending = 997;
constexpr uint32_t kErrorTimeout = 1460;

// GetLastError of the calling thread, as left by the last failed operation below.
uint32_t GetLastError();

// ---- Clock and standard streams ----

uint64_t GetTickCount64();

// QueryPerformanceCounter and QueryPerformanceFrequency (counts a second): a clock of a
// microsecond or finer, which does not move in the tick's 15.6 ms steps.
bool QueryPerformanceCounter(int64_t* count);
bool QueryPerformanceFrequency(int64_t* frequency);

// SetDefaultDllDirectories(flags); the bridge passes 0x800 (system directory only).
bool SetDefaultDllDirectories(uint32_t flags);

// The runtime's stream set-up: standard input in binary mode, standard output unbuffered.
void PrepareStandardStreams();

// ---- Host input and the loop's one wait ----
//
// Standard input may be anything the host hands over: an anonymous or named pipe, a file, a
// console, a Unix pipe under Wine. None of these can be waited on for data, so the adapter reads
// it on a thread of its own into a bounded buffer, and the loop learns of bytes through an event.

// Starts reading standard input. Returns the event that wakes the loop when bytes arrive or the
// input ends, and again after every take that leaves bytes or finds the end (a wake-up may find
// nothing left to take); kNullHandle when reading could not start.
Handle StartInputReader();

// When a take's bytes reached the bridge: those before `end` (counted from the start of the take)
// and after the previous record's end arrived at `tick`, the GetTickCount64 of the moment the
// reader got them from the system.
struct InputArrival {
    uint32_t end;
    uint64_t tick;
};
// The most arrival records one take fills; a take ends early rather than merge two arrivals.
constexpr uint32_t kMaxTakeArrivals = 32;

// Takes up to `capacity` waiting bytes without blocking and returns how many, with the arrivals
// they came in, oldest first, in `arrivals` (room for kMaxTakeArrivals) and their number in
// *arrivalCount. Sets *ended once the input has ended (end of file, a broken pipe, a closed
// console) and every byte before the end has been taken.
uint32_t TakeInput(void* buffer, uint32_t capacity, bool* ended, InputArrival* arrivals,
                   uint32_t* arrivalCount);
// How many bytes wait to be taken now: every byte that had reached the bridge by this call.
uint32_t InputWaiting();

// From this call on, Ctrl+C, Ctrl+Break, closing the console, logging off and shutting down no
// longer end the process on the spot: they signal the returned event (kNullHandle when it could
// not be set up). Log-off and shutdown arrive as window messages at a hidden top-level window,
// since Windows sends their console events only to processes without user32. Where the system
// ends the process once told (a closed console, the session's end), it is held, for a bounded
// time, until FinishShutdown; Ctrl+C and Ctrl+Break hold nothing.
Handle WatchStopRequests();
// The bridge has released everything; a held console control event may now let the process go.
void FinishShutdown();

constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
constexpr uint32_t kInfinite = 0xFFFFFFFF;

// MAXIMUM_WAIT_OBJECTS.
constexpr uint32_t kMaxWaitObjects = 64;

// WaitForMultipleObjects(count, handles, wait for any, milliseconds): kWaitObject0 plus the index
// of the first signalled handle, kWaitTimeout or kWaitFailed. It fails with 87 for no handles,
// more than kMaxWaitObjects, or one handle given twice.
uint32_t WaitForMultipleObjects(uint32_t count, const Handle* handles, uint32_t milliseconds);
// Sleep(milliseconds): for a wait on time alone, which WaitForMultipleObjects cannot do.
void Sleep(uint32_t milliseconds);

// ---- Standard output ----
//
// A host may stop reading at any time (a frozen main thread, a console in QuickEdit selection),
// and a write to a full pipe blocks until it reads again. So the adapter writes on a thread of its
// own, from a bounded buffer, and the loop only ever hands lines over without blocking. The bytes
// are wire bytes: the caller has already ended each line in CR LF and hands over whole lines.

// The writer holds at most this many bytes that it has taken but not yet begun to write, besides
// the one write it has in progress (at most as many again).
constexpr uint32_t kOutputWriterBytes = 32 * 1024;

// Starts the writer. Returns the event that is signalled when the writer has room again after it
// refused an offer (the loop waits on it while lines wait for room); kNullHandle when the writer
// could not start, and then every offer is one blocking write in place.
Handle StartOutputWriter();

// Hands `count` bytes to the writer without blocking: true when it took them all, false (taking
// nothing) when it lacks room. Before StartOutputWriter, it writes them at once, blocking, and is
// always true.
bool OfferStandardOutput(const char* bytes, std::size_t count);

// Waits at most `milliseconds` for the writer to pass every byte it took to the system; true
// when it did. The bytes left over are lost when the process ends.
bool FlushStandardOutput(uint32_t milliseconds);

// ---- The trace and standard error ----
//
// The trace is for people, not the host: one JSON record a line, to a file or to standard error,
// written by a thread of its own from a bounded buffer, so that the loop never waits for it.

// The most bytes the trace's writer holds that it has taken but not yet begun to write.
constexpr uint32_t kTraceWriterBytes = 64 * 1024;
// Once woken by a record, the trace's writer gathers more for up to this long before it writes,
// or until three quarters of its buffer are full or a flush asks: a busy bridge then costs the
// system a few dozen writes a second, not one for every record.
constexpr uint32_t kTraceGatherMs = 50;

// Opens the trace's destination and starts its writer: the file at `path`, created or emptied,
// or standard error when `path` is "-". False, with GetLastError, when the file cannot be opened
// or the writer cannot start; then nothing is traced.
bool OpenTrace(const WideChar* path);
// Hands `count` bytes of whole records to the trace's writer without blocking: true when it took
// them all, false (taking nothing) when it lacks room or no trace is open.
bool OfferTrace(const char* bytes, std::size_t count);
// Waits at most `milliseconds` for the trace's writer to write every byte it took; true when it
// did (or no trace is open).
bool FlushTrace(uint32_t milliseconds);

// Writes `count` bytes to standard error at once, blocking: for a message before the bridge
// starts, when no host is reading its standard output yet.
void WriteStandardError(const char* bytes, std::size_t count);

// ---- Device interfaces and overlapped driver I/O ----

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// SP_DEVICE_INTERFACE_DATA, 64-bit layout (cbSize 32).
struct DeviceInterfaceData {
    uint32_t cbSize;
    Guid interfaceClassGuid;
    uint32_t flags;
    uint64_t reserved;
};
static_assert(sizeof(DeviceInterfaceData) == 32);

// OVERLAPPED, 64-bit layout. The driver writes Internal and InternalHigh while a request runs.
struct Overlapped {
    uint64_t internal;
    uint64_t internalHigh;
    uint32_t offset;
    uint32_t offsetHigh;
    Handle event;
};
static_assert(sizeof(Overlapped) == 32);

// SetupDiGetClassDevsW(classGuid, no enumerator, no window, flags); kInvalidHandle on failure.
Handle SetupDiGetClassDevsW(const Guid& classGuid, uint32_t flags);
bool SetupDiEnumDeviceInterfaces(Handle deviceInfoSet, const Guid& classGuid, uint32_t memberIndex,
                                 DeviceInterfaceData* data);
// SetupDiGetDeviceInterfaceDetailW with no device-information record. `detail` may be null with
// size 0; `requiredSize` may be null.
bool SetupDiGetDeviceInterfaceDetailW(Handle deviceInfoSet, DeviceInterfaceData* data, void* detail,
                                      uint32_t detailSize, uint32_t* requiredSize);
bool SetupDiDestroyDeviceInfoList(Handle deviceInfoSet);

// CreateFileW(path, access, share, no security, disposition, flags, no template);
// kInvalidHandle on failure.
Handle CreateFileW(const WideChar* path, uint32_t access, uint32_t shareMode, uint32_t disposition,
                   uint32_t flagsAndAttributes);
bool CloseHandle(Handle handle);

bool DeviceIoControl(Handle device, uint32_t ioControlCode, const void* inBuffer, uint32_t inSize,
                     void* outBuffer, uint32_t outSize, uint32_t* bytesReturned,
                     Overlapped* overlapped);
bool GetOverlappedResult(Handle device, Overlapped* overlapped, uint32_t* bytesTransferred,
                         bool wait);
bool CancelIoEx(Handle device, Overlapped* overlapped);

// CreateEventW: manual reset, initially non-signalled, unnamed. kNullHandle on failure.
Handle CreateManualResetEvent();
bool ResetEvent(Handle event);
uint32_t WaitForSingleObject(Handle object, uint32_t milliseconds);

// ---- Libraries and the environment ----

// GetEnvironmentVariableW: the length copied without the terminator, the size needed (with the
// terminator) when the buffer is too small, or 0 when the variable is not set.
uint32_t GetEnvironmentVariableW(const WideChar* name, WideChar* buffer, uint32_t capacity);

// LoadLibraryExW(path, no file, flags); kNullHandle on failure.
Handle LoadLibraryExW(const WideChar* path, uint32_t flags);
// GetProcAddress; null when the export is missing. The caller casts to the export's type.
using ProcAddress = void (*)();
ProcAddress GetProcAddress(Handle module, const char* exportName);
bool FreeLibrary(Handle module);

// ---- Input injection and text conversion ----

// INPUT, 64-bit layout (40 bytes). Zero-filled before use; only the named members are set.
struct MouseInput {
    int32_t dx;
    int32_t dy;
    uint32_t mouseData;
    uint32_t dwFlags;
    uint32_t time;
    uint64_t dwExtraInfo;
};
struct KeyboardInput {
    uint16_t wVk;
    uint16_t wScan;
    uint32_t dwFlags;
    uint32_t time;
    uint64_t dwExtraInfo;
};
struct InputRecord {
    uint32_t type;  // 0 mouse, 1 keyboard
    union {
        MouseInput mi;
        KeyboardInput ki;
    };
};
static_assert(sizeof(InputRecord) == 40);

// SendInput(count, records, 40); the number of events the system accepted.
uint32_t SendInput(uint32_t count, const InputRecord* records, int recordSize);

// MapVirtualKeyW(code, mapType): for kMapVkToVsc, the scan code that the current keyboard layout
// gives the virtual key, without any E0 prefix; 0 when the layout has none.
constexpr uint32_t kMapVkToVsc = 0;  // MAPVK_VK_TO_VSC
uint32_t MapVirtualKeyW(uint32_t code, uint32_t mapType);

constexpr uint32_t kCodePageUtf8 = 65001;   // CP_UTF8
constexpr uint32_t kErrInvalidChars = 0x8;  // MB_ERR_INVALID_CHARS

// MultiByteToWideChar; the number of units written (with the terminator when sourceLength is -1),
// or 0 on failure.
int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* source, int sourceLength,
                        WideChar* destination, int destinationCapacity);

}  // namespace os
