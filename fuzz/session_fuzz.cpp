// The whole bridge on the simulated machine: arbitrary host bytes, cut into arbitrary reads at
// increasing virtual times, with the bus driver and the vJoy library answering as the input says.
//
// Input: a 66-byte header (missing bytes read as zero), then the bytes the host writes.
//   0      machine: bit 0 a bus interface; 1 a second one; 2 vJoy under ProgramFiles; 3 vJoy
//          named by --vjoy-dll; 4 vJoyEnabled answers 0; 5 the bus appears at 2000 ms; 6 some
//          event creations fail; 7 a cancelled request takes 30 ms to finish
//   1      how the first interface answers CheckVersion (an answer byte, below)
//   2      vJoy devices: bit 0 device 2 has 9 buttons; 1 device 3 no POV; 2 device 4 no Rz;
//          3 device 5 is owned by another feeder; 4 range queries write nothing; 5 the host
//          stops reading its end of standard output (below); 6 the Windows session ends halfway
//          through the host's writes; 7 the clock moves in 15.6 ms steps
//   3      the host closes its end this many 10 ms after its last write
//   4..43  the first 8 answers to PlugIn, WaitReady, SubmitReport, Unplug, AwaitRumble; a
//          DualShock 4's report and feedback requests are answered as SubmitReport and
//          AwaitRumble are
//   44..48 the answer to each of those after its first 8
//   49..56 read cuts: chunk lengths, used in turn (64 chunks at most). With byte 2 bit 5 they
//          also say how the host stops reading: at byte 49 times 40 ms; byte 50 bit 0, never to
//          read again (else it reads again 2500 ms later); byte 50 bit 1, no pipe buffer and a
//          writer with room for one longest line, so lines wait in the queue and some are dropped
//   57..63 pauses before each chunk, used in turn; the host's writes stop moving the clock
//          once 12 s have passed
//   64     bit 7: SendInput refuses for a while, as while a secure desktop is up; bits 0-5 its
//          start in 100 ms steps; bit 6 it gives error 0 rather than 5
//   65     that while's length in 10 ms steps; it ends at the latest 800 ms after the bridge's
//          end begins, so the end's retries still see it go
//
// An answer byte: bits 0-1 at once / later / later / never; bits 2-4 the result; bits 5-7 the
// delay. An AwaitRumble or DualShock 4 feedback that succeeds carries motor bytes (and a
// colour); some results stand for a malformed record instead.
//
// After the run every invariant below must hold, or the target aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue.h"
#include "os/sim/sim.h"
#include "protocol/output_queue.h"
#include "session.h"

namespace {

constexpr std::size_t kHeaderSize = 66;
// The end retries refused releases for a second; a refusal that lasts longer leaves a key down.
constexpr uint64_t kRefusalEndsBeforeLastRetryMs = 800;
constexpr uint64_t kScriptedTimeLimitMs = 12000;
constexpr std::size_t kMaxChunks = 64;  // the rest arrives as one last chunk
constexpr const char16_t* kVjoyPath = u"C:\\Program Files\\vJoy\\x64\\vJoyInterface.dll";
constexpr uint32_t kRequestCodes[] = {sim::kPlugIn, sim::kWaitReady, sim::kSubmitReport,
                                      sim::kUnplug, sim::kAwaitRumble};
// The DualShock 4's request that shares each one's answers, or 0.
constexpr uint32_t kDs4Codes[] = {0, 0, sim::kSubmitDs4Report, 0, sim::kAwaitDs4Feedback};

void Violation(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "invariant broken: %s %s\n", what, detail.c_str());
    std::abort();
}

