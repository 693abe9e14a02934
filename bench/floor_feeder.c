/* The floor for the latency benchmark: the least a feeder can do between a host's line and the
 * vJoy call it causes. It blocks in ReadFile on standard input and, for every line, calls SetAxis
 * once with the line's first axis; nothing else. Usage: floor_feeder VJOY_DLL_PATH */
#include <windows.h>

#include <stdlib.h>
#include <string.h>

typedef BOOL(__cdecl* AcquireFn)(UINT);
typedef BOOL(__cdecl* SetAxisFn)(LONG, UINT, UINT);

int wmain(int argc, wchar_t** argv) {
    static char buffer[65536];
    HMODULE library;
    AcquireFn acquire;
    SetAxisFn setAxis;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD filled = 0;
    if (argc < 2 || (library = LoadLibraryW(argv[1])) == NULL) return 2;
    acquire = (AcquireFn)(void (*)(void))GetProcAddress(library, "AcquireVJD");
    setAxis = (SetAxisFn)(void (*)(void))GetProcAddress(library, "SetAxis");
    if (acquire == NULL || setAxis == NULL || !acquire(1)) return 2;
    for (;;) {
        DWORD got = 0;
        char* line = buffer;
        char* end;
        if (!ReadFile(input, buffer + filled, (DWORD)sizeof buffer - filled - 1, &got, NULL) ||
            got == 0)
            return 0;
        filled += got;
        buffer[filled] = '\0';
        while ((end = strchr(line, '\n')) != NULL) {
            const char* axes = strstr(line, "\"axes\":[");
            if (axes != NULL && axes < end) {
                const double x = strtod(axes + 8, NULL);
                setAxis((LONG)(x * 16383.0 + 16384.0), 1, 0x30);
            }
            line = end + 1;
        }
        filled -= (DWORD)(line - buffer);
        memmove(buffer, line, filled);
    }
}
