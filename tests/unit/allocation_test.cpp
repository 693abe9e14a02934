// The core allocates nothing on the heap once it runs, apart from the probe's one detail block
// per enumerated device interface. A long mixed host session on the simulation is run with every
// heap allocation of the process counted:
//   - with AddressSanitizer (the native build) through its allocation hooks, which see malloc,
//     operator new and the C library's own allocations alike;
//   - without it, by interposing malloc, calloc and realloc (operator new comes through malloc).
// The simulation allocates as it records what the bridge did; those allocations are not the
// core's. Every call from the core into the seam is wrapped at link time (--wrap, see
// CMakeLists.txt) to mark "inside the simulation", and only allocations made outside it, while
// RunBridge runs, are counted.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/bridge.h"
#include "os/sim/sim.h"

#if defined(__SANITIZE_ADDRESS__)
#define PADBRIDGE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PADBRIDGE_ASAN 1
#endif
#endif

namespace {

// Touched from inside allocation functions: plain globals, no allocation of their own.
bool counting = false;
bool started = false;  // start-up ends when the loop starts its input reader, after the probe
int simulationDepth = 0;
std::size_t startupAllocations = 0;
std::size_t allocations = 0;  // after start-up
constexpr std::size_t kKeptSizes = 16;
std::size_t startupSizes[kKeptSizes];
std::size_t sizes[kKeptSizes];

void Note(std::size_t size) {
    if (!counting || simulationDepth != 0) return;
    std::size_t& count = started ? allocations : startupAllocations;
    std::size_t* kept = started ? sizes : startupSizes;
    if (count < kKeptSizes) kept[count] = size;
    ++count;
}

struct InSimulation {
    explicit InSimulation(const char* call) {
        if (std::strcmp(call, "_ZN2os16StartInputReaderEv") == 0) started = true;
        ++simulationDepth;
    }
    ~InSimulation() { --simulationDepth; }
    InSimulation(const InSimulation&) = delete;
    InSimulation& operator=(const InSimulation&) = delete;
};

}  // namespace

#ifdef PADBRIDGE_ASAN
// From the sanitizer runtime's allocator interface (the header ships with clang, not with gcc).
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*onMalloc)(const volatile void* block, std::size_t size),
    void (*onFree)(const volatile void* block));
namespace {
void OnMalloc(const volatile void*, std::size_t size) {
    Note(size);
}
void OnFree(const volatile void*) {}
const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
}  // namespace
#else
extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* block, std::size_t size);
extern "C" void* malloc(std::size_t size) noexcept {
    Note(size);
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) noexcept {
    Note(count * size);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, std::size_t size) noexcept {
    Note(size);
    return __libc_realloc(block, size);
}
namespace {
const int hooksInstalled = 1;
}  // namespace
#endif

// Every seam operation the core calls, wrapped: the simulation's bookkeeping is not counted.
#define SIMULATED(mangled, Result, Parameters, Arguments) \
    extern "C" Result __real_##mangled Parameters;        \
    extern "C" Result __wrap_##mangled Parameters {       \
        InSimulation inside(#mangled);                    \
        return __real_##mangled Arguments;                \
    }

using os::Handle;
SIMULATED(_ZN2os10CancelIoExEmPNS_10OverlappedE, bool, (Handle d, os::Overlapped* o), (d, o))
SIMULATED(_ZN2os10ResetEventEm, bool, (Handle e), (e))
SIMULATED(_ZN2os11CloseHandleEm, bool, (Handle h), (h))
SIMULATED(_ZN2os11CreateFileWEPKDsjjjj, Handle,
          (const os::WideChar* p, uint32_t a, uint32_t s, uint32_t d, uint32_t f), (p, a, s, d, f))