sim::Answer DecodeAnswer(uint8_t byte, uint32_t code) {
    static constexpr uint32_t kResults[] = {0, 0, 0, 87, 50, 31, 995, 1460};
    static constexpr uint64_t kDelays[] = {0, 1, 3, 10, 100, 999, 1000, 1001};
    const int mode = byte & 3;
    const int result = (byte >> 2) & 7;
    const uint64_t delay = kDelays[(byte >> 5) & 7];
    sim::Answer answer = mode == 3 ? sim::Never() : (mode == 0 ? sim::AtOnce() : sim::Later(delay));
    if (mode == 3) return answer;
    if (code != sim::kAwaitRumble && code != sim::kAwaitDs4Feedback) {
        answer.result = kResults[result];
        return answer;
    }
    static constexpr uint8_t kMotors[] = {0, 255, 64, 1};
    answer.low = kMotors[(byte >> 5) & 3];
    answer.high = kMotors[(byte >> 4) & 3];
    answer.red = answer.low;
    answer.green = answer.high;
    answer.blue = byte;
    switch (result) {
        case 3:
            answer.size = 8;
            break;
        case 4:
            answer.serial = 999;
            break;
        case 5:
            answer.bytes = 4;
            break;
        case 6:
            answer.result = 995;
            break;
        case 7:
            answer.result = 31;
            break;
        default:
            break;
    }
    return answer;
}

void SetUpMachine(const uint8_t* h, std::vector<std::u16string>* arguments) {
    sim::Machine& m = sim::Current();
    if (h[0] & 0x01) {
        sim::DeviceInterface first;
        first.checkVersion = DecodeAnswer(h[1], sim::kCheckVersion);
        if (h[0] & 0x20) first.presentFromMs = 2000;
        m.bus.interfaces.push_back(first);
    }
    if (h[0] & 0x02) {
        sim::DeviceInterface second;
        second.path = u"\\\\?\\root#system#0002#{96e42b22-f5e9-42f8-b043-ed0f932f014f}";
        m.bus.interfaces.push_back(second);
    }
    if (h[0] & 0x0C) {
        sim::SetEnvironment(u"ProgramFiles", u"C:\\Program Files");
        m.vjoy.installedPath = kVjoyPath;
    }
    if (h[0] & 0x08) *arguments = {u"--vjoy-dll", kVjoyPath};
    if (h[0] & 0x10) m.vjoy.enabled = 0;
    if (h[0] & 0x40) m.bus.failingEventCreations = {2, 7, 8};
    if (h[0] & 0x80) m.bus.cancelMs = 30;

    if (h[2] & 0x01) sim::VjoyDeviceById(2).buttons = 9;
    if (h[2] & 0x02) sim::VjoyDeviceById(3).contPovs = 0;
    if (h[2] & 0x04) sim::VjoyDeviceById(4).missingAxes = {0x35};
    if (h[2] & 0x08) sim::VjoyDeviceById(5).refuseAcquire = true;
    if (h[2] & 0x10) {
        for (sim::VjoyDevice& device : m.vjoy.devices) device.axisMin = device.axisMax = {};
    }
    if (h[2] & 0x80) sim::SetClockMode(sim::ClockMode::kCoarse);

    if (h[2] & 0x20) {
        const uint64_t stopAt = h[49] * 40u;
        sim::StopReading(stopAt, (h[50] & 0x01) ? sim::kNever : stopAt + 2500);
        if (h[50] & 0x02) {
            m.outputPipe.pipeBytes = 0;
            m.outputPipe.writerBytes = padbridge::kMaxWireLine;
        }
    }

    for (std::size_t kind = 0; kind < 5; ++kind) {
        const uint32_t code = kRequestCodes[kind];
        for (std::size_t i = 0; i < 8; ++i)
            m.bus.Queue(code, DecodeAnswer(h[4 + kind * 8 + i], code));
        m.bus.defaults[code] = DecodeAnswer(h[44 + kind], code);
        const uint32_t ds4 = kDs4Codes[kind];
        if (ds4 == 0) continue;
        for (std::size_t i = 0; i < 8; ++i)
            m.bus.Queue(ds4, DecodeAnswer(h[4 + kind * 8 + i], ds4));
        m.bus.defaults[ds4] = DecodeAnswer(h[44 + kind], ds4);
    }
}

