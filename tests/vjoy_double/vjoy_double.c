/* A stand-in for vJoyInterface.dll, written for the end-to-end tests of padbridge.exe.
 *
 * It exports the eleven entry points the bridge resolves, with the same argument orders, and
 * answers as a test configures it through environment variables read on every call:
 *   VJOY_DOUBLE_LOG            file that receives one line per call, e.g. "SetAxis(16383,1,48)"
 *   VJOY_DOUBLE_ENABLED        what vJoyEnabled returns (default 1)
 *   VJOY_DOUBLE_BUTTONS        GetVJDButtonNumber (default 10)
 *   VJOY_DOUBLE_POVS           GetVJDContPovNumber (default 1)
 *   VJOY_DOUBLE_MISSING_AXES   comma-separated usages GetVJDAxisExist answers 0 for, e.g. "0x35"
 *   VJOY_DOUBLE_AXIS_MIN       what GetVJDAxisMin writes (default 0; "none" writes nothing)
 *   VJOY_DOUBLE_AXIS_MAX       what GetVJDAxisMax writes (default 32767; "none" writes nothing)
 *   VJOY_DOUBLE_REFUSE_ACQUIRE "1": AcquireVJD answers 0, as when another feeder owns the device
 *   VJOY_DOUBLE_STAMP          "1": each log line starts with "@<QueryPerformanceCounter> ", taken
 *                              as the call came in (the latency benchmark compares it with the
 *                              host's write), and the Get... queries are not logged: the real
 *                              library answers them from memory, while a log line costs a write
 * Device ids 1 to 16 exist; any other id answers 0. Each log line is appended and the file closed
 * again, so the log is complete even when the process is killed. */
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __declspec(dllexport)

/* The variable's value, or an empty string when it is not set or too long. */
static const char* Setting(const char* name, char* buffer, DWORD capacity) {
    DWORD length = GetEnvironmentVariableA(name, buffer, capacity);
    if (length == 0 || length >= capacity) buffer[0] = '\0';
    return buffer;
}

/* An integer setting (decimal or 0x hex); `fallback` when unset, `*present` 0 for "none". */
static long Number(const char* name, long fallback, int* present) {
    char text[64];
    Setting(name, text, sizeof text);
    if (present != NULL) *present = 1;
    if (text[0] == '\0') return fallback;
    if (strcmp(text, "none") == 0) {
        if (present != NULL) *present = 0;
        return fallback;
    }
    return strtol(text, NULL, 0);
}

/* The log is opened on the first call and kept open: the bridge may call thousands of times a
   second, and an open and close per call is slow under Wine. Each line is flushed, so a reader
   sees it at once. */
static void Log(const char* format, ...) {
    static FILE* file;
    static int opened;
    static int stamped;
    LARGE_INTEGER now;
    va_list args;
    QueryPerformanceCounter(&now);
    if (!opened) {
        char path[MAX_PATH];
        opened = 1;
        if (Setting("VJOY_DOUBLE_LOG", path, sizeof path)[0] != '\0') file = fopen(path, "ab");
        stamped = Number("VJOY_DOUBLE_STAMP", 0, NULL) == 1;
    }
    if (file == NULL || (stamped && strncmp(format, "Get", 3) == 0)) return;
    if (stamped) fprintf(file, "@%lld ", (long long)now.QuadPart);
    va_start(args, format);
    vfprintf(file, format, args);
    va_end(args);
    fputc('\n', file);
    fflush(file);
}

static int KnownDevice(UINT id) { return id >= 1 && id <= 16; }

static int AxisExists(UINT usage) {
    char text[256];
    const char* p = Setting("VJOY_DOUBLE_MISSING_AXES", text, sizeof text);
    if (usage < 0x30 || usage > 0x37) return 0;
    while (*p != '\0') {
        char* end;
        unsigned long missing = strtoul(p, &end, 0);
        if (end == p) break;
        if (missing == usage) return 0;
        p = *end == ',' ? end + 1 : end;
    }
    return 1;
}

EXPORT BOOL vJoyEnabled(void) {
    Log("vJoyEnabled()");
    return (BOOL)Number("VJOY_DOUBLE_ENABLED", 1, NULL);
}

EXPORT BOOL AcquireVJD(UINT id) {
    Log("AcquireVJD(%u)", id);
    return KnownDevice(id) && Number("VJOY_DOUBLE_REFUSE_ACQUIRE", 0, NULL) == 0;
}

EXPORT BOOL RelinquishVJD(UINT id) {
    Log("RelinquishVJD(%u)", id);
    return KnownDevice(id);
}

EXPORT BOOL SetAxis(LONG value, UINT id, UINT axis) {
    Log("SetAxis(%ld,%u,%u)", value, id, axis);
    return KnownDevice(id) && AxisExists(axis);
}

EXPORT BOOL SetBtn(BOOL state, UINT id, UCHAR button) {
    Log("SetBtn(%d,%u,%u)", state, id, (unsigned)button);
    return KnownDevice(id);
}

EXPORT BOOL SetContPov(DWORD value, UINT id, UCHAR pov) {
    Log("SetContPov(%lu,%u,%u)", value, id, (unsigned)pov);
    return KnownDevice(id);
}

EXPORT BOOL GetVJDAxisExist(UINT id, UINT axis) {
    Log("GetVJDAxisExist(%u,%u)", id, axis);
    return KnownDevice(id) && AxisExists(axis);
}

EXPORT BOOL GetVJDAxisMin(UINT id, UINT axis, LONG* min) {
    int present;
    const long value = Number("VJOY_DOUBLE_AXIS_MIN", 0, &present);
    Log("GetVJDAxisMin(%u,%u,%d)", id, axis, min != NULL);
    if (!KnownDevice(id) || !AxisExists(axis) || !present || min == NULL) return FALSE;
    *min = value;
    return TRUE;
}

EXPORT BOOL GetVJDAxisMax(UINT id, UINT axis, LONG* max) {
    int present;
    const long value = Number("VJOY_DOUBLE_AXIS_MAX", 32767, &present);
    Log("GetVJDAxisMax(%u,%u,%d)", id, axis, max != NULL);
    if (!KnownDevice(id) || !AxisExists(axis) || !present || max == NULL) return FALSE;
    *max = value;
    return TRUE;
}

EXPORT int GetVJDButtonNumber(UINT id) {
    Log("GetVJDButtonNumber(%u)", id);
    return KnownDevice(id) ? (int)Number("VJOY_DOUBLE_BUTTONS", 10, NULL) : 0;
}

EXPORT int GetVJDContPovNumber(UINT id) {
    Log("GetVJDContPovNumber(%u)", id);
    return KnownDevice(id) ? (int)Number("VJOY_DOUBLE_POVS", 1, NULL) : 0;
}