SIMULATED(_ZN2os11FreeLibraryEm, bool, (Handle m), (m))
SIMULATED(_ZN2os12GetLastErrorEv, uint32_t, (), ())
SIMULATED(_ZN2os14GetProcAddressEmPKc, os::ProcAddress, (Handle m, const char* n), (m, n))
SIMULATED(_ZN2os14GetTickCount64Ev, uint64_t, (), ())
SIMULATED(_ZN2os23QueryPerformanceCounterEPl, bool, (int64_t * c), (c))
SIMULATED(_ZN2os25QueryPerformanceFrequencyEPl, bool, (int64_t * f), (f))
SIMULATED(_ZN2os14LoadLibraryExWEPKDsj, Handle, (const os::WideChar* p, uint32_t f), (p, f))
SIMULATED(_ZN2os14MapVirtualKeyWEjj, uint32_t, (uint32_t c, uint32_t t), (c, t))
SIMULATED(_ZN2os15DeviceIoControlEmjPKvjPvjPjPNS_10OverlappedE, bool,
          (Handle d, uint32_t c, const void* i, uint32_t is, void* o, uint32_t os, uint32_t* r,
           os::Overlapped* ov),
          (d, c, i, is, o, os, r, ov))
SIMULATED(_ZN2os19GetOverlappedResultEmPNS_10OverlappedEPjb, bool,
          (Handle d, os::Overlapped* o, uint32_t* b, bool w), (d, o, b, w))
SIMULATED(_ZN2os19MultiByteToWideCharEjjPKciPDsi, int,
          (uint32_t cp, uint32_t f, const char* s, int sl, os::WideChar* d, int dc),
          (cp, f, s, sl, d, dc))
SIMULATED(_ZN2os19WaitForSingleObjectEmj, uint32_t, (Handle h, uint32_t ms), (h, ms))
SIMULATED(_ZN2os19OfferStandardOutputEPKcm, bool, (const char* b, std::size_t n), (b, n))
SIMULATED(_ZN2os19FlushStandardOutputEj, bool, (uint32_t ms), (ms))
SIMULATED(_ZN2os17StartOutputWriterEv, Handle, (), ())
SIMULATED(_ZN2os20SetupDiGetClassDevsWERKNS_4GuidEj, Handle, (const os::Guid& g, uint32_t f),
          (g, f))
SIMULATED(_ZN2os22CreateManualResetEventEv, Handle, (), ())
SIMULATED(_ZN2os22PrepareStandardStreamsEv, void, (), ())
SIMULATED(_ZN2os23GetEnvironmentVariableWEPKDsPDsj, uint32_t,
          (const os::WideChar* n, os::WideChar* b, uint32_t c), (n, b, c))
SIMULATED(_ZN2os24SetDefaultDllDirectoriesEj, bool, (uint32_t f), (f))
SIMULATED(_ZN2os27SetupDiEnumDeviceInterfacesEmRKNS_4GuidEjPNS_19DeviceInterfaceDataE, bool,
          (Handle l, const os::Guid& g, uint32_t i, os::DeviceInterfaceData* d), (l, g, i, d))
SIMULATED(_ZN2os28SetupDiDestroyDeviceInfoListEm, bool, (Handle l), (l))
SIMULATED(_ZN2os32SetupDiGetDeviceInterfaceDetailWEmPNS_19DeviceInterfaceDataEPvjPj, bool,
          (Handle l, os::DeviceInterfaceData* d, void* b, uint32_t s, uint32_t* r), (l, d, b, s, r))
SIMULATED(_ZN2os9TakeInputEPvjPbPNS_12InputArrivalEPj, uint32_t,
          (void* b, uint32_t c, bool* e, os::InputArrival* a, uint32_t* n), (b, c, e, a, n))
SIMULATED(_ZN2os12InputWaitingEv, uint32_t, (), ())
SIMULATED(_ZN2os9OpenTraceEPKDs, bool, (const os::WideChar* p), (p))
SIMULATED(_ZN2os10OfferTraceEPKcm, bool, (const char* b, std::size_t n), (b, n))
SIMULATED(_ZN2os10FlushTraceEj, bool, (uint32_t ms), (ms))
SIMULATED(_ZN2os18WriteStandardErrorEPKcm, void, (const char* b, std::size_t n), (b, n))
SIMULATED(_ZN2os14FinishShutdownEv, void, (), ())
SIMULATED(_ZN2os16StartInputReaderEv, Handle, (), ())
SIMULATED(_ZN2os17WatchStopRequestsEv, Handle, (), ())
SIMULATED(_ZN2os22WaitForMultipleObjectsEjPKmj, uint32_t,
          (uint32_t c, const Handle* h, uint32_t ms), (c, h, ms))