// The host's bytes in chunks of the header's lengths, at the header's pauses.
void ScriptHost(const uint8_t* h, const char* bytes, std::size_t size) {
    uint64_t at = 0;
    std::size_t chunk = 0;
    for (std::size_t offset = 0; offset < size; ++chunk) {
        const uint8_t pause = h[57 + chunk % 7];
        if (at < kScriptedTimeLimitMs) at += pause < 200 ? pause % 20 : (pause - 200u) * 30u;
        const std::size_t length = chunk + 1 < kMaxChunks ? h[49 + chunk % 8] * 9u + 1u : size;
        const std::size_t taken = length < size - offset ? length : size - offset;
        sim::Send(at, std::string_view(bytes + offset, taken));
        offset += taken;
    }
    const uint64_t closeAt = at + h[3] * 10u;
    sim::CloseInput(closeAt);
    if (h[2] & 0x40) sim::EndSession(at / 2);
    if (h[64] & 0x80) {
        const uint64_t endBegins = (h[2] & 0x40) ? at / 2 : closeAt;
        const uint64_t from = (h[64] & 0x3Fu) * 100u;
        uint64_t until = from + h[65] * 10u;
        if (until > endBegins + kRefusalEndsBeforeLastRetryMs)
            until = endBegins + kRefusalEndsBeforeLastRetryMs;
        sim::Current().input.refusals.push_back({from, until, (h[64] & 0x40) ? 0u : 5u});
    }
}

// Every line ends in CR LF and has a catalogue form.
void CheckLineForms(const std::string& out) {
    std::size_t start = 0;
    while (start < out.size()) {
        const std::size_t end = out.find("\r\n", start);
        if (end == std::string::npos) Violation("output does not end in CR LF");
        const std::string line = out.substr(start, end - start);
        if (!fuzz::IsCatalogueLine(line)) Violation("not a catalogue line:", line);
        start = end + 2;
    }
}

// No pad is created twice or left behind; a non-zero rumble line and every lightbar line belong
// to a live pad.
void CheckOutput(const std::string& out) {
    bool live[8] = {};
    std::size_t start = 0;
    while (start < out.size()) {
        const std::size_t end = out.find("\r\n", start);
        if (end == std::string::npos) Violation("output does not end in CR LF");
        const std::string line = out.substr(start, end - start);
        start = end + 2;
        if (!fuzz::IsCatalogueLine(line)) Violation("not a catalogue line:", line);
        if (line.rfind("{\"type\":\"device\"", 0) == 0) {
            const int player = line[26] - '0';
            const bool created = line.find("\"created\":true") != std::string::npos;
            if (created && live[player]) Violation("pad created twice:", line);
            live[player] = created;
        } else if (line.rfind("{\"type\":\"rumble\"", 0) == 0) {
            const int player = line[26] - '0';
            if (line.find("\"low\":0.000000,\"high\":0.000000") == std::string::npos &&
                !live[player]) {
                Violation("rumble of a pad that is not live:", line);
            }
        } else if (line.rfind("{\"type\":\"lightbar\"", 0) == 0) {
            if (!live[line[28] - '0']) Violation("lightbar of a pad that is not live:", line);
        }
    }
    for (int player = 0; player < 8; ++player) {
        if (live[player]) Violation("pad still live at the end, player", std::to_string(player));
    }
}

// A key-up that is not a typed unit, or a mouse button's up.
bool IsRelease(const sim::InjectedEvent& event) {
    os::InputRecord record;
    std::memcpy(&record, event.bytes, sizeof record);
    if (record.type == 1) return (record.ki.dwFlags & 2) != 0 && (record.ki.dwFlags & 4) == 0;
    return record.type == 0 && (record.mi.dwFlags & (0x4 | 0x10 | 0x40 | 0x100)) != 0;
}

// A mouse record is one of the forms the bridge sends, within its bounds: a relative move of at
// most 200, a wheel turn of at most ten notches (a sideways one never of 0), a button with only
// its own flag (an X button naming XBUTTON1 or XBUTTON2), or an absolute move inside 0..65535.
void CheckMouseRecord(const os::MouseInput& mi, const std::string& text) {
    const auto within = [](int32_t value, int32_t limit) {
        return value >= -limit && value <= limit;
    };
    const auto wheel = static_cast<int32_t>(mi.mouseData);
    bool ok = false;
    switch (mi.dwFlags) {
        case 0x1:
            ok = within(mi.dx, 200) && within(mi.dy, 200) && mi.mouseData == 0;
            break;
        case 0xC001:
            ok = mi.dx >= 0 && mi.dx <= 65535 && mi.dy >= 0 && mi.dy <= 65535 && mi.mouseData == 0;
            break;
        case 0x800:
        case 0x1000:
            ok = mi.dx == 0 && mi.dy == 0 && within(wheel, 1200) &&
                 (mi.dwFlags == 0x800 || wheel != 0);
            break;
        case 0x2:
        case 0x4:
        case 0x8:
        case 0x10:
        case 0x20:
        case 0x40:
            ok = mi.dx == 0 && mi.dy == 0 && mi.mouseData == 0;
            break;
        case 0x80:
        case 0x100:
            ok = mi.dx == 0 && mi.dy == 0 && (mi.mouseData == 1 || mi.mouseData == 2);
            break;
        default:
            break;
    }
    if (!ok) Violation("mouse record out of form:", text);
}

// No event before a grant or after a refusal (release-all lifts what is held before the refusal
// is printed); nothing held at a refusal's reply or at the end. A held key goes up with the scan
// code and extended flag of its down, and no key is sent by scan code alone. While SendInput
// refuses (the host was told `system-blocked` true), a release may land after the refusal's reply:
// then only releases may come between a refusal and the next grant.
// With `orderKnown` false (lines waited in the queue, so the output's order says nothing of when
// a line was made) only the events themselves are checked.
void CheckDesktop(const std::string& out, bool orderKnown) {
    const std::string granted = padbridge::test::Crlf(padbridge::test::kGranted);
    const std::string refused = padbridge::test::Crlf(padbridge::test::kRefused);
    const std::string unblocked = padbridge::test::Crlf(padbridge::test::kUnblocked);
    const bool refusals = !sim::Current().input.refusals.empty();
    bool blocked = false;       // the last system-blocked line said true
    bool releasesOnly = false;  // after a refusal that came while blocked
    bool keys[256] = {};
    uint16_t downScan[256] = {};
    uint32_t downExtended[256] = {};
    bool buttons[5] = {};  // left, right, middle, back, forward
    auto heldAny = [&] {
        for (bool key : keys) {
            if (key) return true;
        }
        for (bool button : buttons) {
            if (button) return true;
        }
        return false;
    };
    const auto& events = sim::Current().input.events;
    std::size_t next = 0;
    bool permitted = false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = out.find("\r\n", start);
        const std::size_t lineStart = end == std::string::npos ? out.size() : start;
        // Events handed over before this line was written.
        for (; next < events.size() && (events[next].outputBefore <= lineStart || !orderKnown);
             ++next) {
            const std::string text = sim::DescribeEvent(events[next]);
            if (!permitted && orderKnown && !(releasesOnly && IsRelease(events[next])))
                Violation("event injected without a grant:", text);
            if (text.find("dirty") != std::string::npos) Violation("record not zero-filled:", text);
            os::InputRecord record;
            std::memcpy(&record, events[next].bytes, sizeof record);
            if (record.type == 1 && (record.ki.dwFlags & 8) != 0) {
                Violation("KEYEVENTF_SCANCODE set:", text);
            }
            if (record.type == 1 && (record.ki.dwFlags & 4) == 0) {
                const int vk = record.ki.wVk & 0xFF;
                const bool down = (record.ki.dwFlags & 2) == 0;
                const uint32_t extended = record.ki.dwFlags & 1;
                if (!down && keys[vk] &&
                    (record.ki.wScan != downScan[vk] || extended != downExtended[vk])) {
                    Violation("key-up unlike its key-down:", text);
                }
                keys[vk] = down;
                downScan[vk] = record.ki.wScan;
                downExtended[vk] = extended;
            } else if (record.type == 0) {
                CheckMouseRecord(record.mi, text);
                const uint32_t flags = record.mi.dwFlags;
                if (flags & 0x2) buttons[0] = true;
                if (flags & 0x4) buttons[0] = false;
                if (flags & 0x8) buttons[1] = true;
                if (flags & 0x10) buttons[1] = false;
                if (flags & 0x20) buttons[2] = true;
                if (flags & 0x40) buttons[2] = false;
                if (flags & 0x180) buttons[2 + record.mi.mouseData] = (flags & 0x80) != 0;
            }
        }
        if (end == std::string::npos) break;
        const std::string line = out.substr(start, end + 2 - start);
        if (line == granted) {
            permitted = true;
            releasesOnly = false;
        }
        if (line.rfind("{\"type\":\"system-blocked\"", 0) == 0) {
            if (!refusals) Violation("blocked while SendInput refuses nothing:", line);
            const bool now = line != unblocked;
            if (now == blocked && orderKnown) Violation("system-blocked without a change:", line);
            blocked = now;
        }
        if (line == refused) {
            if (heldAny() && orderKnown && !blocked) Violation("something still held at a refusal");
            permitted = false;
            releasesOnly = blocked;
        }
        start = end + 2;
    }
    if (heldAny()) Violation("something still held at the end");
}