SIMULATED(_ZN2os9SendInputEjPKNS_11InputRecordEi, uint32_t,
          (uint32_t c, const os::InputRecord* r, int s), (c, r, s))

namespace padbridge {
namespace {

std::string Input(int player, double axis, double button) {
    const std::string a = std::to_string(axis);
    const std::string b = std::to_string(button);
    return "{\"type\":\"input\",\"player\":" + std::to_string(player) + ",\"axes\":[" + a +
           ", -0.003921568859368563,0.25,-1],\"buttons\":[" + b + ",0,0.5,1,0,0,0.75," + b +
           ",0,0,0,0,1,0,0,0.0392156862745098]}";
}

// Players 3 and 5 ask for DualShock 4 pads, with motion and a finger that comes and goes.
std::string PadInput(int player, int round, double axis, double button) {
    std::string line = Input(player, axis, button);
    if (player != 3 && player != 5) return line;
    const std::string touch = round % 4 < 2 ? "[0.25,0.5]" : "[]";
    line.insert(line.size() - 1, ",\"pad\":\"dualshock4\",\"gyro\":[" + std::to_string(round * 10) +
                                     ",0,-45],\"accel\":[0,9.8,1],\"touch\":" + touch);
    return line;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

constexpr uint32_t kProbeBlockSize = 333;

void CheckMixedSession(int argc, const os::WideChar* const* argv, const char* label);

// Every kind of work the loop does, over ten virtual seconds: eight pads created and fed, rumble
// coming back, pads removed by the host and by the idle timeout, every desktop action, the
// watchdog's release, an overlong line and lines that are dropped.
void ScriptMixedSession() {
    sim::Machine& machine = sim::Current();
    machine.bus.interfaces = {sim::DeviceInterface{}};
    machine.bus.interfaces[0].detailSize = kProbeBlockSize;  // a size to recognise the block by
    for (uint8_t k = 1; k <= 6; ++k) machine.bus.Queue(sim::kAwaitRumble, sim::Rumble(k, 0, 300));
    for (uint8_t k = 1; k <= 4; ++k)
        machine.bus.Queue(sim::kAwaitDs4Feedback, sim::Feedback(k, k, 0, k, 255, 250));

    uint64_t t = 10;
    for (int round = 0; round < 30; ++round, t += 100) {
        std::string burst;
        const int players = round < 15 ? kPlayerCount : kPlayerCount / 2;  // 4..7 fall idle
        for (int player = 0; player < players; ++player)
            burst += PadInput(player, round, round * 0.03 - 0.4, (round % 3) * 0.5) + "\n";
        sim::Send(t, burst);
    }
    sim::SendLine(t, R"({"type":"neutral","player":1})");
    sim::SendLine(t, R"({"type":"remove","player":2})");
    sim::SendLine(t + 5, R"({"type":"system-permission","enabled":true})");
    sim::SendLine(t + 10, R"({"type":"system-heartbeat"})");
    sim::SendLine(t + 15, R"({"type":"system","action":"move","x":12.5,"y":-7})");
    sim::SendLine(t + 20, R"({"type":"system","action":"scroll","y":-2})");
    sim::SendLine(t + 25, R"({"type":"system","action":"click","button":0,"down":true})");
    sim::SendLine(t + 30, R"({"type":"system","action":"key","key":"KeyQ","down":true})");
    sim::SendLine(t + 35, R"({"type":"system","action":"key","key":"ArrowLeft","down":true})");
    sim::SendLine(t + 40,
                  "{\"type\":\"system\",\"action\":\"text\",\"text\":\"h\xC3\xA9llo "
                  "\xF0\x9F\x8E\xAE\\n\\t\\\"x\\\"\"}");
    sim::SendLine(t + 45, R"({"type":"system","action":"release"})");
    sim::SendLine(t + 50, R"({"type":"system","action":"click","button":1,"down":true})");
    sim::SendLine(t + 52, R"({"type":"system","action":"scroll","y":1,"x":-0.5})");
    sim::SendLine(t + 54, R"({"type":"system","action":"button","button":"forward","down":true})");
    sim::SendLine(t + 56, R"({"type":"system","action":"point","x":0.25,"y":2})");
    sim::SendLine(t + 60, std::string(16 * 1024 + 1, 'j'));  // dropped whole
    sim::SendLine(t + 70, std::string(16 * 1024, ' '));      // fits; no type, ignored
    sim::SendLine(t + 80, R"({"type":"input","player":0,"axes":[1,2,3],"buttons":[]})");
    sim::SendLine(t + 90, R"({"type":"input","player":8.5})");
    sim::SendLine(t + 95, "{\"type\":\"input\",\"player\":0,\"axes\":[0x10, 1e999,nan,inf]}");
    sim::SendLine(t + 2000, Input(0, 0.5, 1));  // after the watchdog let the button go
    sim::CloseInput(t + 4000);
}

// Runs the session with the trace off, then with it on: a trace allocates nothing either.
TEST(AllocationTest, CoreAllocatesOnlyTheProbeBlockInALongMixedSession) {
    ASSERT_EQ(hooksInstalled, 1);
    static const os::WideChar* const plain[] = {u"padbridge.exe", nullptr};
    static const os::WideChar* const traced[] = {u"padbridge.exe", u"--trace", u"trace.txt",
                                                 nullptr};
    for (const os::WideChar* const* argv : {plain, traced}) {
        const bool tracing = argv == traced;
        SCOPED_TRACE(tracing ? "with the trace" : "without the trace");
        CheckMixedSession(tracing ? 3 : 1, argv, tracing ? "traced core" : "core");
        EXPECT_EQ(sim::Current().trace.empty(), !tracing);
    }
}

void CheckMixedSession(int argc, const os::WideChar* const* argv, const char* label) {
    sim::Reset();
    ScriptMixedSession();
    static Bridge bridge;
    bridge = Bridge{};

    startupAllocations = allocations = 0;
    started = false;
    counting = true;
    const int exitCode = RunBridge(bridge, argc, argv);
    counting = false;

    EXPECT_EQ(exitCode, 0);
    std::printf("%s allocations: %zu at start-up, %zu after\n", label, startupAllocations,
                allocations);
    // At start-up, the probe's detail block for the one interface it enumerated; then nothing.
    EXPECT_TRUE(started);
    EXPECT_EQ(startupAllocations, 1u);
    EXPECT_EQ(startupSizes[0], kProbeBlockSize);
    EXPECT_EQ(allocations, 0u) << "sizes of the first blocks: " << sizes[0] << ' ' << sizes[1]
                               << ' ' << sizes[2] << ' ' << sizes[3]
                               << " (a seam function added without its wrapper above shows up"
                                  " here as the simulation's allocation)";

    // The session did what it meant to, so the count above is about real work.
    const std::string& out = sim::Current().output;
    // Eight pads, and player 0's again after its idle removal; each removed once, by the host,
    // by the idle timeout or at shutdown.
    EXPECT_EQ(Count(out, "\"created\":true"), 9u);
    EXPECT_EQ(Count(out, "\"created\":false"), 9u);
    EXPECT_GE(Count(out, "\"type\":\"rumble\""), 6u);
    EXPECT_NE(out.find("\"low\":0.003922"), std::string::npos);
    EXPECT_EQ(Count(out, "\"enabled\":true"), 1u);
    EXPECT_GE(sim::Current().input.events.size(), 20u);
    EXPECT_GE(sim::Current().bus.RequestsOf(sim::kSubmitReport).size(), 100u);
    EXPECT_GE(sim::Current().bus.RequestsOf(sim::kSubmitDs4Report).size(), 30u);
    EXPECT_GE(Count(out, "\"type\":\"lightbar\""), 2u);
}

}  // namespace
}  // namespace padbridge