void CheckGivenBack(const padbridge::Bridge& bridge) {
    const sim::Machine& m = sim::Current();
    if (m.bus.OpenHandles() != 0) Violation("bus handles or events left open");
    if (m.bus.openDeviceInfoLists != 0) Violation("device information list left open");
    if (!m.bus.inFlight.empty()) Violation("requests left in flight");
    if (!m.bus.faults.empty()) Violation("bus fault:", m.bus.faults.front());
    if (!m.bus.recordFaults.empty()) Violation("record refused:", m.bus.recordFaults.front());
    if (m.vjoy.loaded) Violation("vJoy library left loaded");
    if (m.vjoy.callsWhileUnloaded != 0) Violation("vJoy called while unloaded");
    for (const sim::VjoyDevice& device : m.vjoy.devices) {
        if (device.owned) Violation("vJoy device left acquired");
    }
    for (int player = 0; player < 8; ++player) {
        if (bridge.bus.pads[player].serial != 0) Violation("pad slot left in use");
        if (bridge.vjoy.acquired[player] != 0) Violation("vJoy flag left set");
        if (bridge.players.lastInputTick[player] != 0) Violation("last-input tick left set");
    }
    for (uint8_t key : bridge.system.pressedKeys) {
        if (key != 0) Violation("pressed-key flag left set");
    }
    for (uint8_t button : bridge.system.pressedButtons) {
        if (button != 0) Violation("pressed-button flag left set");
    }
    for (uint8_t key : bridge.system.owedKeys) {
        if (key != 0) Violation("owed key release left");
    }
    for (uint8_t button : bridge.system.owedButtons) {
        if (button != 0) Violation("owed button release left");
    }
    if (bridge.system.retryTick != 0) Violation("release retry left scheduled");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    uint8_t header[kHeaderSize] = {};
    std::memcpy(header, data, size < kHeaderSize ? size : kHeaderSize);
    const char* stream = reinterpret_cast<const char*>(data) + kHeaderSize;
    const std::size_t streamSize = size > kHeaderSize ? size - kHeaderSize : 0;

    padbridge::test::Session session;
    std::vector<std::u16string> arguments;
    SetUpMachine(header, &arguments);
    ScriptHost(header, stream, streamSize);
    if (session.Run(arguments) != 0) Violation("exit code is not 0");

    // The host reads what was handed over, in order, and nothing else; with its pause over
    // before the end, all of it.
    const std::string& read = sim::Current().output;
    const std::string& handed = sim::Current().handed;
    if (handed.compare(0, read.size(), read) != 0) Violation("the host read other bytes");
    if (!(header[2] & 0x20) && read != handed) Violation("a reading host missed bytes");
    CheckLineForms(read);
    // What the bridge made, unless the queue's bound dropped a line: pads and the desktop add up.
    CheckLineForms(handed);
    if (session.bridge->output.dropped == 0 && session.bridge->output.count == 0)
        CheckOutput(handed);
    CheckDesktop(handed, sim::Current().outputPipe.refusals == 0);
    if (session.bridge->output.count > padbridge::kOutputQueueLines)
        Violation("the output queue outgrew its bound");
    CheckGivenBack(*session.bridge);
    return 0;
}
